// Commands, answers and events between a target and its initiators: whole, in order and byte for
// byte, whatever their sizes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "core_test_support.h"

namespace core_test {
namespace {

using IpcExchange = IpcTest;

// Answers every command with "re:" + payload, on the target's I/O thread.
void echo(char** reply_to, char** uuid, char** payload, void* target) {
  std::string answer = std::string("re:") + *payload;
  nelko_core_ipc_target_response_send(target, *reply_to, *uuid, answer.c_str());
}

// A target that answers in its callback sends the answers to commands that arrived together
// together. Order and content must hold whatever the sizes (these answers exceed what one
// gathering holds), and answers to commands ahead of a broken frame still leave before the
// connection closes.
TEST_F(IpcExchange, AnswersToCommandsReadTogetherLeaveInOrder) {
  Channel target = open_target("camera");
  nelko_core_ipc_target_command_receive_callback(target.get(), echo, target.get());
  int peer = connect_to(path_of("camera"));
  ASSERT_GE(peer, 0);
  timeval const limit{5, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string const big(20 * 1024, 'b');
  auto payload = [&big](int i) { return i % 7 == 3 ? big : std::to_string(i); };
  auto send_commands = [&](int from, int to, std::string const& after) {
    std::string bytes;
    for (int i = from; i < to; ++i) {
      bytes += wire_frame(2, {"stream_layout", std::to_string(i), payload(i)});
    }
    bytes += after;
    return nelko::test::write_all(peer, bytes.data(), bytes.size());
  };
  auto answers_arrive = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      std::string frame;
      if (!nelko::test::read_wire_frame(peer, frame)) return testing::AssertionFailure() << i;
      if (frame != wire_frame(3, {"stream_layout", std::to_string(i), "re:" + payload(i)})) {
        return testing::AssertionFailure() << "answer " << i << ": " << frame.substr(0, 80);
      }
    }
    return testing::AssertionSuccess();
  };
  ASSERT_TRUE(send_commands(0, 41, ""));
  EXPECT_TRUE(answers_arrive(0, 41));
  ASSERT_TRUE(send_commands(41, 44, std::string(4, '\0')));  // a frame of no bytes is refused
  EXPECT_TRUE(answers_arrive(41, 44));
  char byte;
  EXPECT_EQ(::recv(peer, &byte, 1, 0), 0);
  ::close(peer);
}

TEST_F(IpcExchange, CommandForAnotherInterfaceIsAnsweredByTheCore) {
  Channel target = open_target("camera");
  Channel initiator = open_initiator();
  nelko_core_ipc_initiator_command_send(initiator.get(), "camera", "zoom", "z1", "{}");
  Pulled response = pull_response(initiator.get(), 2000);
  ASSERT_EQ(response.status, kOk);
  EXPECT_EQ(response.texts[1], "zoom");
  EXPECT_EQ(response.texts[2], "z1");
  EXPECT_EQ(response.texts[3], "{\"status\":8}");
  EXPECT_EQ(pull_command(target.get(), 0).status, kFailed);
}

void record_event(char** target, char** interface, char** payload, void* user) {
  static_cast<Recorded*>(user)->add(std::string(*target) + "|" + *interface + "|" + *payload);
}

TEST_F(IpcExchange, EventsReachSubscribersUntilTheyUnsubscribe) {
  Channel target = open_target("camera");
  nelko_core_ipc_target_command_receive_callback(target.get(), echo, target.get());
  Channel subscriber = open_initiator("sub");
  Channel bystander = open_initiator("other");
  Recorded events, bystander_events;
  nelko_core_ipc_initiator_event_receive_callback(subscriber.get(), record_event, &events);
  nelko_core_ipc_initiator_event_receive_callback(bystander.get(), record_event, &bystander_events);
  EXPECT_EQ(nelko_core_ipc_target_event_send(target.get(), "{\"nobody\":1}"), kOk);
  ASSERT_EQ(nelko_core_ipc_initiator_event_subscribe(subscriber.get(), "camera"), kOk);
  // A round trip behind the subscription on the same connection: the target has seen it.
  send_command(bystander.get(), "b", "");
  send_command(subscriber.get(), "s", "");
  ASSERT_EQ(pull_response(subscriber.get(), 2000).status, kOk);
  ASSERT_EQ(pull_response(bystander.get(), 2000).status, kOk);

  EXPECT_EQ(nelko_core_ipc_target_event_send(target.get(), "{\"zoom\":2}"), kOk);
  ASSERT_TRUE(eventually([&] { return events.count() == 1; }));
  EXPECT_EQ(events.lines()[0], "camera|stream_layout|{\"zoom\":2}");

  EXPECT_EQ(nelko_core_ipc_initiator_event_unsubscribe(subscriber.get(), "camera"), kOk);
  send_command(subscriber.get(), "s2", "");
  ASSERT_EQ(pull_response(subscriber.get(), 2000).status, kOk);
  nelko_core_ipc_target_event_send(target.get(), "{\"zoom\":3}");
  // An event would travel ahead of this response on the same connection.
  send_command(subscriber.get(), "s3", "");
  ASSERT_EQ(pull_response(subscriber.get(), 2000).status, kOk);
  EXPECT_EQ(events.count(), 1u);
  EXPECT_EQ(bystander_events.count(), 0u);
  nelko_core_ipc_initiator_event_receive_callback(subscriber.get(), nullptr, &events);
  nelko_core_ipc_initiator_event_receive_callback(bystander.get(), nullptr, &bystander_events);
}

// The cheap paths of sending and delivering: frames small enough to be built in one block must
// arrive exactly as the scattered ones do, and a delivery that skips retaking its lock after the
// last call must still see pairs registered and withdrawn during that call.

using nelko::test::listen_at;
using nelko::test::read_wire_frame;
using IpcFramePath = IpcTest;

// Frames from a few bytes to just past the size built in one block (512 bytes), empty texts
// among them, reach a peer byte for byte as the wire format lays them out.
TEST_F(IpcFramePath, CommandsAroundTheOneBlockSizeArriveByteForByte) {
  int listener = listen_at(path_of("camera"));
  ASSERT_GE(listener, 0);
  Channel initiator = open_initiator();
  std::vector<std::string> payloads{"", "{}", std::string(300, 'p')};
  // interface (13) + uuid (4) + three length fields, kind and frame length: 34 bytes around the
  // payload.
  for (std::size_t size = 470; size < 490; ++size) payloads.push_back(std::string(size, 'q'));
  payloads.push_back(std::string(2000, 'r'));
  // An empty text between two others, too.
  auto uuid_of = [](std::size_t i) { return i == 1 ? std::string() : "u" + std::to_string(i); };
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    ASSERT_EQ(send_command(initiator.get(), uuid_of(i), payloads[i]), kOk);
  }
  int peer = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  timeval const limit{5, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string frame;
  ASSERT_TRUE(read_wire_frame(peer, frame));
  EXPECT_EQ(frame, wire_frame(1, {"tester"}));
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    ASSERT_TRUE(read_wire_frame(peer, frame)) << i;
    EXPECT_EQ(frame, wire_frame(2, {"stream_layout", uuid_of(i), payloads[i]}))
        << payloads[i].size();
  }
  ::close(peer);
  ::close(listener);
}

struct Joiner {
  void* channel;
  std::atomic<int> first_calls{0};
  std::atomic<int> second_calls{0};  // the second pair's user
};

void second_pair(char**, char**, char**, char**, void* user) {
  ++*static_cast<std::atomic<int>*>(user);
}

// The first pair registers a second one from inside its first call.
void first_pair(char**, char**, char**, char**, void* user) {
  auto* joiner = static_cast<Joiner*>(user);
  if (joiner->first_calls++ == 0) {
    nelko_core_ipc_initiator_response_receive_callback(joiner->channel, second_pair,
                                                       &joiner->second_calls);
  }
}

// The second pair gets the response during which it came, and the later ones too.
TEST_F(IpcFramePath, PairRegisteredDuringTheOnlyCallGetsThatResponse) {
  Channel target = open_target("camera");
  Channel initiator = open_initiator();
  Joiner joiner{initiator.get()};
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), first_pair, &joiner);
  send_command(initiator.get(), "u");
  send_command(initiator.get(), "v");
  Pulled command = pull_command(target.get(), 2000);
  ASSERT_EQ(command.status, kOk);
  nelko_core_ipc_target_response_send(target.get(), command.texts[0].c_str(), "u", "r");
  ASSERT_TRUE(eventually([&] { return joiner.second_calls.load() == 1; }));
  nelko_core_ipc_target_response_send(target.get(), command.texts[0].c_str(), "v", "r");
  ASSERT_TRUE(eventually([&] { return joiner.second_calls.load() == 2; }));
  EXPECT_EQ(joiner.first_calls, 2);
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), nullptr, &joiner);
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), nullptr,
                                                     &joiner.second_calls);
}

}  // namespace
}  // namespace core_test
