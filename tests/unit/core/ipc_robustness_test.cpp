#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core_test_support.h"

namespace {

using core_test::CapturedStderr;
using core_test::Channel;
using core_test::connect_to;
using core_test::wire_frame;
using core_test::IpcTest;
using core_test::pull_command;

using IpcRobustness = IpcTest;

// A peer that sends the given bytes to the target and then waits for it to hang up.
bool target_hangs_up_after(std::string const& path, std::string const& bytes) {
  int peer = connect_to(path);
  if (peer < 0) return false;
  ::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  timeval limit{5, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char byte;
  ssize_t got = ::recv(peer, &byte, 1, 0);
  ::close(peer);
  return got == 0;
}

TEST_F(IpcRobustness, TargetClosesConnectionsThatBreakTheFraming) {
  Channel target = open_target("camera");
  std::string path = path_of("camera");
  CapturedStderr quiet;
  long const before = core_test::rss_kib();
  // Claimed lengths over the cap are dropped without reserving what the header claims.
  for (char const* header : {"\x7f\xff\xff\xff", "\xff\xff\xff\xff", "\x00\x10\x00\x01"}) {
    EXPECT_TRUE(target_hangs_up_after(path, std::string(header, 4)));
  }
  EXPECT_LT(core_test::rss_kib() - before, 16 * 1024);
  std::string overlong = wire_frame(1, {"name"});
  overlong[8] = 100;  // the text claims more bytes than the body holds
  for (std::string const& broken :
       {std::string(4, '\0'), wire_frame(99, {"x"}), wire_frame(2, {"stream_layout", "u"}),
        wire_frame(2, {"stream_layout", "u", "p", "extra"}), overlong}) {
    EXPECT_TRUE(target_hangs_up_after(path, broken)) << broken.size();
  }

  // A truncated frame from a peer that leaves: nothing is delivered.
  int peer = connect_to(path);
  std::string command = wire_frame(2, {"stream_layout", "u", "payload"});
  ::send(peer, command.data(), command.size() - 3, MSG_NOSIGNAL);
  ::close(peer);

  // Frames valid in form but of a kind a target does not take are ignored, not fatal.
  peer = connect_to(path);
  std::string wrong_way = wire_frame(3, {"stream_layout", "u", "p"}) + wire_frame(1, {"raw"}) +
                          wire_frame(2, {"stream_layout", "ok", "p"});
  ::send(peer, wrong_way.data(), wrong_way.size(), MSG_NOSIGNAL);
  auto command_seen = pull_command(target.get(), 2000);
  EXPECT_EQ(command_seen.texts[0].rfind("raw#", 0), 0u);
  EXPECT_EQ(command_seen.texts[1], "ok");
  ::close(peer);

  // The target still serves well-behaved initiators.
  Channel initiator = open_initiator();
  nelko_core_ipc_initiator_command_send(initiator.get(), "camera", "stream_layout", "u2", "p");
  EXPECT_EQ(pull_command(target.get(), 2000).texts[1], "u2");
  EXPECT_NE(quiet.text().find("refused (limit 1048576)"), std::string::npos);
}


// The target's periodic check runs while commands of other peers keep its I/O thread busy: a peer that stops
// halfway through a frame is closed on time even though the thread never waits for long.
TEST_F(IpcRobustness, HalfSentFrameIsTimedOutWhileOtherPeersFlood) {
  Channel target = open_target("camera");
  std::string const path = path_of("camera");
  CapturedStderr quiet;  // the flooded command queue drops its oldest, with a warning
  int slow = connect_to(path);
  ASSERT_GE(slow, 0);
  std::string const hello = wire_frame(1, {"slow"});
  std::string const command = wire_frame(2, {"stream_layout", "u", "p"});
  std::string const half = hello + command.substr(0, command.size() - 1);
  ::send(slow, half.data(), half.size(), MSG_NOSIGNAL);
  auto const sent = std::chrono::steady_clock::now();

  // Several peers, so that the I/O thread finds one of them readable whenever it looks.
  std::atomic<bool> stop{false};
  std::vector<std::thread> floods;
  for (int f = 0; f < 4; ++f) {
    floods.emplace_back([&] {
      int peer = connect_to(path);
      if (peer < 0) return;
      std::string const greeting = wire_frame(1, {"flood"});
      ::send(peer, greeting.data(), greeting.size(), MSG_NOSIGNAL);
      std::string burst;
      for (int i = 0; i < 64; ++i) burst += command;
      while (!stop.load() && ::send(peer, burst.data(), burst.size(), MSG_NOSIGNAL) > 0) {
      }
      ::close(peer);
    });
  }
  // The frame time-out is 5 s and the check runs every second.
  timeval limit{9, 0};
  ::setsockopt(slow, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char byte;
  ssize_t const got = ::recv(slow, &byte, 1, 0);
  auto const waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - sent)
                          .count();
  stop.store(true);
  for (std::thread& flood : floods) flood.join();
  ::close(slow);
  EXPECT_EQ(got, 0) << "not closed within 9 s";
  EXPECT_GE(waited, 4900);
}
}  // namespace
