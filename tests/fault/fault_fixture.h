// What the fault suites share: a private IPC directory per test, a handle with a channel of its
// own, clocks with slack for sanitizer builds, the process's resident memory, quiet stderr.
#ifndef NELKO_TESTS_FAULT_FAULT_FIXTURE_H
#define NELKO_TESTS_FAULT_FAULT_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "nelko_api_stream_layout.h"
#include "nelko_core.h"

namespace fault {

using Clock = std::chrono::steady_clock;

// How much later than its time-out a call may return: sanitizers and a loaded CI machine.
constexpr long kSlackMs = 1500;

long ms_since(Clock::time_point start);
// Resident set size of this process in KiB.
long rss_kib();
// Polls `condition` every millisecond for up to `limit_ms`.
bool eventually(std::function<bool()> const& condition, long limit_ms = 5000);

// Standard error goes to a file while the object lives: expected warnings stay out of the test
// output and can be checked.
class CapturedStderr {
 public:
  CapturedStderr();
  ~CapturedStderr();
  CapturedStderr(CapturedStderr const&) = delete;
  CapturedStderr& operator=(CapturedStderr const&) = delete;
  std::string text() const;

 private:
  int saved_ = -1;
  int file_ = -1;
};

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A handle with a channel of its own; destroyed by TearDown unless already released.
  void* open_handle();

  std::string directory_;
  void* handle_ = nullptr;
};

}  // namespace fault

#endif
