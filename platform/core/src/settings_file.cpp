#include "settings_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <random>
#include <system_error>
#include <utility>

#include "settings_c_boundary.h"

namespace nelko::core::settings {
namespace {

SystemCalls const kRealCalls{
    [](char const* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
    ::write,
    ::fchmod,
    ::fsync,
    ::close,
    ::rename,
    ::unlink,
    ::flock,
};

std::atomic<SystemCalls const*> current_calls{&kRealCalls};

SystemCalls const& calls() {
  return *current_calls.load();
}

[[noreturn]] void fail(char const* what, std::string const& path) {
  throw std::system_error(errno, std::generic_category(), std::string(what) + " " + path);
}

// The refusals and nelko_core_settings.h name the limit in these words.
static_assert(kMaxFileSize == 1024 * 1024, "the limit is 1 MiB");

[[noreturn]] void refuse(nelko_core_status status, std::string const& path, char const* reason) {
  throw Refusal(status, "cannot use " + path + ": " + reason);
}

class FileDescriptor {
 public:
  FileDescriptor(std::string path, int flags, mode_t mode = 0)
      : path_(std::move(path)), fd_(calls().open(path_.c_str(), flags | O_CLOEXEC, mode)) {}
  FileDescriptor(FileDescriptor&& other) noexcept
      : path_(std::move(other.path_)), fd_(other.release()) {}
  ~FileDescriptor() {
    if (fd_ >= 0) calls().close(fd_);
  }
  FileDescriptor& operator=(FileDescriptor&&) = delete;

  bool is_open() const { return fd_ >= 0; }
  int get() const { return fd_; }
  std::string const& path() const { return path_; }
  int release() { return std::exchange(fd_, -1); }
  void sync() {
    if (calls().fsync(fd_) != 0) fail("cannot sync", path_);
  }
  // Reports the errors that a file system may only notice when the file is closed.
  void close() {
    if (calls().close(release()) != 0) fail("cannot close", path_);
  }
  struct stat status() const {
    struct stat status;
    if (::fstat(fd_, &status) != 0) fail("cannot inspect", path_);
    return status;
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

std::string name_of(std::string const& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// New files are "<name>.<random part>.tmp": the random part keeps others from guessing the name
// in advance, O_EXCL from using a name they prepared anyway.
constexpr char kRandomAlphabet[] = "abcdefghijklmnopqrstuvwxyz234567";
constexpr std::size_t kRandomLength = 12;  // 60 random bits
constexpr char kTemporarySuffix[] = ".tmp";
constexpr int kNameAttempts = 64;

std::string random_part() {
  std::random_device device;
  std::uint64_t bits = (std::uint64_t{device()} << 32) | device();
  std::string part;
  for (std::size_t i = 0; i < kRandomLength; ++i, bits >>= 5) part += kRandomAlphabet[bits & 31];
  return part;
}

bool is_temporary_name_of(std::string_view candidate, std::string_view name) {
  std::string_view const suffix = kTemporarySuffix;
  if (candidate.size() != name.size() + 1 + kRandomLength + suffix.size()) return false;
  if (candidate.substr(0, name.size()) != name || candidate[name.size()] != '.') return false;
  if (candidate.substr(candidate.size() - suffix.size()) != suffix) return false;
  std::string_view random = candidate.substr(name.size() + 1, kRandomLength);
  return random.find_first_not_of(kRandomAlphabet) == std::string_view::npos;
}

// Open, for writing, under a name that did not exist: a file or link someone placed there is
// neither written through nor adopted, only passed over.
FileDescriptor create_new_file_beside(std::string const& path) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    FileDescriptor file(path + '.' + random_part() + kTemporarySuffix,
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (file.is_open()) return file;
    if (errno != EEXIST) fail("cannot create", file.path());
  }
  fail("cannot find a free name beside", path);
}

void write_all(FileDescriptor& file, std::string_view content) {
  while (!content.empty()) {
    ssize_t written = calls().write(file.get(), content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("cannot write", file.path());
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

std::optional<std::string> read_file(std::string const& path, FinalLink final_link) {
  // O_NONBLOCK: opening a FIFO planted at the name must not wait for a writer.
  int flags = O_RDONLY | O_NONBLOCK | (final_link == FinalLink::refuse ? O_NOFOLLOW : 0);
  FileDescriptor file(path, flags);
  if (!file.is_open()) {
    if (errno == ENOENT) return std::nullopt;
    if (errno == ELOOP && final_link == FinalLink::refuse)
      refuse(NELKO_CORE_STATUS_IPC_FAILED, path, "it is a symbolic link");
    fail("cannot open", path);
  }
  if (!S_ISREG(file.status().st_mode))
    refuse(NELKO_CORE_STATUS_IPC_FAILED, path, "it is not a regular file");
  std::string content;
  char buffer[8192];
  for (;;) {
    ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got == 0) return content;
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("cannot read", path);
    }
    // Counted while reading: the file may grow after it was opened.
    if (content.size() + static_cast<std::size_t>(got) > kMaxFileSize)
      refuse(NELKO_CORE_STATUS_IPC_FAILED, path, "it is larger than 1 MiB");
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

void write_file_atomically(std::string const& path, std::string_view content, mode_t mode) {
  if (content.size() > kMaxFileSize)
    refuse(NELKO_CORE_STATUS_INVALID_PARAMS, path, "the change would make it larger than 1 MiB");
  FileDescriptor file = create_new_file_beside(path);
  std::string const temporary = file.path();
  try {
    // Exactly mode, whatever the umask took away at creation.
    if (calls().fchmod(file.get(), mode) != 0) fail("cannot set the mode of", temporary);
    write_all(file, content);
    file.sync();
    file.close();
    if (calls().rename(temporary.c_str(), path.c_str()) != 0) fail("cannot rename onto", path);
  } catch (...) {
    calls().unlink(temporary.c_str());
    throw;
  }
  // The rename is durable only once the directory entry is on disk. The file already holds the
  // new content, so a file system that cannot sync directories is no reason to report failure.
  FileDescriptor directory(directory_of(path), O_RDONLY | O_DIRECTORY);
  if (directory.is_open()) calls().fsync(directory.get());
}

void remove_stale_temporaries(std::string const& path) {
  std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(directory_of(path).c_str()), ::closedir);
  if (!directory) return;  // a directory that cannot be listed keeps its leftovers
  std::string const name = name_of(path);
  while (dirent* entry = ::readdir(directory.get())) {
    if (!is_temporary_name_of(entry->d_name, name)) continue;
    struct stat status;
    int at = ::dirfd(directory.get());
    if (::fstatat(at, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode) && status.st_uid == ::geteuid())
      ::unlinkat(at, entry->d_name, 0);
  }
}

WriterLock::WriterLock(std::string const& path) : fd_(-1) {
  // O_NONBLOCK for the reason read_file has.
  FileDescriptor file(path + ".lock", O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (!file.is_open()) {
    if (errno == ELOOP) refuse(NELKO_CORE_STATUS_IPC_FAILED, file.path(), "it is a symbolic link");
    fail("cannot open", file.path());
  }
  struct stat status = file.status();
  if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid())
    refuse(NELKO_CORE_STATUS_IPC_FAILED, file.path(), "it is not a regular file of this user");
  if (calls().flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      refuse(NELKO_CORE_STATUS_MULTI_THREAD_ACCESS, path, "another process has it open");
    fail("cannot lock", file.path());
  }
  fd_ = file.release();
}

WriterLock::~WriterLock() {
  if (fd_ >= 0) calls().close(fd_);
}

WriterLock::WriterLock(WriterLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

SystemCalls const& real_system_calls() {
  return kRealCalls;
}

void set_system_calls(SystemCalls const* replacement) {
  current_calls.store(replacement ? replacement : &kRealCalls);
}

}  // namespace nelko::core::settings
