// Faults on the client's side: a handle destroyed with requests in flight and a completion
// running. Cancelling while completions run is checked per command in the initiator suite.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "fault_fixture.h"
#include "hostile_target.h"

namespace fault {
namespace {

using std::chrono::milliseconds;
constexpr auto kOk = NELKO_CORE_STATUS_NO_ERROR;

// A completion that takes its time, so that deinit and cancel meet it running.
struct Slow {
  std::atomic<int> started{0};
  std::atomic<int> running{0};
  std::atomic<bool> withdrawn{false};  // set once cancel or deinit has returned
  std::atomic<int> after_withdrawal{0};
};
void on_slow(char*, nelko_core_status, unsigned int, void* user) {
  auto* slow = static_cast<Slow*>(user);
  if (slow->withdrawn.load()) ++slow->after_withdrawal;
  ++slow->started;
  ++slow->running;
  std::this_thread::sleep_for(milliseconds(15));
  --slow->running;
}

class ClientFaultTest : public FaultTest, public ::testing::WithParamInterface<bool> {};

// Borrowed channel (true) or a channel of the handle's own (false).
TEST_P(ClientFaultTest, DeinitWaitsForARunningCompletionAndNothingRunsAfterIt) {
  bool const borrowed = GetParam();
  HostileTarget target(directory_, "target", answer_at_once);
  void* channel = nullptr;
  if (borrowed) {
    ASSERT_EQ(nelko_core_ipc_initiator_init(nullptr, "client", &channel), kOk);
  }
  void* handle = nullptr;
  ASSERT_EQ(nelko_api_stream_layout_initiator_init(channel, nullptr, &handle, 0, "client"), kOk);
  Slow slow;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(nelko_api_stream_layout_get_num_roi_send_async(handle, "target", on_slow, &slow), kOk);
  }
  void* uuid = nullptr;  // a non-blocking request in flight too: its identifier stays the client's
  ASSERT_EQ(nelko_api_stream_layout_get_roi_non_blocking_send(handle, "target", &uuid, 0, 0), kOk);
  ASSERT_TRUE(eventually([&] { return slow.running.load() > 0; }));
  EXPECT_EQ(nelko_api_stream_layout_initiator_deinit(handle), kOk);
  slow.withdrawn = true;
  EXPECT_EQ(slow.running.load(), 0) << "deinit returned while a completion ran";
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(slow.after_withdrawal.load(), 0);
  EXPECT_LT(slow.started.load(), 20);
  nelko_api_stream_layout_free_uuid(uuid);
  if (borrowed) {
    // The channel outlives the handle and still serves another one.
    void* other = nullptr;
    ASSERT_EQ(nelko_api_stream_layout_initiator_init(channel, nullptr, &other, 0, "client"), kOk);
    unsigned int num = 0;
    EXPECT_EQ(nelko_api_stream_layout_get_num_roi_send_with_timeout(other, "target", 3000, &num), kOk);
    nelko_api_stream_layout_initiator_deinit(other);
    EXPECT_EQ(nelko_core_ipc_deinit(channel), kOk);
  }
}

INSTANTIATE_TEST_SUITE_P(Channels, ClientFaultTest, ::testing::Bool(),
                         [](auto const& info) { return info.param ? "Borrowed" : "Own"; });

}  // namespace
}  // namespace fault
