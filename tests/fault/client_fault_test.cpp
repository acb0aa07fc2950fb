// Faults on the client's side: a handle destroyed with requests in flight and a completion
// running, cancelling while completions run, and many threads mixing every call form against a
// target that answers late, twice, to strangers or not at all.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
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
using ClientFaults = FaultTest;

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

// What a completion that tries to withdraw or resend its own command gets, and whether another
// command's request may be sent from it.
struct Reentrant {
  void* handle;
  std::atomic<int> cancel_status{-1};
  std::atomic<int> send_status{-1};
  std::atomic<int> other_status{-1};
};
void on_reentrant(char*, nelko_core_status, unsigned int, void* user) {
  auto* r = static_cast<Reentrant*>(user);
  r->cancel_status = nelko_api_stream_layout_get_num_roi_cancel_async(r->handle, on_reentrant, r);
  r->send_status = nelko_api_stream_layout_get_num_roi_send_async(r->handle, "target", on_reentrant, r);
  r->other_status = nelko_api_stream_layout_get_roi_send_async(r->handle, "target", 0, 0, nullptr, r);
}

TEST_F(ClientFaults, CancelWhileCompletionsRunWithdrawsThemForGood) {
  HostileTarget target(directory_, "target", answer_at_once);
  handle_ = open_handle();
  for (int round = 0; round < 6; ++round) {
    Slow slow;
    std::thread sender([&] {
      while (!slow.withdrawn.load()) {
        nelko_api_stream_layout_get_num_roi_send_async(handle_, "target", on_slow, &slow);
        std::this_thread::sleep_for(milliseconds(2));
      }
    });
    ASSERT_TRUE(eventually([&] { return slow.started.load() >= 3; }));
    // Withdrawn while the sender keeps adding: what the cancel misses is withdrawn next.
    EXPECT_EQ(nelko_api_stream_layout_get_num_roi_cancel_async(handle_, on_slow, &slow), kOk);
    slow.withdrawn = true;
    sender.join();
    EXPECT_EQ(nelko_api_stream_layout_get_num_roi_cancel_async(handle_, on_slow, &slow), kOk);
    int const started = slow.started.load();
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_EQ(slow.running.load(), 0);
    // Requests added between the two cancels may have run; after the second, none.
    EXPECT_EQ(slow.started.load(), started) << "round " << round;
  }

  Reentrant reentrant{handle_};
  ASSERT_EQ(nelko_api_stream_layout_get_num_roi_send_async(handle_, "target", on_reentrant, &reentrant),
            kOk);
  ASSERT_TRUE(eventually([&] { return reentrant.other_status.load() != -1; }));
  nelko_api_stream_layout_get_num_roi_cancel_async(handle_, on_reentrant, &reentrant);
  nelko_api_stream_layout_get_roi_cancel_async(handle_, nullptr, &reentrant);
  EXPECT_EQ(reentrant.cancel_status.load(), NELKO_CORE_STATUS_MULTI_THREAD_ACCESS);
  EXPECT_EQ(reentrant.send_status.load(), NELKO_CORE_STATUS_MULTI_THREAD_ACCESS);
  EXPECT_EQ(reentrant.other_status.load(), kOk);
}

// The unreliable target: most commands are answered at once, some late, twice, after a stranger's
// answer, or never. Get_roi answers with its roi_index, so a client can tell its answer.
std::vector<Reply> unreliably(Command const& command) {
  auto const index = command.request.Find("roi_index");
  double const roi = index != command.request.end() && index->element.Is<json::Number>()
                         ? static_cast<double>(static_cast<json::Number const&>(index->element))
                         : 0;
  std::string const good = HostileTarget::answer(command, roi);
  unsigned const dice = static_cast<unsigned>(std::hash<std::string>()(command.uuid) % 100);
  if (dice < 70) return {Reply{milliseconds(0), good}};
  if (dice < 80) return {Reply{milliseconds(30), good}};
  if (dice < 88) return {Reply{milliseconds(0), good}, Reply{milliseconds(1), good}};
  if (dice < 94) {
    Command stranger = command;
    stranger.uuid = "00000000-0000-4000-8000-0000000000ff";
    return {Reply{milliseconds(0), HostileTarget::answer(stranger, -1)}, Reply{milliseconds(5), good}};
  }
  return {};
}

struct Slot {
  std::atomic<int> calls{0};
  std::atomic<int> status{-1};
  std::atomic<double> pan{-1};
};
void on_roi(char*, nelko_core_status status, double pan, double, double, double, void* user) {
  auto* slot = static_cast<Slot*>(user);
  unsigned int code = 0;
  std::memcpy(&code, &status, sizeof code);
  slot->status = static_cast<int>(code);
  slot->pan = pan;
  ++slot->calls;
}

TEST_F(ClientFaults, ManyThreadsMixEveryFormAgainstAnUnreliableTarget) {
  HostileTarget target(directory_, "target", unreliably);
  handle_ = open_handle();
  CapturedStderr quiet;
  constexpr int kThreads = 6;
  constexpr int kRequests = 50;
  constexpr int kTimeoutMs = 400;
  std::atomic<int> answered{0}, failed{0}, wrong{0}, late{0};
  auto check = [&](unsigned roi, nelko_core_status status, double pan, long took) {
    if (took > kTimeoutMs + kSlackMs) ++late;
    if (status == kOk) {
      ++answered;
      if (pan != roi) ++wrong;
    } else if (status == NELKO_CORE_STATUS_IPC_FAILED) {
      ++failed;
    } else {
      ++wrong;
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        unsigned const roi = static_cast<unsigned>(t * 1000 + i + 1);
        double pan = -1, tilt, roll, vfov;
        Clock::time_point const start = Clock::now();
        switch ((t + i) % 4) {
          case 0: {
            auto status = nelko_api_stream_layout_get_roi_send_with_timeout(
                handle_, "target", kTimeoutMs, roi, 0, &pan, &tilt, &roll, &vfov);
            check(roi, status, pan, ms_since(start));
            break;
          }
          case 1: {
            void* uuid = nullptr;
            nelko_api_stream_layout_get_roi_non_blocking_send(handle_, "target", &uuid, roi, 0);
            auto status = nelko_api_stream_layout_get_roi_receive_with_timeout(
                handle_, "target", kTimeoutMs, uuid, &pan, &tilt, &roll, &vfov);
            if (status != kOk) nelko_api_stream_layout_free_uuid(uuid);
            check(roi, status, pan, ms_since(start));
            break;
          }
          case 2: {  // polling receives until the time-out
            void* uuid = nullptr;
            nelko_api_stream_layout_get_roi_non_blocking_send(handle_, "target", &uuid, roi, 0);
            nelko_core_status status;
            while ((status = nelko_api_stream_layout_get_roi_receive(handle_, 0, "target", uuid, &pan,
                                                                     &tilt, &roll, &vfov)) != kOk &&
                   ms_since(start) < kTimeoutMs) {
              std::this_thread::sleep_for(milliseconds(2));
            }
            if (status != kOk) nelko_api_stream_layout_free_uuid(uuid);
            check(roi, status, pan, ms_since(start));
            break;
          }
          default: {
            Slot slot;
            nelko_api_stream_layout_get_roi_send_async(handle_, "target", roi, 0, on_roi, &slot);
            eventually([&] { return slot.calls.load() > 0; }, kTimeoutMs);
            nelko_api_stream_layout_get_roi_cancel_async(handle_, on_roi, &slot);
            check(roi, slot.calls.load() > 0 ? static_cast<nelko_core_status>(slot.status.load())
                                             : NELKO_CORE_STATUS_IPC_FAILED,
                  slot.pan.load(), ms_since(start));
            break;
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(answered + failed + wrong, kThreads * kRequests);
  EXPECT_EQ(wrong.load(), 0) << "an answer reached a request that did not send it";
  EXPECT_EQ(late.load(), 0) << "a request waited past its time-out";
  EXPECT_GE(answered.load(), kThreads * kRequests * 3 / 4);
}

}  // namespace
}  // namespace fault
