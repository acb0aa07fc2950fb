// Runs stream-layout to completion for the tests, with its output captured.
#ifndef CLI_TEST_CHILD_PROCESS_H
#define CLI_TEST_CHILD_PROCESS_H

#include <chrono>
#include <string>
#include <vector>

namespace cli_test {

struct RunResult {
  int exit_status = -1;  // -1 when the program was killed by a signal (a crash) or timed out
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(TempDir const&) = delete;
  TempDir& operator=(TempDir const&) = delete;
  std::string const& path() const { return path_; }
  // Writes `content` to the file `name` in this directory and returns its path.
  std::string Write(std::string const& name, std::string const& content) const;

 private:
  std::string path_;
};

// The command that runs one of this build's programs: the program itself, or the emulator of a
// cross build followed by it (CLI_TEST_EMULATOR, its words separated by '|').
std::vector<std::string> BuiltProgram(std::string const& program);

// Runs `command` (program and arguments) with NELKO_IPC_DIR=ipc_dir, feeding `input` on standard
// input; kills it after `limit`.
RunResult Run(std::vector<std::string> const& command, std::string const& ipc_dir,
              std::string const& input = "",
              std::chrono::milliseconds limit = std::chrono::seconds(60));

std::string ReadFile(std::string const& path);

}  // namespace cli_test

#endif
