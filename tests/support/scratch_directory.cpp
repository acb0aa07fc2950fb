#include "scratch_directory.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace nelko {
namespace test {
namespace {

std::string base_of(ScratchDirectory::Where where) {
  if (where == ScratchDirectory::Where::kMemoryIfPossible && ::access("/dev/shm", W_OK) == 0) {
    return "/dev/shm";
  }
  char const* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
}

}  // namespace

ScratchDirectory::ScratchDirectory(std::string const& prefix, Where where) {
  std::string pattern = base_of(where) + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a scratch directory " + pattern);
  }
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDirectory::file(std::string const& name) const {
  return path_ + "/" + name;
}

std::string ScratchDirectory::write(std::string const& name, std::string const& content) const {
  std::string const path = file(name);
  write_file(path, content);
  return path;
}

std::vector<std::string> ScratchDirectory::names() const {
  std::vector<std::string> names;
  for (auto const& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

IpcDirectory::IpcDirectory(std::string const& prefix) : ScratchDirectory(prefix) {
  ::setenv("NELKO_IPC_DIR", path().c_str(), 1);
}

IpcDirectory::~IpcDirectory() { ::unsetenv("NELKO_IPC_DIR"); }

std::string read_file(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(std::string const& path, std::string const& content) {
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace test
}  // namespace nelko
