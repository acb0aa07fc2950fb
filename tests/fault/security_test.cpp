// What another local user or a hostile peer could try, grouped by area: the socket directory,
// the credentials of the process at the other end, names and reply addresses, log lines, and
// what a peer can make a process hold. The multi-user cases run a peer as another user through
// setpriv and need root; elsewhere they are skipped.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fault_fixture.h"

namespace fault {
namespace {

using core_test::Channel;
using core_test::connect_to;
using core_test::pull_command;
using core_test::Pulled;
using core_test::wire_frame;
using nelko::test::send_all;
using std::chrono::milliseconds;

struct stat stat_of(std::string const& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) info.st_mode = 07777;
  return info;
}
mode_t mode_of(std::string const& path) {
  return stat_of(path).st_mode & 07777;
}

// An environment variable set (or, with nullptr, unset) for the scope.
class ScopedEnv {
 public:
  ScopedEnv(char const* name, char const* value) : name_(name) {
    if (char const* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  char const* name_;
  std::optional<std::string> old_;
};

// What the peer on `descriptor` sees within `limit_ms`: "answered" (bytes came), "closed" (end
// of file or reset) or "silent".
std::string outcome(int descriptor, int limit_ms = 3000) {
  pollfd polled{descriptor, POLLIN, 0};
  if (::poll(&polled, 1, limit_ms) <= 0) return "silent";
  char bytes[65536];  // all that came, so that the next look sees only what comes later
  return ::recv(descriptor, bytes, sizeof bytes, MSG_DONTWAIT) > 0 ? "answered" : "closed";
}

// A raw initiator connection to the socket at `path` that has said hello as `hello`.
int greeted(std::string const& path, std::string const& hello) {
  int peer = connect_to(path);
  send_all(peer, wire_frame(1, {hello}));
  return peer;
}

void send_command(int peer, std::string const& uuid, std::string const& payload = "{}") {
  send_all(peer, wire_frame(2, {"stream_layout", uuid, payload}));
}

// A target that answers every command.
Channel answering_target() {
  void* handle = nullptr;
  EXPECT_EQ(nelko_core_ipc_target_init(nullptr, "camera", "stream_layout", "1", &handle), kOk);
  nelko_core_ipc_target_command_receive_callback(
      handle,
      [](char** reply_to, char** uuid, char**, void* target) {
        nelko_core_ipc_target_response_send(target, *reply_to, *uuid, "{\"status\":0,\"num\":1}");
      },
      handle);
  return Channel(handle);
}

// ---- Another user --------------------------------------------------------------------------

// The user the multi-user cases run peers as, made when missing (tests run in parallel: another
// process may be making it at the same moment). Empty unless this process is root and setpriv is
// there; always empty in a cross build, whose helper would have to run through the emulator too.
std::optional<passwd> foreign_user() {
#ifndef CROSS_BUILD
  if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) return std::nullopt;
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (passwd const* entry = ::getpwnam("nelkotest")) return *entry;
    if (std::system("useradd --system --no-create-home --shell /usr/sbin/nologin nelkotest "
                    ">/dev/null 2>&1") != 0) {
      std::this_thread::sleep_for(milliseconds(100));
    }
  }
#endif
  return std::nullopt;
}

#define NEEDS_FOREIGN_USER(user)                     \
  std::optional<passwd> const user = foreign_user(); \
  if (!user) GTEST_SKIP() << "a peer as another user needs root, setpriv, useradd, a native build"

// The setpriv command line that runs foreign_peer with `args` as `user`, with primary group
// `gid` and the supplementary groups `groups` only.
std::string as_user(passwd const& user, gid_t gid, std::string const& args,
                    std::string const& groups = "") {
  return "/usr/bin/setpriv --reuid=" + std::to_string(user.pw_uid) +
         " --regid=" + std::to_string(gid) +
         (groups.empty() ? " --clear-groups" : " --groups=" + groups) + " -- " FOREIGN_PEER " " +
         args;
}

// What `foreign_peer ask` run by `command` reports.
std::string asked(std::string const& command) {
  FILE* out = ::popen(command.c_str(), "r");
  char line[64] = "";
  if (out == nullptr || !std::fgets(line, sizeof line, out)) line[0] = 0;
  if (out != nullptr) ::pclose(out);
  std::string text = line;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// ---- Directory -----------------------------------------------------------------------------

using Directory = FaultTest;

// Whatever the umask: a chosen directory that does not exist yet, the default directory made by
// a handle that opens its own channel, and in group-shared mode (with this process's own group,
// which any user may give its files) a directory and sockets for the group.
TEST_F(Directory, SocketDirectoriesAndSocketsGetTheirModeWhateverTheUmask) {
  mode_t const old_mask = ::umask(0);
  {
    ScopedEnv dir("NELKO_IPC_DIR", (directory_ + "/chosen").c_str());
    Channel target = open_target("stream_layout");
    EXPECT_EQ(mode_of(directory_ + "/chosen"), 0700u);
    EXPECT_EQ(mode_of(directory_ + "/chosen/stream_layout"), 0600u);
  }
  {
    ScopedEnv dir("NELKO_IPC_DIR", nullptr);
    ScopedEnv runtime("XDG_RUNTIME_DIR", directory_.c_str());
    handle_ = open_handle();
    EXPECT_EQ(mode_of(directory_ + "/nelko-ipc"), 0700u);
  }
  std::string const shared = directory_ + "/shared";
  ScopedEnv dir("NELKO_IPC_DIR", shared.c_str());
  ScopedEnv group("NELKO_IPC_GROUP", std::to_string(::getegid()).c_str());
  ::umask(022);
  {
    Channel target = open_target("camera");
    EXPECT_EQ(mode_of(shared), 02770u);
    EXPECT_EQ(stat_of(shared).st_gid, ::getegid());
    EXPECT_EQ(mode_of(shared + "/camera"), 0660u);
    EXPECT_EQ(stat_of(shared + "/camera").st_gid, ::getegid());
  }
  ::umask(old_mask);
  // One that others may enter or the group may not is refused, and so is an unknown group.
  void* handle = nullptr;
  for (mode_t mode : {02777, 0700}) {
    ::chmod(shared.c_str(), mode);
    EXPECT_EQ(nelko_core_ipc_initiator_init(nullptr, "x", &handle), kFailed) << std::oct << mode;
  }
  ::chmod(shared.c_str(), 02770);
  ScopedEnv unknown("NELKO_IPC_GROUP", "no-such-group-here");
  EXPECT_EQ(nelko_core_ipc_initiator_init(nullptr, "x", &handle), kFailed);
}

// Whichever way the directory was chosen, one that another user could place a socket in is
// refused: users other than its owner may enter it, it is a symbolic link, or (set up as root)
// another user owns it.
TEST_F(Directory, ChosenAndDefaultDirectoriesPassTheSameChecks) {
  for (bool chosen : {true, false}) {
    SCOPED_TRACE(chosen ? "NELKO_IPC_DIR" : "default");
    std::string const directory = directory_ + (chosen ? "/chosen" : "/nelko-ipc");
    std::string const elsewhere = directory_ + "/elsewhere";
    ScopedEnv dir("NELKO_IPC_DIR", chosen ? directory.c_str() : nullptr);
    ScopedEnv runtime("XDG_RUNTIME_DIR", directory_.c_str());
    std::function<void()> const setups[] = {
        [&] { ::mkdir(directory.c_str(), 0700), ::chmod(directory.c_str(), 0750); },
        [&] { ::mkdir(elsewhere.c_str(), 0700), ::symlink(elsewhere.c_str(), directory.c_str()); },
        [&] { ::mkdir(directory.c_str(), 0700), ::chown(directory.c_str(), 65534, 65534); },
    };
    for (std::size_t i = 0; i < (::geteuid() == 0 ? 3 : 2); ++i) {
      SCOPED_TRACE(i);
      ::rmdir(directory.c_str());
      ::unlink(directory.c_str());
      setups[i]();
      CapturedStderr quiet;
      void* handle = nullptr;
      EXPECT_EQ(nelko_core_ipc_initiator_init(nullptr, "x", &handle), kFailed);
      EXPECT_EQ(nelko_core_ipc_target_init(nullptr, "t", "i", nullptr, &handle), kFailed);
    }
  }
}

// ---- Peer credentials (another user, run through setpriv) -----------------------------------

using PeerCredentials = FaultTest;

// A target serves its own user and closes on another; in group-shared mode it serves members by
// their primary or a supplementary group and closes on others. The directory and the socket are
// opened to everyone, as a careless setup could leave them, so that only the credential check
// stands in the way. A client likewise sends no command to another user's target that got hold
// of a name, but uses a group member's.
TEST_F(PeerCredentials, TargetsAndInitiatorsDealOnlyWithTheirUserRootOrTheGroup) {
  NEEDS_FOREIGN_USER(user);
  std::string const group_id = std::to_string(user->pw_gid);
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "group-shared" : "private");
    std::optional<ScopedEnv> group;
    if (shared) {
      group.emplace("NELKO_IPC_GROUP", group_id.c_str());
      ::chown(directory_.c_str(), 0, user->pw_gid);
      ::chmod(directory_.c_str(), 02770);
    }
    {
      Channel target = answering_target();
      std::string const ask = "ask " + path_of("camera");
      if (shared) {
        EXPECT_EQ(asked(as_user(*user, 65534, ask, group_id)), "answered");
        ::chmod(directory_.c_str(), 02771);
      } else {
        EXPECT_EQ(asked(FOREIGN_PEER " " + ask), "answered");
        ::chmod(directory_.c_str(), 0711);
      }
      ::chmod(path_of("camera").c_str(), 0666);
      CapturedStderr quiet;
      EXPECT_EQ(asked(as_user(*user, user->pw_gid, ask)), shared ? "answered" : "closed");
      std::string const outsider = shared ? asked(as_user(*user, 65534, ask)) : "closed";
      EXPECT_EQ(outsider, "closed");
    }
    ::chmod(directory_.c_str(), shared ? 02770 : 0700);
    handle_ = open_handle();
    if (!shared) ::chmod(directory_.c_str(), 01777);
    FILE* impostor =
        ::popen(as_user(*user, user->pw_gid, "serve " + directory_ + " camera").c_str(), "r");
    char ready[16] = "";
    ASSERT_TRUE(impostor && std::fgets(ready, sizeof ready, impostor));
    CapturedStderr quiet;
    unsigned int num = 0;
    nelko_core_status status = num_roi("camera", 2000, num);
    ::pclose(impostor);
    EXPECT_EQ(status, shared ? kOk : kFailed);
    EXPECT_EQ(num, shared ? 666u : 0u);
    nelko_api_stream_layout_initiator_deinit(handle_);
    handle_ = nullptr;
  }
}

// ---- Names and reply addresses -------------------------------------------------------------

using Names = FaultTest;

// C code sees a name cut at a NUL, so "x#1\0" would make the reply address "x#1", another
// connection's; names with NUL, '#', '/', other control bytes, empty or overlong names close the
// connection, and an initiator cannot be opened with one.
TEST_F(Names, NoNameOrReplyAddressCanPassForAnotherConnections) {
  Channel target = open_target("camera");
  CapturedStderr quiet;
  for (std::string const& name : {std::string("x#1\0", 4), std::string("x#1"), std::string(),
                                  std::string("a/b"), std::string("a\tb"), std::string(256, 'n')}) {
    SCOPED_TRACE(name.size());
    int peer = greeted(path_of("camera"), name);
    EXPECT_EQ(outcome(peer), "closed");
    ::close(peer);
  }
  std::string const longest(255, 'n');
  int peer = greeted(path_of("camera"), longest);
  send_command(peer, "u");
  EXPECT_EQ(pull_command(target.get(), 2000).texts[0].rfind(longest + "#", 0), 0u);
  ::close(peer);
  void* handle = nullptr;
  EXPECT_EQ(nelko_core_ipc_initiator_init(nullptr, "x#1", &handle),
            NELKO_CORE_STATUS_INVALID_PARAMS);

  // A reply address is taken only whole, exactly as handed out: another connection's number under
  // this name, this number under another name, or a second hello cannot redirect answers.
  int victim = greeted(path_of("camera"), "victim");
  send_command(victim, "v");
  std::string const victim_address = pull_command(target.get(), 2000).texts[0];
  int attacker = greeted(path_of("camera"), "attacker");
  send_all(attacker, wire_frame(1, {"victim"}));
  send_command(attacker, "a");
  std::string const attacker_address = pull_command(target.get(), 2000).texts[0];
  ASSERT_EQ(attacker_address.rfind("attacker#", 0), 0u) << "a second hello renamed it";
  std::string const victim_number = victim_address.substr(victim_address.rfind('#'));
  std::string const attacker_number = attacker_address.substr(attacker_address.rfind('#'));
  std::vector<std::string> const forgeries = {
      "attacker" + victim_number,           victim_number,
      "victim#0" + victim_number.substr(1), victim_address + " ",
      "victim" + attacker_number,           victim_address + attacker_number};
  for (std::string const& forged : forgeries) {
    EXPECT_EQ(nelko_core_ipc_target_response_send(target.get(), forged.c_str(), "x", "{}"), kFailed)
        << forged;
  }
  // The same from the command callback, where answers are sent on the channel's own thread.
  struct Forger {
    void* target;
    std::vector<std::string> const& forgeries;
    std::atomic<int> refused{0};
  } forger{target.get(), forgeries};
  nelko_core_ipc_target_command_receive_callback(
      target.get(),
      [](char**, char**, char**, void* user) {
        auto& forger = *static_cast<Forger*>(user);
        for (std::string const& forged : forger.forgeries) {
          bool const refused = nelko_core_ipc_target_response_send(forger.target, forged.c_str(),
                                                                   "x", "{}") == kFailed;
          forger.refused += refused ? 1 : 0;
        }
      },
      &forger);
  send_command(attacker, "b");
  EXPECT_TRUE(
      eventually([&] { return forger.refused.load() == static_cast<int>(forgeries.size()); }));
  nelko_core_ipc_target_command_receive_callback(target.get(), nullptr, &forger);
  EXPECT_EQ(outcome(attacker, 200), "silent");
  EXPECT_EQ(outcome(victim, 0), "silent");
  EXPECT_EQ(nelko_core_ipc_target_response_send(target.get(), victim_address.c_str(), "v", "{}"),
            kOk);
  EXPECT_EQ(outcome(victim), "answered");
  ::close(victim);
  ::close(attacker);
}

// ---- Log lines -----------------------------------------------------------------------------

using LogHygiene = FaultTest;

// A cause that repeats is logged once per episode, and its count when the episode ends: a peer
// that never reads what it subscribed to, and peers that reconnect with a broken frame.
TEST_F(LogHygiene, RepeatedCausesAreLoggedOncePerEpisodeWithACount) {
  Channel target = open_target("camera");
  CapturedStderr captured;
  int sleepy = greeted(path_of("camera"), "sleepy");
  send_all(sleepy, wire_frame(4, {}));
  send_command(sleepy, "after the subscription");
  ASSERT_EQ(pull_command(target.get(), 2000).status, kOk);
  std::string const payload(64 * 1024, 'e');
  int refused = 0;
  for (int i = 0; i < 2000; ++i) {
    refused += nelko_core_ipc_target_event_send(target.get(), payload.c_str()) != kOk;
  }
  EXPECT_GT(refused, 1000);
  ::close(sleepy);
  std::string const summary = std::to_string(refused) + " frames were refused";
  EXPECT_TRUE(eventually([&] { return captured.text().find(summary) != std::string::npos; }))
      << captured.text();
  EXPECT_EQ(occurrences(captured.text(), "frame refused"), 1u) << captured.text();

  for (int i = 0; i < 20; ++i) {
    int peer = connect_to(path_of("camera"));
    send_all(peer, wire_frame(99, {"x"}));
    EXPECT_EQ(outcome(peer), "closed");
    ::close(peer);
  }
  EXPECT_EQ(occurrences(captured.text(), "(malformed frame)"), 1u) << captured.text();
  target.reset();  // ends the run
  EXPECT_NE(captured.text().find("19 more like this: "), std::string::npos) << captured.text();
  EXPECT_EQ(captured.text().find(": 0 more like this"), std::string::npos)
      << "nor a cause seen once";
}

// ---- Bounds --------------------------------------------------------------------------------

using Bounds = FaultTest;

// Connections beyond the limit are closed at once; those already open are served on, and a
// place that frees up is taken again.
TEST_F(Bounds, ConnectionsBeyondTheLimitAreRefusedWhileTheOthersAreServed) {
  Channel target = answering_target();
  CapturedStderr quiet;
  std::vector<int> peers;
  for (int i = 0; i < 128; ++i) peers.push_back(greeted(path_of("camera"), "p"));
  int extra = greeted(path_of("camera"), "extra");
  EXPECT_EQ(outcome(extra), "closed");
  ::close(extra);
  for (int peer : {peers.front(), peers.back()}) {
    send_command(peer, "u");
    EXPECT_EQ(outcome(peer), "answered");
  }
  ::close(peers[5]);
  EXPECT_TRUE(eventually([&] {
    int again = greeted(path_of("camera"), "again");
    send_command(again, "again");
    bool served = outcome(again, 500) == "answered";
    ::close(again);
    return served;
  }));
  for (int peer : peers) ::close(peer);
}

// 80 peers that each send 900 KiB of a 1 MiB frame and stop would make the target hold 80 MiB; it
// holds what its budget allows, closes the peers beyond it, serves a good client all the while,
// and closes the rest once their frames are 5 s overdue.
TEST_F(Bounds, HalfSentFramesAreBoundedInTotalAndTimedOut) {
  Channel target = answering_target();
  CapturedStderr quiet;
  std::string const partial = std::string("\x00\x10\x00\x00\x02", 5) + std::string(900 * 1024, 'x');
  std::vector<int> peers;
  Clock::time_point const first_sent = Clock::now();
  // One more that keeps sending a byte of its frame every millisecond: overdue all the same.
  int trickling = greeted(path_of("camera"), "trickling");
  send_all(trickling, partial.substr(0, 5));
  for (int i = 0; i < 80; ++i) {
    peers.push_back(greeted(path_of("camera"), "slow"));
    send_all(peers.back(), partial);
  }
  Clock::time_point const last_sent = Clock::now();
  int good = greeted(path_of("camera"), "good");
  send_command(good, "g");
  EXPECT_EQ(outcome(good), "answered");
  // Each held frame takes a 1 MiB buffer: the budget of 32 MiB holds about 32 of them.
  auto closed = [&] {
    int count = 0;
    for (int peer : peers) count += outcome(peer, 0) == "closed";
    return count;
  };
  int const closed_at_once = closed();
  EXPECT_GE(closed_at_once, 40);
  EXPECT_LE(closed_at_once, 56);
  EXPECT_TRUE(eventually(
      [&] { return ::send(trickling, "x", 1, MSG_NOSIGNAL) < 0 && closed() == 80; }, 10000))
      << "a frame that grows a byte at a time must still be complete within 5 s";
  EXPECT_GE(ms_since(first_sent), 5000);
  EXPECT_LE(ms_since(last_sent), 6000 + kSlackMs);
  EXPECT_EQ(outcome(good, 0), "silent") << "a connection without a half-sent frame was closed";
  for (int peer : peers) ::close(peer);
  ::close(trickling);
  ::close(good);
}

// A target that pulls its commands keeps at most 16 MiB of them: of 40 commands of 1000 KiB only
// the newest wait, and the oldest are dropped. A text is kept only up to a NUL, where C code ends
// it anyway, so a large block behind one takes no room.
TEST_F(Bounds, CommandsWaitingToBePulledAreBoundedInBytes) {
  Channel target = open_target("camera");
  CapturedStderr quiet;
  int peer = greeted(path_of("camera"), "flood");
  std::string const big(1000 * 1024, 'c');
  // Sends 40 commands with payloads `payload` and returns the identifiers pulled afterwards.
  auto flood = [&](std::string const& payload) {
    for (int i = 0; i < 40; ++i) send_command(peer, std::to_string(i), payload);
    // Everything sent was read once the socket's send queue is empty.
    EXPECT_TRUE(eventually([peer] {
      int unread = -1;
      return ::ioctl(peer, SIOCOUTQ, &unread) == 0 && unread == 0;
    }));
    std::this_thread::sleep_for(milliseconds(100));
    std::vector<std::string> uuids;
    for (Pulled pulled; (pulled = pull_command(target.get(), 0)).status == kOk;) {
      uuids.push_back(pulled.texts[1]);
    }
    return uuids;
  };
  std::vector<std::string> const kept = flood(big);
  ASSERT_EQ(kept.size(), 16u);  // 16 x 1000 KiB and their small texts fit in 16 MiB, 17 do not
  EXPECT_EQ(kept.front(), "24");
  EXPECT_EQ(flood(std::string("x\0", 2) + big).size(), 40u) << "blocks behind a NUL are kept";
  ::close(peer);
}

// Answers that wait for a peer that reads late are drawn from the target's budget only until
// they are sent: twelve rounds of 3.6 MiB of answers, each read only once all are queued, pass
// more than the whole budget (32 MiB) through one connection, and every answer arrives.
TEST_F(Bounds, AnswersQueuedForALateReaderGiveTheirBytesBackOnceSent) {
  Channel target = open_target("camera");
  nelko_core_ipc_target_command_receive_callback(
      target.get(),
      [](char** reply_to, char** uuid, char** payload, void* handle) {
        nelko_core_ipc_target_response_send(handle, *reply_to, *uuid, *payload);
      },
      target.get());
  int peer = greeted(path_of("camera"), "late");
  std::string const big(900 * 1024, 'a');
  for (int round = 0; round < 12; ++round) {
    for (int i = 0; i < 4; ++i) send_command(peer, std::to_string(i), big);
    std::this_thread::sleep_for(milliseconds(100));  // the answers wait in the target
    std::size_t received = 0;
    char bytes[65536];
    for (pollfd polled{peer, POLLIN, 0};
         received < 4 * big.size() && ::poll(&polled, 1, 2000) > 0;) {
      ssize_t const got = ::recv(peer, bytes, sizeof bytes, 0);
      if (got <= 0) break;
      received += static_cast<std::size_t>(got);
    }
    ASSERT_GE(received, 4 * big.size()) << "round " << round;
  }
  ::close(peer);
}

// ---- Request identifiers -------------------------------------------------------------------

using Identifiers = FaultTest;

// Identifiers as a non-blocking send hands them out (nothing listens: the send fails, the
// identifier is handed out all the same).
std::vector<std::string> identifiers(void* handle, int count) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    void* uuid = nullptr;
    nelko_api_stream_layout_get_num_roi_non_blocking_send(handle, "nobody", &uuid);
    out.emplace_back(static_cast<char const*>(uuid));
    nelko_api_stream_layout_free_uuid(uuid);
  }
  return out;
}

// Handles made at the same moment on several threads, identifiers drawn on threads at once (two
// threads each on the first handles): all are version 4, none repeats, and consecutive ones share
// no prefix to speak of.
TEST_F(Identifiers, AreRandomAndNotSharedBetweenHandles) {
  void* channel = nullptr;
  ASSERT_EQ(nelko_core_ipc_initiator_init(nullptr, "client", &channel), kOk);
  CapturedStderr quiet;
  constexpr int kHandles = 8, kThreads = kHandles + 3;
  std::vector<void*> handles(kHandles, nullptr);
  std::vector<std::vector<std::string>> drawn(kThreads);
  std::atomic<int> ready{0}, made{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (++ready; ready.load() < kThreads;) {
      }
      if (i < kHandles)
        nelko_api_stream_layout_initiator_init(channel, nullptr, &handles[i], 0, "a");
      for (++made; made.load() < kThreads;) {
      }
      if (handles[i % kHandles] != nullptr) drawn[i] = identifiers(handles[i % kHandles], 200);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::regex const version4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> all;
  int same_start = 0;
  for (auto const& row : drawn) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      EXPECT_TRUE(std::regex_match(row[i], version4)) << row[i];
      all.insert(row[i]);
      same_start += i > 0 && row[i].compare(0, 4, row[i - 1], 0, 4) == 0;
    }
  }
  EXPECT_EQ(all.size(), drawn.size() * 200) << "a generator is shared, seeded alike or raced";
  EXPECT_LE(same_start, 4);
  for (void* handle : handles) nelko_api_stream_layout_initiator_deinit(handle);
  nelko_core_ipc_deinit(channel);
}

}  // namespace
}  // namespace fault
