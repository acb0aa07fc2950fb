// Watches the system calls of the settings file module: records each one, and lets a test fail a
// call, end the process at it or change the file system just before it.
#ifndef NELKO_SETTINGS_SYSTEM_CALL_RECORDER_H
#define NELKO_SETTINGS_SYSTEM_CALL_RECORDER_H

#include <errno.h>

#include <functional>
#include <string>
#include <vector>

#include "settings_file.h"

namespace settings_test {

struct SystemCall {
  std::string name;  // the field of SystemCalls: "open", "write", "fsync", "rename", ...
  std::string path;  // open, unlink, and rename's source
  std::string to;    // rename's destination
  int fd = -1;       // the descriptor acted on, or the one open returned
  int flags = 0;     // open's flags, flock's operation
  mode_t mode = 0;   // open's and fchmod's mode
};

class SystemCallRecorder {
 public:
  // Runs before each call is passed on; a non-zero result fails the call with that errno.
  using Intercept = std::function<int(SystemCall const&)>;

  explicit SystemCallRecorder(Intercept intercept = {}) : intercept_(std::move(intercept)) {
    active_ = this;
    nelko::core::settings::set_system_calls(&kRecording);
  }
  ~SystemCallRecorder() {
    nelko::core::settings::set_system_calls(nullptr);
    active_ = nullptr;
  }
  std::vector<SystemCall> const& calls() const { return calls_; }

 private:
  static nelko::core::settings::SystemCalls const& real() {
    return nelko::core::settings::real_system_calls();
  }

  template <class Forward>
  static auto pass(SystemCall call, Forward forward) -> decltype(forward()) {
    int error = active_->intercept_ ? active_->intercept_(call) : 0;
    decltype(forward()) result = -1;
    if (error == 0) {
      result = forward();
      error = errno;
    }
    if (call.name == "open") call.fd = static_cast<int>(result);
    active_->calls_.push_back(call);
    errno = error;
    return result;
  }

  static inline SystemCallRecorder* active_ = nullptr;
  static inline nelko::core::settings::SystemCalls const kRecording{
      [](char const* path, int flags, mode_t mode) {
        return pass({"open", path, "", -1, flags, mode},
                    [&] { return real().open(path, flags, mode); });
      },
      [](int fd, void const* data, std::size_t size) {
        return pass({"write", "", "", fd}, [&] { return real().write(fd, data, size); });
      },
      [](int fd, mode_t mode) {
        return pass({"fchmod", "", "", fd, 0, mode}, [&] { return real().fchmod(fd, mode); });
      },
      [](int fd) {
        return pass({"fsync", "", "", fd}, [&] { return real().fsync(fd); });
      },
      [](int fd) {
        return pass({"close", "", "", fd}, [&] { return real().close(fd); });
      },
      [](char const* from, char const* to) {
        return pass({"rename", from, to}, [&] { return real().rename(from, to); });
      },
      [](char const* path) {
        return pass({"unlink", path, ""}, [&] { return real().unlink(path); });
      },
      [](int fd, int op) {
        return pass({"flock", "", "", fd, op}, [&] { return real().flock(fd, op); });
      },
  };

  Intercept intercept_;
  std::vector<SystemCall> calls_;
};

}  // namespace settings_test

#endif
