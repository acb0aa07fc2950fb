#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

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

}  // namespace
