#ifndef NELKO_CORE_TEST_SUPPORT_H
#define NELKO_CORE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nelko_core.h"
#include "scratch_directory.h"
#include "raw_wire.h"

namespace core_test {

// Shared by the core unit suite and the fault suite.

// The statuses most cases expect, by short names.
constexpr auto kOk = NELKO_CORE_STATUS_NO_ERROR;
constexpr auto kFailed = NELKO_CORE_STATUS_IPC_FAILED;

// Standard error redirected to a file while the object lives.
class CapturedStderr {
 public:
  CapturedStderr();
  ~CapturedStderr();
  // Everything written so far.
  std::string text() const;

 private:
  int saved_ = -1;
  int file_ = -1;
};

// Lines that callbacks record on an I/O thread and the test reads.
class Recorded {
 public:
  void add(std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(line));
  }
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

struct ChannelCloser {
  void operator()(void* handle) const { nelko_core_ipc_deinit(handle); }
};
using Channel = std::unique_ptr<void, ChannelCloser>;

struct Pulled {
  nelko_core_status status;
  std::string texts[4];
};

// Each test gets its own NELKO_IPC_DIR, removed afterwards.
class IpcTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  Channel open_target(std::string const& name, char const* interface = "stream_layout");
  Channel open_initiator(std::string const& name = "tester");
  std::string path_of(std::string const& name) const { return directory_ + "/" + name; }

  std::unique_ptr<nelko::test::IpcDirectory> scratch_;
  std::string directory_;  // scratch_'s path
};

// A stream_layout command from `initiator` to the target `to`.
inline nelko_core_status send_command(void* initiator, std::string const& uuid,
                                      std::string const& payload = "p", char const* to = "camera") {
  return nelko_core_ipc_initiator_command_send(initiator, to, "stream_layout", uuid.c_str(),
                                               payload.c_str());
}

Pulled pull_response(void* ipc, int timeout_ms);
Pulled pull_command(void* ipc, unsigned timeout_ms);

// Polls `condition` every millisecond for up to `limit_ms`.
bool eventually(std::function<bool()> const& condition, long limit_ms = 5000);
// Resident set size of this process in KiB.
long rss_kib();

// Raw peers: a client socket connected to a path (or -1) and frames as the wire carries them.
using nelko::test::connect_to;
using nelko::test::wire_frame;

}  // namespace core_test

#endif
