#include "settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>

namespace nelko::core::settings {
namespace {

std::atomic<BeforeRenameHook> before_rename_hook{nullptr};

[[noreturn]] void fail(char const* what, std::string const& path) {
  throw std::system_error(errno, std::generic_category(), std::string(what) + " " + path);
}

class FileDescriptor {
 public:
  FileDescriptor(std::string const& path, int flags, mode_t mode = 0)
      : path_(path), fd_(::open(path.c_str(), flags | O_CLOEXEC, mode)) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(FileDescriptor const&) = delete;
  FileDescriptor& operator=(FileDescriptor const&) = delete;

  bool is_open() const { return fd_ >= 0; }
  int get() const { return fd_; }
  void sync() {
    if (::fsync(fd_) != 0) fail("cannot sync", path_);
  }
  // Reports the errors that a file system may only notice when the file is closed.
  void close() {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail("cannot close", path_);
  }

 private:
  std::string path_;
  int fd_;
};

std::string directory_of(std::string const& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void write_all(FileDescriptor& file, std::string_view content, std::string const& path) {
  while (!content.empty()) {
    ssize_t written = ::write(file.get(), content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("cannot write", path);
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

std::optional<std::string> read_file(std::string const& path) {
  FileDescriptor file(path, O_RDONLY);
  if (!file.is_open()) {
    if (errno == ENOENT) return std::nullopt;
    fail("cannot open", path);
  }
  std::string content;
  char buffer[8192];
  for (;;) {
    ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got == 0) return content;
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("cannot read", path);
    }
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

std::string temporary_path(std::string const& path) {
  return path + ".tmp";
}

void write_file_atomically(std::string const& path, std::string_view content) {
  std::string const temporary = temporary_path(path);
  try {
    FileDescriptor file(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (!file.is_open()) fail("cannot create", temporary);
    // The new file replaces the old one, so it keeps the permissions someone gave the old one.
    struct stat old_file;
    if (::stat(path.c_str(), &old_file) == 0) ::fchmod(file.get(), old_file.st_mode & 07777);
    write_all(file, content, temporary);
    file.sync();
    file.close();
    if (BeforeRenameHook hook = before_rename_hook.load()) hook(temporary);
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot rename onto", path);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  // The rename is durable only once the directory entry is on disk. The file already holds the
  // new content, so a file system that cannot sync directories is no reason to report failure.
  FileDescriptor directory(directory_of(path), O_RDONLY | O_DIRECTORY);
  if (directory.is_open()) ::fsync(directory.get());
}

void remove_stale_temporary(std::string const& path) {
  std::string const temporary = temporary_path(path);
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) fail("cannot remove", temporary);
}

void set_before_rename_hook(BeforeRenameHook hook) {
  before_rename_hook.store(hook);
}

}  // namespace nelko::core::settings
