// Whole-file reads, crash-safe whole-file writes and the one-writer lock of the settings and
// configuration files. Failures of the system throw std::system_error; files the store will not
// use throw Refusal.
//
// Every system call that a write or the lock makes goes through a table (SystemCalls) that tests
// replace to see the order of the steps and the flags used, or to fail or end the process at any
// step.
#ifndef NELKO_CORE_SETTINGS_FILE_H
#define NELKO_CORE_SETTINGS_FILE_H

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nelko::core::settings {

// The largest settings or configuration file read or written. Reading one takes about three times
// its size in memory; real settings files are a few KiB.
inline constexpr std::size_t kMaxFileSize = 1024 * 1024;

// Whether a symbolic link at the file's own name (not at a directory on its path) is followed.
enum class FinalLink { follow, refuse };

// The content of the file, or nothing when it does not exist. Refuses (status 4) what is not a
// regular file, a file larger than kMaxFileSize and, with FinalLink::refuse, a symbolic link.
std::optional<std::string> read_file(std::string const& path, FinalLink final_link);

// Replaces the file at path with content so that a crash at any point leaves either the old or
// the new file: creates a new file with exactly the given mode under a name nobody can have
// prepared (O_CREAT|O_EXCL|O_NOFOLLOW, a random part; a name that exists is passed over), writes
// and fsyncs it, renames it over path, fsyncs the directory. On failure the new file is removed
// and path is untouched. Refuses (status 1) content larger than kMaxFileSize.
void write_file_atomically(std::string const& path, std::string_view content, mode_t mode);

// Deletes the files that interrupted writes of path left behind: regular files of this user whose
// names have the pattern of write_file_atomically's. Call it only while holding the WriterLock.
// Does nothing when the directory cannot be listed.
void remove_stale_temporaries(std::string const& path);

// Held by the one process that may write the file at path: an exclusive flock on "<path>.lock",
// created with mode 0600 and never followed when it is a symbolic link. Refuses with status 3 when
// another process holds it and with status 4 when the lock file is a link, not a regular file or
// another user's. Released when destroyed, or when the process ends however it ends.
class WriterLock {
 public:
  explicit WriterLock(std::string const& path);
  ~WriterLock();
  WriterLock(WriterLock&& other) noexcept;
  WriterLock& operator=(WriterLock&&) = delete;
  WriterLock(WriterLock const&) = delete;
  WriterLock& operator=(WriterLock const&) = delete;

 private:
  int fd_;
};

struct SystemCalls {
  int (*open)(char const* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, void const* data, std::size_t size);
  int (*fchmod)(int fd, mode_t mode);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*rename)(char const* from, char const* to);
  int (*unlink)(char const* path);
  int (*flock)(int fd, int operation);
};

// The table of the real calls, for a replacement that watches and passes calls on.
SystemCalls const& real_system_calls();
// Makes the file functions call through calls (which must outlive its use); null restores the real
// ones. Not for use while another thread reads or writes a file.
void set_system_calls(SystemCalls const* calls);

}  // namespace nelko::core::settings

#endif
