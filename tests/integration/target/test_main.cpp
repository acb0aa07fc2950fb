// Every test of this program talks to its targets through one private socket directory, set
// before any thread starts so that no thread reads the environment while it changes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string directory = (std::filesystem::temp_directory_path() / "target_test.XXXXXX").string();
  if (!mkdtemp(directory.data())) return 1;
  setenv("NELKO_IPC_DIR", directory.c_str(), 1);
  int const failed = RUN_ALL_TESTS();
  std::filesystem::remove_all(directory);
  return failed;
}
