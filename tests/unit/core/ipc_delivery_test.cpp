#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core_test_support.h"
#include "nelko_core_channel_events.h"

namespace core_test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using IpcDelivery = IpcTest;

void ignore_response(char**, char**, char**, char**, void*) {}
void ignore_command(char**, char**, char**, void*) {}

// While a callback of a kind is registered, pulling that kind is refused at once with
// UNSUPPORTED_FUNCTION, and every puller already blocked is woken with it; unregistering restores
// pulls.
TEST_F(IpcDelivery, CallbackRegistrationSwitchesPullsToUnsupported) {
  Channel target = open_target("camera");
  Channel initiator = open_initiator();
  // A connection (to a target that never answers), so that the response puller waits on its
  // socket, not only on the queue.
  Channel silent = open_target("silent");
  send_command(initiator.get(), "u", "p", "silent");
  auto response_puller =
      std::async(std::launch::async, [&] { return pull_response(initiator.get(), -1); });
  auto command_puller =
      std::async(std::launch::async, [&] { return pull_command(target.get(), 60000); });
  auto second_command_puller =  // a shorter wait, so that a puller left asleep fails in time
      std::async(std::launch::async, [&] { return pull_command(target.get(), 10000); });
  std::this_thread::sleep_for(milliseconds(50));
  int user = 0;
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), ignore_response, &user);
  nelko_core_ipc_target_command_receive_callback(target.get(), ignore_command, &user);
  ASSERT_EQ(response_puller.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  ASSERT_EQ(command_puller.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  ASSERT_EQ(second_command_puller.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(response_puller.get().status, NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION);
  EXPECT_EQ(command_puller.get().status, NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION);
  EXPECT_EQ(second_command_puller.get().status, NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION);
  auto start = Clock::now();
  EXPECT_EQ(pull_response(initiator.get(), 1000).status, NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION);
  EXPECT_EQ(pull_command(target.get(), 1000).status, NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION);
  EXPECT_LT(Clock::now() - start, milliseconds(200));
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), nullptr, &user);
  nelko_core_ipc_target_command_receive_callback(target.get(), nullptr, &user);
  EXPECT_EQ(pull_response(initiator.get(), 0).status, kFailed);
  EXPECT_EQ(pull_command(target.get(), 0).status, kFailed);
}

void record_command(char**, char** uuid, char**, void* user) {
  static_cast<Recorded*>(user)->add(*uuid);
}
void record_response(char**, char**, char** uuid, char**, void* user) {
  static_cast<Recorded*>(user)->add(*uuid);
}

// Once a pull has read the socket, nobody else does between pulls: what waits there goes to a
// poll, which reads it, and then to a callback registered later, oldest first and ahead of what
// arrives after the registration.
TEST_F(IpcDelivery, QueuedDeliveriesReachAPollAndACallbackRegisteredLater) {
  Channel target = open_target("camera");
  Channel initiator = open_initiator();
  send_command(initiator.get(), "1");
  Pulled first = pull_command(target.get(), 2000);
  ASSERT_EQ(first.status, kOk);
  nelko_core_ipc_target_response_send(target.get(), first.texts[0].c_str(), "1", "r");
  ASSERT_EQ(pull_response(initiator.get(), 2000).texts[2], "1");  // pulls read the socket now
  for (char const* uuid : {"2", "a", "b", "c"}) send_command(initiator.get(), uuid);
  for (char const* uuid : {"a", "b"}) {
    nelko_core_ipc_target_response_send(target.get(), first.texts[0].c_str(), uuid, "r");
  }
  std::this_thread::sleep_for(milliseconds(50));  // command 2 and the responses wait unread
  EXPECT_EQ(pull_response(initiator.get(), 0).texts[2], "a");

  Recorded commands, responses;
  nelko_core_ipc_target_command_receive_callback(target.get(), record_command, &commands);
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), record_response, &responses);
  // What waited goes to the callbacks without waiting for anything else to arrive.
  ASSERT_TRUE(eventually([&] { return commands.count() == 4 && responses.count() == 1; }));
  send_command(initiator.get(), "3");
  nelko_core_ipc_target_response_send(target.get(), first.texts[0].c_str(), "c", "r");
  ASSERT_TRUE(eventually([&] { return commands.count() == 5 && responses.count() == 2; }));
  nelko_core_ipc_target_command_receive_callback(target.get(), nullptr, &commands);
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), nullptr, &responses);
  EXPECT_EQ(commands.lines(), (std::vector<std::string>{"2", "a", "b", "c", "3"}));
  EXPECT_EQ(responses.lines(), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(pull_command(target.get(), 0).status, kFailed);
  EXPECT_EQ(pull_response(initiator.get(), 0).status, kFailed);
}

// A puller that gives up while another waits hands the reading of the sockets over: the other
// gets the response that comes after, not at its own time-out.
TEST_F(IpcDelivery, PullerOutlastingTheReadingOneGetsWhatComesAfterItLeft) {
  Channel target = open_target("camera");
  Channel initiator = open_initiator();
  send_command(initiator.get(), "1");
  Pulled command = pull_command(target.get(), 2000);
  ASSERT_EQ(command.status, kOk);
  auto reading =
      std::async(std::launch::async, [&] { return pull_response(initiator.get(), 200); });
  std::this_thread::sleep_for(milliseconds(50));
  auto const start = Clock::now();
  auto outlasting =
      std::async(std::launch::async, [&] { return pull_response(initiator.get(), 3000); });
  EXPECT_EQ(reading.get().status, kFailed);
  nelko_core_ipc_target_response_send(target.get(), command.texts[0].c_str(), "1", "r");
  EXPECT_EQ(outlasting.get().texts[2], "1");
  EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count(), 1500);
}

// A callback withdrawn while the I/O thread hands it what was queued: each command goes either
// to the callback or back to the queue, none is lost.
TEST_F(IpcDelivery, QueuedCommandsOutlastACallbackWithdrawnWhileTheyAreHandedToIt) {
  Channel target = open_target("camera");
  Channel initiator = open_initiator();
  std::string const payload(256 * 1024, 'p');
  std::size_t sent = 0, pulled = 0;
  Recorded commands;
  for (int round = 0; round < 60; ++round) {
    for (int i = 0; i < 12; ++i) sent += send_command(initiator.get(), "c", payload) == kOk;
    std::this_thread::sleep_for(milliseconds(5));  // queued by now
    nelko_core_ipc_target_command_receive_callback(target.get(), record_command, &commands);
    std::this_thread::sleep_for(std::chrono::microseconds(round * 37 % 500));  // mid-way, at times
    nelko_core_ipc_target_command_receive_callback(target.get(), nullptr, &commands);
    while (pull_command(target.get(), 0).status == kOk) ++pulled;
  }
  EXPECT_TRUE(eventually([&] {
    while (pull_command(target.get(), 0).status == kOk) ++pulled;
    return commands.count() + pulled == sent;
  })) << commands.count()
      << " + " << pulled << " of " << sent;
}

struct SelfRemover {
  void* channel;
  std::atomic<int> calls{0};
  std::atomic<nelko_core_status> deinit_status{kOk};
};

void remove_self(char**, char**, char**, char**, void* user) {
  auto* self = static_cast<SelfRemover*>(user);
  self->calls++;
  // On the I/O thread: removing must not wait for this very call, deinit must refuse.
  nelko_core_ipc_initiator_response_receive_callback(self->channel, nullptr, self);
  self->deinit_status = nelko_core_ipc_deinit(self->channel);
}

// The callee registered after it still gets the response during which the first one went.
TEST_F(IpcDelivery, CalleeMayRemoveItselfButNotCloseItsChannel) {
  Channel target = open_target("camera");
  Channel initiator = open_initiator();
  SelfRemover self{initiator.get()};
  SelfRemover next{initiator.get()};
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), remove_self, &self);
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), remove_self, &next);
  for (char const* uuid : {"1", "2"}) send_command(initiator.get(), uuid);
  Pulled command = pull_command(target.get(), 2000);
  nelko_core_ipc_target_response_send(target.get(), command.texts[0].c_str(), "1", "r");
  nelko_core_ipc_target_response_send(target.get(), command.texts[0].c_str(), "2", "r");
  // Both gone: the last callee removes itself after its call is counted, and a pull while it is
  // still registered is refused.
  ASSERT_TRUE(eventually(
      [&] { return next.deinit_status.load() == NELKO_CORE_STATUS_MULTI_THREAD_ACCESS; }));
  EXPECT_EQ(pull_response(initiator.get(), 2000).texts[2], "2");
  EXPECT_EQ(self.calls, 1);
  EXPECT_EQ(next.calls, 1);
  EXPECT_EQ(self.deinit_status, NELKO_CORE_STATUS_MULTI_THREAD_ACCESS);
}

// A sink that opens a channel when its own channel closes: on the closing thread, where a block
// just released would be handed out again first.
class ClosingSink final : public nelko::core::ResponseSink {
 public:
  Route on_response(std::string_view, std::string_view, std::string_view, std::string_view,
                    void const*, bool) override {
    return Route::unsolicited;
  }
  void take_outstanding(void const*, std::vector<nelko::core::OutstandingCommand>&) override {}
  void after_callbacks(std::string_view) override {}
  void on_withdrawn(void const*) override {}
  bool wants_prompt_reading() const override { return false; }
  void on_channel_closed() override {
    ++closings;
    void* channel = nullptr;
    if (nelko_core_ipc_initiator_init(nullptr, "meanwhile", &channel) == kOk) opened = channel;
  }

  int closings = 0;
  void* opened = nullptr;
};

// A channel's sink (the interfaces library's router) hears that its channel closed before any
// other channel can have the channel's handle: else a thread that still holds the sink would
// take a channel opened meanwhile for the closed one. The channel owns its sink: it is
// installed once, and the channel lets go of it when it closes.
TEST_F(IpcDelivery, SinkHearsOfItsChannelClosingBeforeTheHandleCanBeReused) {
  void* channel = nullptr;
  ASSERT_EQ(nelko_core_ipc_initiator_init(nullptr, "closing", &channel), kOk);
  auto const make = [](void*) -> std::shared_ptr<nelko::core::ResponseSink> {
    return std::make_shared<ClosingSink>();
  };
  std::shared_ptr<nelko::core::ResponseSink> const sink =
      nelko::core::install_response_sink(channel, make);
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(nelko::core::install_response_sink(channel, make), sink) << "one sink per channel";
  EXPECT_EQ(sink.use_count(), 2) << "the channel keeps its sink";
  EXPECT_EQ(nelko_core_ipc_deinit(channel), kOk);
  auto const& closing = static_cast<ClosingSink const&>(*sink);
  Channel const meanwhile(closing.opened);
  EXPECT_EQ(closing.closings, 1);
  EXPECT_EQ(sink.use_count(), 1) << "the closed channel still holds its sink";
  ASSERT_NE(meanwhile.get(), nullptr);
  EXPECT_NE(meanwhile.get(), channel) << "the channel opened meanwhile got the closed one's handle";
}

void echo(char** reply_to, char** uuid, char** payload, void* target) {
  nelko_core_ipc_target_response_send(target, *reply_to, *uuid, *payload);
}

// Records its call, then takes over every other response's payload, as a callee may: it nulls
// the slot and frees the text itself.
void record_and_take_some(char**, char**, char** uuid, char** payload, void* user) {
  static_cast<Recorded*>(user)->add(std::string("taker|") + *uuid);
  if (std::strlen(*uuid) % 2 == 1) return;
  char* taken = *payload;
  *payload = nullptr;
  std::free(taken);
}
void record_all_texts(char** target, char** interface_name, char** uuid, char** payload,
                      void* user) {
  static_cast<Recorded*>(user)->add(std::string(*target) + "|" + *interface_name + "|" + *uuid +
                                    "|" + *payload);
}

// Responses of every length in turn, shorter after longer and longer after shorter, with a
// callee that takes some texts over before the next one sees them: each registered pair is called
// once per response (a repeated registration adds nothing), in registration order, and each
// still gets each response's complete texts, and nothing of an earlier one.
TEST_F(IpcDelivery, EachResponseReachesEveryCalleeOnceWholeAndInOrder) {
  Channel target = open_target("camera");
  nelko_core_ipc_target_command_receive_callback(target.get(), echo, target.get());
  Channel initiator = open_initiator();
  Recorded calls, responses;
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), record_and_take_some, &calls);
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), record_all_texts, &calls);
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), record_and_take_some, &calls);
  std::vector<std::string> const payloads = {std::string(300, 'a'), "bb", "", "c",
                                             std::string(40000, 'd'), "eee", std::string(20, 'f')};
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    std::string const uuid = "uuid-" + std::string(i * 7, 'x');
    ASSERT_EQ(send_command(initiator.get(), uuid, payloads[i]), kOk);
    expected.push_back("taker|" + uuid);
    expected.push_back("camera|stream_layout|" + uuid + "|" + payloads[i]);
    // One at a time, so that each delivery follows the last one on the I/O thread.
    ASSERT_TRUE(eventually([&] { return calls.count() >= expected.size(); }));
  }
  std::this_thread::sleep_for(milliseconds(50));  // time for a repeated call to show
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), nullptr, &calls);
  EXPECT_EQ(calls.lines(), expected);
}

// Register, withdraw and register the same pair again on one thread, as an object does that
// goes and comes back at the same address: responses reach it again (the core may skip the work
// for a pair that a thread registered already, but never for one that was withdrawn since).
TEST_F(IpcDelivery, PairRegisteredAgainAfterItsWithdrawalReceivesResponses) {
  Channel target = open_target("camera");
  Channel initiator = open_initiator();
  Recorded responses;
  for (char const* uuid : {"first", "second"}) {
    ASSERT_EQ(nelko_core_ipc_initiator_response_receive_callback(initiator.get(), record_response,
                                                                 &responses),
              kOk);
    ASSERT_EQ(send_command(initiator.get(), uuid), kOk);
    Pulled command = pull_command(target.get(), 2000);
    ASSERT_EQ(command.status, kOk);
    ASSERT_EQ(
        nelko_core_ipc_target_response_send(target.get(), command.texts[0].c_str(), uuid, "r"),
        kOk);
    ASSERT_TRUE(eventually([&] { return responses.count() >= (uuid[0] == 'f' ? 1u : 2u); }))
        << "the response to " << uuid << " reached no callback";
    nelko_core_ipc_initiator_response_receive_callback(initiator.get(), nullptr, &responses);
  }
  EXPECT_EQ(responses.lines(), (std::vector<std::string>{"first", "second"}));
}

// Responses are matched to their requests, and kept target names reused, by comparing texts a
// word at a time: two texts of any length that differ in one byte, wherever it is, must differ,
// and equal texts in other memory must match and hash alike.
TEST(ChannelTexts, TextsDifferingInAnyOneByteAreUnequal) {
  std::vector<std::string> wrong;
  for (std::size_t length = 0; length <= 64; ++length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('0' + i % 43);
    std::string const copy = text;
    if (!nelko::core::same_text(text, copy) ||
        nelko::core::TextHash()(text) != nelko::core::TextHash()(copy)) {
      wrong.push_back("equal texts of " + std::to_string(length) + " bytes");
    }
    for (std::size_t at = 0; at < length; ++at) {
      std::string other = text;
      other[at] = static_cast<char>(other[at] ^ 0x20);
      if (nelko::core::same_text(text, other)) {
        wrong.push_back(std::to_string(length) + " bytes, byte " + std::to_string(at));
      }
    }
    if (nelko::core::same_text(text, text + "x")) wrong.push_back("a longer text");
  }
  EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong, the first: " << wrong.front();
}

}  // namespace
}  // namespace core_test
