// The library against a target that misbehaves on the wire (hangs, dies mid-request, answers late,
// twice or for others, sends broken or oversized frames, stops reading), and a client that
// destroys its handle while a completion runs.
#include "hostile_target.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fault_fixture.h"

namespace fault {
namespace {

using std::chrono::milliseconds;

void on_num(char*, nelko_core_status, unsigned int num, void* user) {
  static_cast<core_test::Recorded*>(user)->add(std::to_string(num));
}

// The nums of the completions of one asynchronous Get_num_roi to `target`, once a repeated
// completion would have come too.
std::vector<std::string> async_nums(void* handle, char const* target) {
  core_test::Recorded calls;
  EXPECT_EQ(nelko_api_stream_layout_get_num_roi_send_async(handle, target, on_num, &calls), kOk);
  EXPECT_TRUE(eventually([&] { return calls.count() > 0; }));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(nelko_api_stream_layout_get_num_roi_cancel_async(handle, on_num, &calls), kOk);
  return calls.lines();
}

std::vector<Reply> never(Command const&) { return {}; }

using HostileTargetTest = FaultTest;

TEST_F(HostileTargetTest, HungTargetFailsEveryFormWithinItsTimeOut) {
  HostileTarget target(directory_, "hung", never);
  handle_ = open_handle();
  unsigned int num = 99;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(num_roi("hung", 300, num), kFailed);
  EXPECT_GE(ms_since(start), 290);
  EXPECT_LE(ms_since(start), 300 + kSlackMs);
  EXPECT_EQ(num, 99u) << "a failed call wrote its result";

  start = Clock::now();
  EXPECT_EQ(num_roi("hung", 0, num), kFailed);
  EXPECT_LE(ms_since(start), kSlackMs);

  void* uuid = nullptr;
  ASSERT_EQ(nelko_api_stream_layout_get_roi_non_blocking_send(handle_, "hung", &uuid, 0, 0), kOk);
  double pan = 0, tilt = 0, roll = 0, vfov = 0;
  start = Clock::now();
  std::thread waiter([&] {
    EXPECT_EQ(nelko_api_stream_layout_get_roi_receive_with_timeout(handle_, "hung", 200, uuid,
                                                                   &pan, &tilt, &roll, &vfov),
              kFailed);
  });
  // A second thread receiving the same identifier meanwhile is refused (polling until then).
  nelko_core_status second = kFailed;
  double other = 0;
  for (Clock::time_point const begin = Clock::now(); second == kFailed && ms_since(begin) < 150;) {
    std::this_thread::sleep_for(milliseconds(10));
    second = nelko_api_stream_layout_get_roi_receive_with_timeout(handle_, "hung", 0, uuid, &other,
                                                                  &other, &other, &other);
  }
  EXPECT_EQ(second, NELKO_CORE_STATUS_MULTI_THREAD_ACCESS);
  waiter.join();
  EXPECT_GE(ms_since(start), 190);
  EXPECT_LE(ms_since(start), 200 + kSlackMs);
  // A receive of another command is refused and leaves the request.
  EXPECT_EQ(nelko_api_stream_layout_get_num_roi_receive(handle_, 0, "hung", uuid, &num),
            NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_EQ(nelko_api_stream_layout_get_roi_receive(handle_, 0, "hung", uuid, &pan, &tilt, &roll,
                                                    &vfov),
            kFailed);
  nelko_api_stream_layout_free_uuid(uuid);  // still the caller's after a failed receive

  core_test::Recorded calls;
  EXPECT_EQ(nelko_api_stream_layout_get_num_roi_send_async(handle_, "hung", on_num, &calls), kOk);
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(calls.count(), 0u);
  EXPECT_EQ(nelko_api_stream_layout_get_num_roi_cancel_async(handle_, on_num, &calls), kOk);
  EXPECT_TRUE(eventually([&] { return target.commands_seen() == 4; }));
}

// A send to a target that no longer reads fails with EPIPE, without raising SIGPIPE (whose
// default action ends the program); the command then goes out again on a new connection.
TEST_F(HostileTargetTest, SendToATargetThatStoppedReadingRaisesNoSignalAndReconnects) {
  HostileTarget target(directory_, "deaf", [](Command const& command) {
    Reply reply{milliseconds(0), HostileTarget::answer(command)};
    reply.stop_reading = true;
    return std::vector<Reply>{reply};
  });
  handle_ = open_handle();
  unsigned int num = 0;
  ASSERT_EQ(num_roi("deaf", 3000, num), kOk);
  CapturedStderr quiet;
  Clock::time_point const start = Clock::now();
  EXPECT_EQ(num_roi("deaf", 3000, num), kOk) << "the command did not go again on a new connection";
  EXPECT_LE(ms_since(start), kSlackMs);
  EXPECT_EQ(target.connections_seen(), 2);
}

// A thread whose last send went out on another channel waits for its request by reading the
// connection of the request's own channel, which no other thread reads meanwhile.
TEST_F(HostileTargetTest, AWaitReadsTheConnectionOfItsOwnChannel) {
  HostileTarget target(directory_, "echo", answer_at_once);
  handle_ = open_handle();
  void* const other = open_handle();  // a channel of its own
  unsigned int num = 0;
  ASSERT_EQ(num_roi("echo", 3000, num), kOk);  // read by this thread, then left to it
  void* uuid = nullptr;
  ASSERT_EQ(nelko_api_stream_layout_get_num_roi_non_blocking_send(handle_, "echo", &uuid), kOk);
  ASSERT_EQ(nelko_api_stream_layout_get_num_roi_send_with_timeout(other, "echo", 3000, &num), kOk);
  Clock::time_point const start = Clock::now();
  nelko_core_status const status =
      nelko_api_stream_layout_get_num_roi_receive_with_timeout(handle_, "echo", 1000, uuid, &num);
  EXPECT_EQ(status, kOk);
  EXPECT_LE(ms_since(start), kSlackMs);
  if (status != kOk) nelko_api_stream_layout_free_uuid(uuid);
  nelko_api_stream_layout_initiator_deinit(other);
}

// Answers that come after their request gave up, come twice, or name an identifier nobody sent
// reach no request; what comes for no request is logged once per run, not once per answer.
TEST_F(HostileTargetTest, LateRepeatedAndStrangerAnswersReachOnlyTheRequestThatSentThem) {
  auto stranger = [](Command command) {
    command.uuid = "00000000-0000-4000-8000-00000000dead";
    return HostileTarget::answer(command, 1);
  };
  std::atomic<int> seen{0};
  HostileTarget target(directory_, "echo", [&](Command const& command) {
    int n = ++seen;
    if (n == 1) return std::vector<Reply>{Reply{milliseconds(400), HostileTarget::answer(command, 111)}};
    return std::vector<Reply>{Reply{milliseconds(0), stranger(command)},
                              Reply{milliseconds(20), HostileTarget::answer(command, 100 + n)},
                              Reply{milliseconds(20), HostileTarget::answer(command, 900 + n)}};
  });
  HostileTarget liar(directory_, "liar",
                     [&](Command const& command) { return at_once(stranger(command)); });
  handle_ = open_handle();
  CapturedStderr quiet;
  unsigned int num = 0;
  EXPECT_EQ(num_roi("echo", 100, num), kFailed);  // its answer comes after it gave up
  EXPECT_EQ(num_roi("echo", 3000, num), kOk);
  EXPECT_EQ(num, 102u);
  std::this_thread::sleep_for(milliseconds(500));  // the late answer and a repeat have arrived
  EXPECT_EQ(num_roi("echo", 3000, num), kOk);
  EXPECT_EQ(num, 103u);

  void* uuid = nullptr;
  ASSERT_EQ(nelko_api_stream_layout_get_num_roi_non_blocking_send(handle_, "echo", &uuid), kOk);
  EXPECT_EQ(nelko_api_stream_layout_get_num_roi_receive_with_timeout(handle_, "echo", 3000, uuid,
                                                                     &num),
            kOk);
  EXPECT_EQ(num, 104u);
  // A request ends with its first answer: a repeated one completes nothing.
  EXPECT_EQ(async_nums(handle_, "echo"), std::vector<std::string>{"105"});

  Clock::time_point start = Clock::now();
  EXPECT_EQ(num_roi("liar", 300, num), kFailed);
  EXPECT_LE(ms_since(start), 300 + kSlackMs);
  HostileTarget flood(directory_, "flood", [&](Command const& command) {
    std::string answers;
    for (int i = 0; i < 2000; ++i) answers += stranger(command);
    return at_once(answers);
  });
  EXPECT_EQ(num_roi("flood", 300, num), kFailed);
  EXPECT_EQ(occurrences(quiet.text(), "IPC: target 'flood' answered request"), 1u);
}

// A target cannot answer for another: an answer counts only on the connection its command went
// out on. B learns the identifier of a request to A and answers it first.
TEST_F(HostileTargetTest, ATargetCannotAnswerARequestMadeToAnother) {
  std::mutex mutex;
  std::string asked_of_a;
  HostileTarget a(directory_, "a", [&](Command const& command) {
    std::lock_guard<std::mutex> lock(mutex);
    asked_of_a = command.uuid;
    return std::vector<Reply>{Reply{milliseconds(300), HostileTarget::answer(command, 1)}};
  });
  HostileTarget b(directory_, "b", [&](Command const& command) {
    Command forged = command;
    std::lock_guard<std::mutex> lock(mutex);
    forged.uuid = asked_of_a;
    return std::vector<Reply>{Reply{milliseconds(0), HostileTarget::answer(forged, 666)},
                              Reply{milliseconds(0), HostileTarget::answer(command, 2)}};
  });
  handle_ = open_handle();
  CapturedStderr quiet;
  void* uuid = nullptr;
  ASSERT_EQ(nelko_api_stream_layout_get_num_roi_non_blocking_send(handle_, "a", &uuid), kOk);
  ASSERT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !asked_of_a.empty();
  }));
  unsigned int num = 0;
  EXPECT_EQ(num_roi("b", 3000, num), kOk);
  EXPECT_EQ(num, 2u);
  EXPECT_EQ(nelko_api_stream_layout_get_num_roi_receive_with_timeout(handle_, "a", 3000, uuid, &num),
            kOk);
  EXPECT_EQ(num, 1u) << "B's forged answer was taken for A's";
  EXPECT_NE(quiet.text().find("IPC: target 'b' answered request"), std::string::npos);
}

TEST_F(HostileTargetTest, BrokenFramesDropTheConnectionAndTheNextRequestReconnects) {
  enum class Mode { truncated, missing_text, unknown_kind, unexpected_kind, good };
  std::atomic<Mode> mode{Mode::truncated};
  HostileTarget target(directory_, "broken", [&](Command const& command) {
    std::string good = HostileTarget::answer(command, 5);
    switch (mode.load()) {
      case Mode::truncated:  // a header for 100 bytes, 10 of them, and the target dies
        return std::vector<Reply>{
            Reply{milliseconds(0), std::string("\0\0\0\x64", 4) + "0123456789"},
            Reply{milliseconds(50), "", true}};
      case Mode::missing_text:
        return at_once(core_test::wire_frame(3, {"stream_layout", command.uuid}));
      case Mode::unknown_kind:
        return at_once(core_test::wire_frame(99, {"x"}) + good);
      case Mode::unexpected_kind:  // well-formed but not for an initiator: skipped
        return at_once(core_test::wire_frame(1, {"x"}) + good);
      case Mode::good:
        break;
    }
    return at_once(good);
  });
  handle_ = open_handle();
  CapturedStderr quiet;
  unsigned int num = 0;

  // A target that dies mid-answer ends the request at once, not at its time-out; the next
  // request connects again.
  Clock::time_point const start = Clock::now();
  EXPECT_EQ(num_roi("broken", 3000, num), kFailed);
  EXPECT_LE(ms_since(start), kSlackMs);
  mode = Mode::missing_text;  // the initiator hangs up on the malformed frame
  EXPECT_EQ(num_roi("broken", 300, num), kFailed);
  EXPECT_TRUE(eventually([&] { return target.hang_ups_seen() == 1; }));
  mode = Mode::unknown_kind;
  EXPECT_EQ(num_roi("broken", 300, num), kFailed);
  EXPECT_TRUE(eventually([&] { return target.hang_ups_seen() == 2; }));
  mode = Mode::unexpected_kind;
  EXPECT_EQ(num_roi("broken", 3000, num), kOk);
  EXPECT_EQ(num, 5u);
  mode = Mode::good;
  EXPECT_EQ(num_roi("broken", 3000, num), kOk);
  EXPECT_EQ(target.hang_ups_seen(), 2);
  EXPECT_EQ(target.connections_seen(), 4);  // one per broken connection, then one that stays
}

// A frame of exactly the cap is read. A header that claims more, by a byte or by gigabytes, is
// refused with its connection as soon as its length is read, without reserving the claimed size.
TEST_F(HostileTargetTest, AFrameOfExactlyTheCapIsReadAndAHeaderClaimingMoreIsRefused) {
  // body = kind, then "stream_layout", the uuid and the payload, each after its length
  constexpr std::uint32_t kCap = 1u << 20;
  std::atomic<std::uint32_t> claimed{0};
  HostileTarget target(directory_, "big", [&](Command const& command) {
    std::string header;
    for (int shift = 24; shift >= 0; shift -= 8) header.push_back(char(claimed >> shift));
    if (claimed != 0) return at_once(header + std::string(4096, 'x'));
    std::size_t fixed = 1 + 4 + 13 + 4 + command.uuid.size() + 4;
    std::string head = R"({"status":0,"num":5,"pad":")";
    std::string payload = head + std::string(kCap - fixed - head.size() - 2, 'x') + "\"}";
    return at_once(HostileTarget::response(command.uuid, payload));
  });
  handle_ = open_handle();
  CapturedStderr quiet;
  unsigned int num = 0;
  EXPECT_EQ(num_roi("big", 5000, num), kOk);
  EXPECT_EQ(num, 5u);
  int hang_ups = 0;
  for (std::uint32_t claim : {kCap + 1, 0x7fffffffu, 0xffffffffu}) {
    SCOPED_TRACE(claim);
    claimed = claim;
    long const before = rss_kib();
    EXPECT_EQ(num_roi("big", 300, num), kFailed);
    EXPECT_TRUE(eventually([&] { return target.hang_ups_seen() == hang_ups + 1; }, 2000));
    hang_ups = target.hang_ups_seen();
    EXPECT_LT(rss_kib() - before, 16 * 1024);
  }
}

// A target that stops reading, as a stopped process would: sends neither block nor queue without
// limit, and once it reads again every accepted command arrives, whole and in order.
TEST_F(HostileTargetTest, StoppedTargetLosesNoAcceptedCommandAndEndsRefusedOnesOnce) {
  HostileTarget target(directory_, "stopped", [](Command const& command) {
    // Each answer comes after one to a request never made, which the channel drops.
    return at_once(HostileTarget::response("never-" + command.uuid, "re:stray") +
                   HostileTarget::response(command.uuid, "re:" + command.payload));
  });
  core_test::Channel initiator = open_initiator();
  auto send = [&](std::string const& uuid, std::string const& payload) {
    return nelko_core_ipc_initiator_command_send(initiator.get(), "stopped", "stream_layout",
                                                 uuid.c_str(), payload.c_str());
  };
  ASSERT_EQ(send("warm", "up"), kOk);
  ASSERT_EQ(core_test::pull_response(initiator.get(), 5000).texts[3], "re:up");
  target.pause(true);
  std::string const payload(256 * 1024, 'p');
  int accepted = 0;
  for (int i = 0; i < 100; ++i) {
    Clock::time_point start = Clock::now();
    nelko_core_status status = send(std::to_string(i), payload);
    ASSERT_LT(ms_since(start), 500) << "send " << i << " blocked";
    if (status != kOk) break;
    ++accepted;
  }
  EXPECT_LT(accepted, 100) << "the outgoing queue has no limit";
  target.pause(false);
  for (int i = 0; i < accepted; ++i) {
    core_test::Pulled response = core_test::pull_response(initiator.get(), 5000);
    ASSERT_EQ(response.status, kOk) << i;
    EXPECT_EQ(response.texts[0], "stopped");
    EXPECT_EQ(response.texts[2], std::to_string(i));
    ASSERT_EQ(response.texts[3], "re:" + payload) << i;
  }
  // The refused command ended with its refusal: the connection closing does not end it again.
  target.die();
  core_test::Pulled late = core_test::pull_response(initiator.get(), 500);
  EXPECT_EQ(late.status, kFailed) << "request " << late.texts[2] << " ended a second time";
}

// A handle destroyed with requests in flight and a completion running (cancelling while
// completions run is checked per command in the initiator suite). A slow completion:
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
    ASSERT_EQ(nelko_api_stream_layout_get_num_roi_send_async(handle, "target", on_slow, &slow),
              kOk);
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
    EXPECT_EQ(nelko_api_stream_layout_get_num_roi_send_with_timeout(other, "target", 3000, &num),
              kOk);
    nelko_api_stream_layout_initiator_deinit(other);
    EXPECT_EQ(nelko_core_ipc_deinit(channel), kOk);
  }
}

INSTANTIATE_TEST_SUITE_P(Channels, ClientFaultTest, ::testing::Bool(),
                         [](auto const& info) { return info.param ? "Borrowed" : "Own"; });

}  // namespace
}  // namespace fault
