#ifndef NELKO_CORE_REPEATED_WARNINGS_H
#define NELKO_CORE_REPEATED_WARNINGS_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "nelko_core_types.h"

namespace nelko::core {

// Log lines that a peer can provoke again and again (a client that reconnects with a broken
// frame, a user that is refused, a full queue): the first line of a run is logged, repeats of
// the same cause are only counted, and once the cause has been quiet for kQuietPeriod, sweep()
// ends the run with one line that gives the count. A flood thus costs a few lines, not millions.
class RepeatedWarnings {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kQuietPeriod{10};
  // Causes beyond this many share one run: a peer must not grow the table either.
  static constexpr std::size_t kMaxCauses = 64;

  explicit RepeatedWarnings(void* log) : log_(log) {}
  // Ends every run (the channel is closing).
  ~RepeatedWarnings();
  RepeatedWarnings(RepeatedWarnings const&) = delete;
  RepeatedWarnings& operator=(RepeatedWarnings const&) = delete;

  // Logs the printf-style message unless a run of `cause` is on, which it then counts. From any
  // thread.
  void log(nelko_core_log_priority priority, std::string_view cause, char const* format, ...)
      __attribute__((format(printf, 4, 5)));
  // Ends the runs whose cause has been quiet for kQuietPeriod by `now`; true when none is left.
  bool sweep(Clock::time_point now);

 private:
  struct Run {
    nelko_core_log_priority priority;
    std::string first_line;
    Clock::time_point last;
    std::size_t repeats = 0;
  };
  void end(Run const& run);

  void* const log_;
  std::mutex mutex_;
  std::map<std::string, Run, std::less<>> runs_;
};

}  // namespace nelko::core

#endif
