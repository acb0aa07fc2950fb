// The library as stream-layout uses it: one handle on its own IPC channel, one synchronous
// request per call with the command line's time-out, results as plain values. A non-zero status
// becomes a StatusError whose message says what failed and what the status means.
#ifndef STREAM_LAYOUT_CLI_STREAM_LAYOUT_CLIENT_H
#define STREAM_LAYOUT_CLI_STREAM_LAYOUT_CLIENT_H

#include <chrono>
#include <cstdint>
#include <string>

#include "layout.h"
#include "output_format.h"
#include "socket_path.h"

namespace nelko::cli {

class StreamLayoutClient {
 public:
  // Opens the logging and the handle (and with it an IPC channel named "stream-layout").
  StreamLayoutClient(std::string target, int timeout_ms);
  ~StreamLayoutClient();
  StreamLayoutClient(StreamLayoutClient const&) = delete;
  StreamLayoutClient& operator=(StreamLayoutClient const&) = delete;

  Versions get_versions();
  Layout get_layout(std::uint32_t stream);
  void set_layout(std::uint32_t stream, Layout const& layout);
  std::uint32_t get_roi_count();
  Roi get_roi(std::uint32_t index, std::uint32_t roi_set);
  void set_roi(std::uint32_t index, std::uint32_t roi_set, Roi const& roi);
  PanTilt point_to_pan_tilt(std::uint32_t stream, double x, double y);

 private:
  // Before each request: notes the time and whether the target's socket is there, so that a
  // failure can be told apart afterwards (a target that drops the connection and listens
  // again may have no socket for a moment after the failure).
  void start();
  // Throws StatusError for a non-zero status; `action` says what was asked ("layout get 0").
  void check(unsigned int status, std::string const& action) const;

  std::string target_;
  int timeout_ms_;
  std::chrono::steady_clock::time_point started_;
  SocketState socket_before_ = SocketState::kMissing;
  void* log_ = nullptr;
  void* handle_ = nullptr;
};

// The message for a non-zero status: the action, what the status means (for status 4 whether the
// time-out passed, judged by `elapsed_ms`, or no target listened at the socket path when the
// request began, `socket_before`, or the connection failed), the status's name and number.
std::string describe_status(unsigned int status, std::string const& action,
                            std::string const& target, int timeout_ms, long long elapsed_ms,
                            SocketState socket_before);

}  // namespace nelko::cli

#endif
