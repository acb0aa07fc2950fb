#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "core_test_support.h"

namespace {

using core_test::CapturedStderr;
using core_test::Channel;
using core_test::connect_raw;
using core_test::frame;
using core_test::IpcTest;
using core_test::pull_command;
using core_test::pull_response;

using IpcRobustness = IpcTest;

TEST_F(IpcRobustness, InvalidArgumentsAreRefusedWithoutACrash) {
  Channel target = open_target("camera");
  Channel initiator = open_initiator();
  void* i = initiator.get();
  void* t = target.get();
  void* out = nullptr;
  char* text = nullptr;
  CapturedStderr quiet;
  constexpr auto kInvalid = NELKO_CORE_STATUS_INVALID_PARAMS;
  EXPECT_EQ(nelko_core_ipc_initiator_init(nullptr, "x", nullptr), kInvalid);
  EXPECT_EQ(nelko_core_ipc_initiator_init(nullptr, nullptr, &out), kInvalid);
  for (char const* name : {static_cast<char const*>(nullptr), "", "a/b", ".", ".."}) {
    EXPECT_EQ(nelko_core_ipc_target_init(nullptr, name, "i", "1", &out), kInvalid);
    EXPECT_EQ(nelko_core_ipc_initiator_command_send(i, name, "i", "u", "p"), kInvalid);
  }
  EXPECT_EQ(nelko_core_ipc_target_init(nullptr, std::string(200, 'n').c_str(), "i", "1", &out),
            kInvalid);
  EXPECT_EQ(nelko_core_ipc_deinit(nullptr), kInvalid);
  EXPECT_EQ(nelko_core_ipc_initiator_command_send(nullptr, "camera", "i", "u", "p"), kInvalid);
  EXPECT_EQ(nelko_core_ipc_initiator_command_send(i, "camera", "i", nullptr, "p"), kInvalid);
  EXPECT_EQ(nelko_core_ipc_initiator_response_receive(i, 0, nullptr, &text, &text, &text),
            kInvalid);
  EXPECT_EQ(nelko_core_ipc_target_command_receive(t, 0, &text, &text, nullptr), kInvalid);
  EXPECT_EQ(nelko_core_ipc_target_response_send(t, nullptr, "u", "p"), kInvalid);
  // A handle of the other kind.
  EXPECT_EQ(nelko_core_ipc_initiator_command_send(t, "camera", "i", "u", "p"), kInvalid);
  EXPECT_EQ(nelko_core_ipc_target_event_send(i, "p"), kInvalid);
  // A frame over the limit is refused before anything is sent.
  std::string huge(1u << 20, 'h');
  EXPECT_EQ(nelko_core_ipc_initiator_command_send(i, "camera", "i", "u", huge.c_str()), kInvalid);
}

// A peer that sends the given bytes to the target and then waits for it to hang up.
bool target_hangs_up_after(std::string const& path, std::string const& bytes) {
  int peer = connect_raw(path);
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
  EXPECT_TRUE(target_hangs_up_after(path, std::string("\x7f\xff\xff\xff", 4)));  // 2 GiB claimed
  EXPECT_TRUE(target_hangs_up_after(path, std::string("\x00\x10\x00\x01", 4)));  // 1 MiB + 1
  EXPECT_TRUE(target_hangs_up_after(path, std::string("\x00\x00\x00\x00", 4)));  // empty body
  EXPECT_TRUE(target_hangs_up_after(path, frame(99, {"x"})));                    // unknown kind
  EXPECT_TRUE(target_hangs_up_after(path, frame(2, {"stream_layout", "u"})));    // texts missing
  EXPECT_TRUE(target_hangs_up_after(path, frame(2, {"stream_layout", "u", "p", "extra"})));
  std::string overlong = frame(1, {"name"});
  overlong[8] = 100;  // the text claims more bytes than the body holds
  EXPECT_TRUE(target_hangs_up_after(path, overlong));

  // A truncated frame from a peer that leaves: nothing is delivered.
  int peer = connect_raw(path);
  std::string command = frame(2, {"stream_layout", "u", "payload"});
  ::send(peer, command.data(), command.size() - 3, MSG_NOSIGNAL);
  ::close(peer);

  // Frames valid in form but of a kind a target does not take are ignored, not fatal.
  peer = connect_raw(path);
  std::string wrong_way = frame(3, {"stream_layout", "u", "p"}) + frame(1, {"raw"}) +
                          frame(2, {"stream_layout", "ok", "p"});
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

// A listening socket standing in for a target that this test drives byte by byte.
class RawTarget {
 public:
  explicit RawTarget(std::string const& path) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
  }
  ~RawTarget() {
    if (peer_ >= 0) ::close(peer_);
    ::close(listener_);
  }
  int accept_peer() { return peer_ = ::accept(listener_, nullptr, nullptr); }

 private:
  int listener_ = -1;
  int peer_ = -1;
};

TEST_F(IpcRobustness, InitiatorDropsATargetThatSendsAnOversizeFrameAndReconnects) {
  RawTarget hostile(path_of("hostile"));
  Channel initiator = open_initiator();
  CapturedStderr quiet;
  ASSERT_EQ(nelko_core_ipc_initiator_command_send(initiator.get(), "hostile", "i", "u", "p"),
            NELKO_CORE_STATUS_NO_ERROR);
  int peer = hostile.accept_peer();
  // A thread waiting for a response reads the socket itself: it must drop the peer as well.
  auto puller = std::async(std::launch::async, [&] { return pull_response(initiator.get(), 1000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::send(peer, "\xff\xff\xff\xff", 4, MSG_NOSIGNAL);
  char byte;
  EXPECT_EQ(::recv(peer, &byte, 1, 0), 1);  // the hello and command arrive first
  timeval limit{5, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char rest[256];
  ssize_t got;
  while ((got = ::recv(peer, rest, sizeof rest, 0)) > 0) {
  }
  EXPECT_EQ(got, 0) << "the initiator kept the connection open";
  EXPECT_TRUE(core_test::eventually([&] {
    return quiet.text().find("connection to target 'hostile' dropped") != std::string::npos;
  }));
  EXPECT_EQ(puller.get().status, NELKO_CORE_STATUS_IPC_FAILED);
  EXPECT_EQ(nelko_core_ipc_initiator_command_send(initiator.get(), "hostile", "i", "u", "p"),
            NELKO_CORE_STATUS_NO_ERROR);
  EXPECT_GE(hostile.accept_peer(), 0);
}

TEST_F(IpcRobustness, StaleSocketFileIsReplacedButALiveNameIsRefused) {
  RawTarget dead(path_of("camera"));
  { RawTarget ignored(path_of("x")); }
  // "camera" is live (listening): refused. A socket file nobody listens on is stale.
  void* handle = nullptr;
  CapturedStderr quiet;
  EXPECT_EQ(nelko_core_ipc_target_init(nullptr, "camera", "i", "1", &handle),
            NELKO_CORE_STATUS_IPC_FAILED);
  EXPECT_EQ(handle, nullptr);
  Channel replaced = open_target("x");
  EXPECT_NE(replaced.get(), nullptr);
  // A file that is not a socket is never removed.
  ::close(::creat(path_of("file").c_str(), 0600));
  EXPECT_EQ(nelko_core_ipc_target_init(nullptr, "file", "i", "1", &handle),
            NELKO_CORE_STATUS_IPC_FAILED);
  EXPECT_TRUE(std::filesystem::exists(path_of("file")));
  // Deinit removes the socket file.
  replaced.reset();
  EXPECT_FALSE(std::filesystem::exists(path_of("x")));
}

class SocketDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/nelko-core-runtime-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    runtime_ = name;
    ::unsetenv("NELKO_IPC_DIR");
    ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(runtime_, ignored);
  }
  nelko_core_status open_initiator() {
    void* handle = nullptr;
    nelko_core_status status = nelko_core_ipc_initiator_init(nullptr, "x", &handle);
    if (handle != nullptr) nelko_core_ipc_deinit(handle);
    return status;
  }
  std::string runtime_;
};

mode_t mode_of(std::string const& path) {
  struct stat info {};
  ::lstat(path.c_str(), &info);
  return info.st_mode & 0777;
}

TEST_F(SocketDirectory, DefaultDirectoryIsCreatedPrivateAndSocketsAreOwnerOnly) {
  void* target = nullptr;
  ASSERT_EQ(nelko_core_ipc_target_init(nullptr, "camera", "i", "1", &target),
            NELKO_CORE_STATUS_NO_ERROR);
  EXPECT_EQ(mode_of(runtime_ + "/nelko-ipc"), 0700u);
  EXPECT_EQ(mode_of(runtime_ + "/nelko-ipc/camera"), 0600u);
  nelko_core_ipc_deinit(target);
}

TEST_F(SocketDirectory, DefaultDirectoryOthersCanEnterIsRefused) {
  std::string directory = runtime_ + "/nelko-ipc";
  ::mkdir(directory.c_str(), 0700);
  ::chmod(directory.c_str(), 0755);
  CapturedStderr captured;
  EXPECT_EQ(open_initiator(), NELKO_CORE_STATUS_IPC_FAILED);
  EXPECT_NE(captured.text().find("refusing IPC directory"), std::string::npos);
}

TEST_F(SocketDirectory, DefaultDirectoryThatIsALinkIsRefused) {
  std::string elsewhere = runtime_ + "/elsewhere";
  ::mkdir(elsewhere.c_str(), 0700);
  ASSERT_EQ(::symlink(elsewhere.c_str(), (runtime_ + "/nelko-ipc").c_str()), 0);
  CapturedStderr quiet;
  EXPECT_EQ(open_initiator(), NELKO_CORE_STATUS_IPC_FAILED);
}

TEST_F(SocketDirectory, DefaultDirectoryOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory away";
  std::string directory = runtime_ + "/nelko-ipc";
  ::mkdir(directory.c_str(), 0700);
  ASSERT_EQ(::chown(directory.c_str(), 65534, 65534), 0);
  CapturedStderr quiet;
  EXPECT_EQ(open_initiator(), NELKO_CORE_STATUS_IPC_FAILED);
}

}  // namespace
