// A peer that the security suite runs as another user (through setpriv), so that the core's
// credential checks meet a process the kernel really reports as someone else:
//   foreign_peer ask <socket path>     connects, says hello and sends one command, then prints
//                                      "answered", "closed" (the target hung up), "silent" or
//                                      "unreachable" (connect failed)
//   foreign_peer serve <dir> <name>    a target at <dir>/<name> that answers every Get_num_roi
//                                      with 666; prints "ready", and ends once it has seen a
//                                      command or a hang-up, or after 5 s
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "hostile_target.h"

namespace {

int ask(char const* path) {
  int peer = core_test::connect_to(path);
  if (peer < 0) {
    std::puts("unreachable");
    return 0;
  }
  std::string const request =
      core_test::wire_frame(1, {"intruder"}) +
      core_test::wire_frame(2, {"stream_layout", "u1", "{\"command\":\"Get_num_roi\"}"});
  ::send(peer, request.data(), request.size(), MSG_NOSIGNAL);
  timeval limit{3, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char byte;
  ssize_t got = ::recv(peer, &byte, 1, 0);
  // A target that closes with our frames unread resets the connection instead of ending it.
  bool const timed_out = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  std::puts(got > 0 ? "answered" : timed_out ? "silent" : "closed");
  ::close(peer);
  return 0;
}

int serve(char const* directory, char const* name) {
  fault::HostileTarget target(directory, name, [](fault::Command const& command) {
    return fault::at_once(fault::HostileTarget::answer(command, 666));
  });
  std::puts("ready");
  std::fflush(stdout);
  for (int i = 0; i < 500 && target.commands_seen() + target.hang_ups_seen() == 0; ++i)
    ::usleep(10000);
  ::usleep(100000);  // lets an answer reach the client
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "ask") == 0) return ask(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "serve") == 0) return serve(argv[2], argv[3]);
  std::fprintf(stderr, "usage: foreign_peer ask PATH | serve DIR NAME\n");
  return 2;
}
