// The cheap paths of sending and delivering: frames small enough to be built in one block must
// arrive exactly as the scattered ones do, and a delivery that skips retaking its lock after the
// last call must still see pairs registered and withdrawn during that call.
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

using nelko::test::listen_at;
using nelko::test::read_wire_frame;
using nelko::test::wire_frame;
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
    std::string const uuid = uuid_of(i);
    ASSERT_EQ(nelko_core_ipc_initiator_command_send(initiator.get(), "camera", "stream_layout",
                                                    uuid.c_str(), payloads[i].c_str()),
              NELKO_CORE_STATUS_NO_ERROR);
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
    std::string const uuid = uuid_of(i);
    EXPECT_EQ(frame, wire_frame(2, {"stream_layout", uuid, payloads[i]})) << payloads[i].size();
  }
  ::close(peer);
  ::close(listener);
}

struct Joiner {
  void* channel;
  std::atomic<int> first_calls{0};
  std::atomic<int> second_calls{0};
  int second_user = 0;  // the second pair's user pointer points here
};

void second_pair(char**, char**, char**, char**, void* user) {
  auto* joiner = reinterpret_cast<Joiner*>(static_cast<char*>(user) - offsetof(Joiner, second_user));
  joiner->second_calls++;
}

// The first pair registers a second one from inside its first call.
void first_pair(char**, char**, char**, char**, void* user) {
  auto* joiner = static_cast<Joiner*>(user);
  if (joiner->first_calls++ == 0) {
    nelko_core_ipc_initiator_response_receive_callback(joiner->channel, second_pair,
                                                       &joiner->second_user);
  }
}

// The second pair gets the response during which it came, and the later ones too.
TEST_F(IpcFramePath, PairRegisteredDuringTheOnlyCallGetsThatResponse) {
  Channel target = open_target("camera");
  Channel initiator = open_initiator();
  Joiner joiner{initiator.get()};
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), first_pair, &joiner);
  nelko_core_ipc_initiator_command_send(initiator.get(), "camera", "stream_layout", "u", "p");
  nelko_core_ipc_initiator_command_send(initiator.get(), "camera", "stream_layout", "v", "p");
  Pulled command = pull_command(target.get(), 2000);
  ASSERT_EQ(command.status, NELKO_CORE_STATUS_NO_ERROR);
  nelko_core_ipc_target_response_send(target.get(), command.texts[0].c_str(), "u", "r");
  ASSERT_TRUE(eventually([&] { return joiner.second_calls.load() == 1; }));
  nelko_core_ipc_target_response_send(target.get(), command.texts[0].c_str(), "v", "r");
  ASSERT_TRUE(eventually([&] { return joiner.second_calls.load() == 2; }));
  EXPECT_EQ(joiner.first_calls, 2);
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), nullptr, &joiner);
  nelko_core_ipc_initiator_response_receive_callback(initiator.get(), nullptr,
                                                     &joiner.second_user);
}

}  // namespace
}  // namespace core_test
