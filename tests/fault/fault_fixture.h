// What the fault suites share besides the core suite's helpers: a private IPC directory per test,
// a handle with a channel of its own, and clocks with slack for sanitizer builds.
#ifndef NELKO_TESTS_FAULT_FAULT_FIXTURE_H
#define NELKO_TESTS_FAULT_FAULT_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core_test_support.h"
#include "nelko_api_stream_layout.h"
#include "nelko_core.h"

namespace fault {

using core_test::CapturedStderr;
using core_test::eventually;
using core_test::kFailed;
using core_test::kOk;
using core_test::rss_kib;
using Clock = std::chrono::steady_clock;

// How much later than its time-out a call may return: sanitizers and a loaded CI machine.
constexpr long kSlackMs = 1500;

inline long ms_since(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// How often `part` occurs in `text`.
inline std::size_t occurrences(std::string const& text, std::string const& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class FaultTest : public core_test::IpcTest {
 protected:
  void TearDown() override {
    nelko_api_stream_layout_initiator_deinit(handle_);
    handle_ = nullptr;
    core_test::IpcTest::TearDown();
  }

  // A handle with a channel of its own; destroyed by TearDown unless already released.
  void* open_handle() {
    void* handle = nullptr;
    EXPECT_EQ(nelko_api_stream_layout_initiator_init(nullptr, nullptr, &handle, 0, "fault"),
              NELKO_CORE_STATUS_NO_ERROR);
    return handle;
  }

  // Get_num_roi on handle_ with a time-out; the status, and num through `num`.
  nelko_core_status num_roi(char const* target, int timeout_ms, unsigned int& num) {
    return nelko_api_stream_layout_get_num_roi_send_with_timeout(handle_, target, timeout_ms, &num);
  }

  void* handle_ = nullptr;
};

}  // namespace fault

#endif
