// What another local user or a hostile peer could try, grouped by area: the socket directory,
// the credentials of the process at the other end, names and reply addresses, log lines, and
// what a peer can make a process hold. The multi-user cases run a peer as another user through
// setpriv and need root; elsewhere they are skipped.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fault_fixture.h"
#include "hostile_target.h"

extern char** environ;

namespace fault {
namespace {

using core_test::Channel;
using core_test::connect_raw;
using core_test::frame;
using core_test::pull_command;
using core_test::Pulled;
using std::chrono::milliseconds;
constexpr auto kOk = NELKO_CORE_STATUS_NO_ERROR;
constexpr auto kFailed = NELKO_CORE_STATUS_IPC_FAILED;

mode_t mode_of(std::string const& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 07777;
  return info.st_mode & 07777;
}

gid_t group_of(std::string const& path) {
  struct stat info {};
  ::lstat(path.c_str(), &info);
  return info.st_gid;
}

std::size_t count_of(std::string const& text, std::string const& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// An environment variable set (or, with nullptr, unset) for the scope.
class ScopedEnv {
 public:
  ScopedEnv(char const* name, char const* value) : name_(name) {
    if (char const* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(ScopedEnv const&) = delete;
  ScopedEnv& operator=(ScopedEnv const&) = delete;

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
  ssize_t got = ::recv(descriptor, bytes, sizeof bytes, MSG_DONTWAIT);
  return got > 0 ? "answered" : "closed";
}

// A raw initiator connection to the target `name` that has said hello as `hello`.
int greeted(std::string const& path, std::string const& hello) {
  int peer = connect_raw(path);
  std::string bytes = frame(1, {hello});
  ::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  return peer;
}

std::string const kGetNumRoi = "{\"command\":\"Get_num_roi\"}";

void send_command(int peer, std::string const& uuid) {
  std::string bytes = frame(2, {"stream_layout", uuid, kGetNumRoi});
  ::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// A target's callback that answers every command.
void answer(char** reply_to, char** uuid, char**, void* target) {
  nelko_core_ipc_target_response_send(target, *reply_to, *uuid, "{\"status\":0,\"num\":1}");
}

Channel answering_target(void*& raw) {
  void* handle = nullptr;
  EXPECT_EQ(nelko_core_ipc_target_init(nullptr, "camera", "stream_layout", "1", &handle), kOk);
  nelko_core_ipc_target_command_receive_callback(handle, answer, handle);
  raw = handle;
  return Channel(handle);
}

// ---- Another user --------------------------------------------------------------------------

struct ForeignUser {
  uid_t uid;
  gid_t gid;
  std::string id() const { return std::to_string(uid); }
  std::string group() const { return std::to_string(gid); }
};

constexpr char const* kSetpriv = "/usr/bin/setpriv";

// The user the multi-user cases run peers as, made when missing (tests run in parallel: another
// process may be making it at the same moment). Empty unless this process is root and setpriv is
// there; always empty in a cross build, whose helper would have to run through the emulator too.
std::optional<ForeignUser> foreign_user() {
#ifdef CROSS_BUILD
  return std::nullopt;
#else
  if (::geteuid() != 0 || ::access(kSetpriv, X_OK) != 0) return std::nullopt;
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (passwd const* entry = ::getpwnam("nelkotest"))
      return ForeignUser{entry->pw_uid, entry->pw_gid};
    if (std::system("useradd --system --no-create-home --shell /usr/sbin/nologin nelkotest "
                    ">/dev/null 2>&1") != 0) {
      std::this_thread::sleep_for(milliseconds(100));
    }
  }
  return std::nullopt;
#endif
}

#define NEEDS_FOREIGN_USER(user)                          \
  std::optional<ForeignUser> const user = foreign_user(); \
  if (!user) GTEST_SKIP() << "a peer as another user needs root, setpriv, useradd, a native build"

// setpriv options that make the peer run as `user` with `gid` as its only group.
std::vector<std::string> as_user(ForeignUser const& user, gid_t gid) {
  return {"--reuid=" + user.id(), "--regid=" + std::to_string(gid), "--clear-groups"};
}

// foreign_peer, run through setpriv with `user_options` (as this user when empty), its standard
// input and output piped to the test.
class ForeignPeer {
 public:
  ForeignPeer(std::vector<std::string> const& user_options, std::vector<std::string> const& args) {
    std::vector<std::string> command;
    if (!user_options.empty()) {
      command = {kSetpriv};
      command.insert(command.end(), user_options.begin(), user_options.end());
      command.push_back("--");
    }
    command.push_back(FOREIGN_PEER);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& text : command) argv.push_back(text.data());
    argv.push_back(nullptr);
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
    if (failed != 0) throw std::runtime_error("cannot start " + command[0]);
  }
  ~ForeignPeer() { finish(); }

  // The next line of its output ("" when none comes within 10 s).
  std::string line() {
    std::string text;
    for (char c; text.empty() || text.back() != '\n';) {
      pollfd polled{out_, POLLIN, 0};
      if (::poll(&polled, 1, 10000) <= 0 || ::read(out_, &c, 1) != 1) return text;
      text.push_back(c);
    }
    text.pop_back();
    return text;
  }
  // Closes its input and returns the rest of its output once it ended.
  std::string finish() {
    if (pid_ <= 0) return {};
    ::close(in_);
    std::string rest;
    for (std::string next; !(next = line()).empty();) rest += next;
    ::close(out_);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return rest;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
};

// ---- Directory -----------------------------------------------------------------------------

using Directory = FaultTest;

TEST_F(Directory, SocketDirectoriesAndSocketsAreTheOwnersOnlyWhateverTheUmask) {
  mode_t const old_mask = ::umask(0);
  // A directory named by NELKO_IPC_DIR that does not exist yet.
  std::string const chosen = directory_ + "/chosen";
  ::setenv("NELKO_IPC_DIR", chosen.c_str(), 1);
  void* target = nullptr;
  ASSERT_EQ(nelko_core_ipc_target_init(nullptr, "stream_layout", "stream_layout", "0.9", &target),
            kOk);
  EXPECT_EQ(mode_of(chosen), 0700u);
  EXPECT_EQ(mode_of(chosen + "/stream_layout"), 0600u);
  nelko_core_ipc_deinit(target);

  // The default directory, made by a handle that opens its own channel.
  ::unsetenv("NELKO_IPC_DIR");
  ::setenv("XDG_RUNTIME_DIR", directory_.c_str(), 1);
  void* handle = nullptr;
  ASSERT_EQ(nelko_api_stream_layout_initiator_init(nullptr, nullptr, &handle, 0, "me"), kOk);
  EXPECT_EQ(mode_of(directory_ + "/nelko-ipc"), 0700u);
  nelko_api_stream_layout_initiator_deinit(handle);
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("NELKO_IPC_DIR", directory_.c_str(), 1);
  ::umask(old_mask);
}

// A target that answers with a frame header claiming `length` bytes, then a little of them, and
// keeps the connection open: the initiator must drop it without reserving the claimed size.
// Whichever way the directory was chosen, one that another user could place a socket in is
// refused: others may enter it, it is a symbolic link, or (set up as root) another user owns it.
TEST_F(Directory, ChosenAndDefaultDirectoriesPassTheSameChecks) {
  for (bool chosen : {true, false}) {
    SCOPED_TRACE(chosen ? "NELKO_IPC_DIR" : "default");
    std::string const directory = directory_ + (chosen ? "/chosen" : "/nelko-ipc");
    std::string const elsewhere = directory_ + "/elsewhere";
    ScopedEnv dir("NELKO_IPC_DIR", chosen ? directory.c_str() : nullptr);
    ScopedEnv runtime("XDG_RUNTIME_DIR", directory_.c_str());
    std::function<void()> const setups[] = {
        [&] { ::mkdir(directory.c_str(), 0700), ::chmod(directory.c_str(), 0755); },
        [&] { ::mkdir(elsewhere.c_str(), 0700), ::symlink(elsewhere.c_str(), directory.c_str()); },
        [&] { ::mkdir(directory.c_str(), 0700), ::chown(directory.c_str(), 65534, 65534); },
    };
    for (std::size_t i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      if (i == 2 && ::geteuid() != 0) continue;
      ::rmdir(directory.c_str());
      ::unlink(directory.c_str());
      setups[i]();
      CapturedStderr log;
      void* handle = nullptr;
      EXPECT_EQ(nelko_core_ipc_initiator_init(nullptr, "x", &handle), kFailed);
      EXPECT_EQ(nelko_core_ipc_target_init(nullptr, "t", "i", nullptr, &handle), kFailed);
      EXPECT_EQ(count_of(log.text(), "refusing IPC directory"), 2u) << log.text();
    }
  }
}

// NELKO_IPC_GROUP: the directory is made for the group and its sockets are the group's; one that
// others may enter or the group may not is refused, and so is a group the system does not know.
// (This process's own group serves, which any user may give its files.)
TEST_F(Directory, GroupSharedModeMakesAndChecksAGroupDirectory) {
  std::string const shared = directory_ + "/shared";
  ScopedEnv dir("NELKO_IPC_DIR", shared.c_str());
  ScopedEnv group("NELKO_IPC_GROUP", std::to_string(::getegid()).c_str());
  mode_t const old_mask = ::umask(022);
  {
    Channel target = open_target("camera");
    EXPECT_EQ(mode_of(shared), 02770u);
    EXPECT_EQ(group_of(shared), ::getegid());
    EXPECT_EQ(mode_of(shared + "/camera"), 0660u);
    EXPECT_EQ(group_of(shared + "/camera"), ::getegid());
  }
  ::umask(old_mask);
  CapturedStderr log;
  void* handle = nullptr;
  for (mode_t mode : {02777, 0700}) {
    ::chmod(shared.c_str(), mode);
    EXPECT_EQ(nelko_core_ipc_initiator_init(nullptr, "x", &handle), kFailed) << std::oct << mode;
  }
  ::chmod(shared.c_str(), 02770);
  ScopedEnv unknown("NELKO_IPC_GROUP", "no-such-group-here");
  EXPECT_EQ(nelko_core_ipc_initiator_init(nullptr, "x", &handle), kFailed);
  EXPECT_EQ(count_of(log.text(), "refusing IPC directory"), 2u) << log.text();
  EXPECT_NE(log.text().find("no group 'no-such-group-here'"), std::string::npos);
}

// ---- Peer credentials (another user, run through setpriv) -----------------------------------

using PeerCredentials = FaultTest;

// The directory and the socket are opened to everyone, as a careless setup could leave them: the
// check of the peer's credentials refuses another user on its own.
TEST_F(PeerCredentials, TargetServesItsUserAndRootAndClosesOnAnotherUser) {
  NEEDS_FOREIGN_USER(user);
  void* raw = nullptr;
  Channel target = answering_target(raw);
  ::chmod(directory_.c_str(), 0711);
  ::chmod(path_of("camera").c_str(), 0666);
  CapturedStderr log;
  EXPECT_EQ(ForeignPeer(as_user(*user, user->gid), {"ask", path_of("camera")}).line(), "closed");
  EXPECT_EQ(ForeignPeer({}, {"ask", path_of("camera")}).line(), "answered");
  EXPECT_EQ(count_of(log.text(), "refusing a connection from uid " + user->id() + " "), 1u)
      << log.text();
}

// Group-shared mode admits members by their primary or a supplementary group; a user outside the
// group is refused even when it can reach the socket.
TEST_F(PeerCredentials, GroupSharedTargetAdmitsMembersOfTheGroupOnly) {
  NEEDS_FOREIGN_USER(user);
  ScopedEnv group("NELKO_IPC_GROUP", user->group().c_str());
  ::chown(directory_.c_str(), 0, user->gid);
  ::chmod(directory_.c_str(), 02770);
  void* raw = nullptr;
  Channel target = answering_target(raw);
  std::string const socket = path_of("camera");
  EXPECT_EQ(ForeignPeer(as_user(*user, user->gid), {"ask", socket}).line(), "answered");
  EXPECT_EQ(ForeignPeer({"--reuid=" + user->id(), "--regid=65534", "--groups=" + user->group()},
                        {"ask", socket})
                .line(),
            "answered");
  ::chmod(directory_.c_str(), 02771);
  ::chmod(socket.c_str(), 0666);
  CapturedStderr log;
  EXPECT_EQ(ForeignPeer(as_user(*user, 65534), {"ask", socket}).line(), "closed");
  EXPECT_NE(log.text().find("refusing a connection from uid " + user->id() + " "),
            std::string::npos);
}

// Another user's target that got hold of a name (here the directory was opened to everyone after
// the client checked it) gets no command; in group-shared mode a member's target is used.
TEST_F(PeerCredentials, InitiatorSendsOnlyToTargetsOfItsUserRootOrTheGroup) {
  NEEDS_FOREIGN_USER(user);
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "group-shared" : "private");
    std::optional<ScopedEnv> group;
    if (shared) {
      group.emplace("NELKO_IPC_GROUP", user->group().c_str());
      ::chown(directory_.c_str(), 0, user->gid);
      ::chmod(directory_.c_str(), 02770);
    }
    handle_ = open_handle();
    if (!shared) ::chmod(directory_.c_str(), 01777);
    ForeignPeer impostor(as_user(*user, user->gid), {"serve", directory_, "camera"});
    ASSERT_EQ(impostor.line(), "ready");
    CapturedStderr log;
    unsigned int num = 0;
    nelko_core_status status =
        nelko_api_stream_layout_get_num_roi_send_with_timeout(handle_, "camera", 2000, &num);
    std::string const served = impostor.finish();
    if (shared) {
      EXPECT_EQ(status, kOk);
      EXPECT_EQ(num, 666u);
      EXPECT_EQ(served, "1 commands");
    } else {
      EXPECT_EQ(status, kFailed);
      EXPECT_EQ(num, 0u);
      EXPECT_EQ(served, "0 commands");
      EXPECT_NE(log.text().find("refusing target 'camera': it runs as uid " + user->id() + " "),
                std::string::npos)
          << log.text();
    }
    nelko_api_stream_layout_initiator_deinit(handle_);
    handle_ = nullptr;
  }
}

// ---- Names and reply addresses -------------------------------------------------------------

using Names = FaultTest;

// C code sees a name cut at a NUL, so "x#1\0" would make the reply address "x#1", another
// connection's; names with NUL, '#', '/', other control bytes, empty or overlong names close the
// connection, and an initiator cannot be opened with one.
TEST_F(Names, HelloNamesThatCouldPassForAnotherAddressCloseTheConnection) {
  Channel target = open_target("camera");
  CapturedStderr log;
  for (std::string const& name : {std::string("x#1\0", 4), std::string("x#1"), std::string(),
                                  std::string("a/b"), std::string("a\tb"), std::string(256, 'n')}) {
    SCOPED_TRACE(name.size());
    int peer = greeted(path_of("camera"), name);
    EXPECT_EQ(outcome(peer), "closed");
    ::close(peer);
  }
  EXPECT_EQ(count_of(log.text(), "initiator name"), 1u) << log.text();
  std::string const longest(255, 'n');
  int peer = greeted(path_of("camera"), longest);
  send_command(peer, "u");
  EXPECT_EQ(pull_command(target.get(), 2000).texts[0].rfind(longest + "#", 0), 0u);
  ::close(peer);
  target.reset();  // ends the run of refusals
  EXPECT_NE(log.text().find("5 more like this: "), std::string::npos) << log.text();
  void* handle = nullptr;
  EXPECT_EQ(nelko_core_ipc_initiator_init(nullptr, "x#1", &handle),
            NELKO_CORE_STATUS_INVALID_PARAMS);
}

// A reply address is taken only whole, exactly as handed out: another connection's number under
// this name, this number under another name, or a second hello cannot redirect answers.
TEST_F(Names, AReplyAddressNamesOnlyTheConnectionItWasHandedOutFor) {
  Channel target = open_target("camera");
  int victim = greeted(path_of("camera"), "victim");
  send_command(victim, "v");
  std::string const victim_address = pull_command(target.get(), 2000).texts[0];
  int attacker = greeted(path_of("camera"), "attacker");
  std::string again = frame(1, {"victim"});
  ::send(attacker, again.data(), again.size(), MSG_NOSIGNAL);
  send_command(attacker, "a");
  std::string const attacker_address = pull_command(target.get(), 2000).texts[0];
  ASSERT_EQ(attacker_address.rfind("attacker#", 0), 0u) << "a second hello renamed it";
  std::string const victim_number = victim_address.substr(victim_address.rfind('#'));
  std::string const attacker_number = attacker_address.substr(attacker_address.rfind('#'));
  for (std::string const& forged :
       {"attacker" + victim_number, victim_number, "victim#0" + victim_number.substr(1),
        victim_address + " ", "victim" + attacker_number, victim_address + attacker_number}) {
    EXPECT_EQ(nelko_core_ipc_target_response_send(target.get(), forged.c_str(), "x", "{}"), kFailed)
        << forged;
  }
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

// Every line shows one line of printable text, whatever a message holds.
TEST_F(LogHygiene, ControlBytesAndInvalidUtf8AreEscapedInEveryLine) {
  struct Case {
    std::string text, shown;
  };
  Case const cases[] = {
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e"},
      {"a\nnelko[1]: EMERG: forged", "a\\x0anelko[1]: EMERG: forged"},
      {"\x1b[2J\x1b]0;title\x07\r", "\\x1b[2J\\x1b]0;title\\x07\\x0d"},
      {"\xc2\x9b"
       "31m \x7f",
       "\\xc2\\x9b31m \\x7f"},
      {"back\\slash", "back\\x5cslash"},
      {"\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82",
       "\\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xe2\\x82"},
  };
  void* log = nullptr;
  ASSERT_EQ(nelko_core_logging_init("cam", &log), kOk);
  std::string const prefix = "cam[" + std::to_string(::getpid()) + "]: WARNING: ";
  for (Case const& c : cases) {
    CapturedStderr captured;
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_WARNING, "%s", c.text.c_str());
    EXPECT_EQ(captured.text(), prefix + c.shown + "\n");
  }
  nelko_core_logging_deinit(log);

  // A peer's text in a line of the core.
  Channel target = open_target("camera");
  CapturedStderr captured;
  int peer = greeted(path_of("camera"), "x\nnelko[1]: EMERG: forged\x1b[2J");
  EXPECT_EQ(outcome(peer), "closed");
  ::close(peer);
  target.reset();
  std::string const text = captured.text();
  EXPECT_EQ(count_of(text, "\n"), 1u) << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_NE(text.find("x\\x0anelko[1]: EMERG: forged\\x1b[2J"), std::string::npos) << text;
}

// A cause that repeats is logged once per episode, and its count when the episode ends: a peer
// that never reads what it subscribed to, and peers that reconnect with a broken frame.
TEST_F(LogHygiene, RepeatedCausesAreLoggedOncePerEpisodeWithACount) {
  Channel target = open_target("camera");
  CapturedStderr captured;
  int sleepy = greeted(path_of("camera"), "sleepy");
  std::string subscribe = frame(4, {});
  ::send(sleepy, subscribe.data(), subscribe.size(), MSG_NOSIGNAL);
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
  EXPECT_EQ(count_of(captured.text(), "frame refused"), 1u);

  for (int i = 0; i < 100; ++i) {
    int peer = connect_raw(path_of("camera"));
    std::string broken = frame(99, {"x"});
    ::send(peer, broken.data(), broken.size(), MSG_NOSIGNAL);
    EXPECT_EQ(outcome(peer), "closed");
    ::close(peer);
  }
  EXPECT_EQ(count_of(captured.text(), "(malformed frame)"), 1u);
  target.reset();  // ends the run
  EXPECT_NE(captured.text().find("99 more like this: "), std::string::npos) << captured.text();
  EXPECT_LT(count_of(captured.text(), "\n"), 8u) << captured.text();
}

// ---- Bounds --------------------------------------------------------------------------------

using Bounds = FaultTest;

// Connections beyond the limit are closed at once with a log line; those already open are served
// on, and a place that frees up is taken again.
TEST_F(Bounds, ConnectionsBeyondTheLimitAreRefusedWhileTheOthersAreServed) {
  void* raw = nullptr;
  Channel target = answering_target(raw);
  CapturedStderr log;
  std::vector<int> peers;
  for (int i = 0; i < 128; ++i) peers.push_back(greeted(path_of("camera"), "p"));
  send_command(peers.back(), "last");
  EXPECT_EQ(outcome(peers.back()), "answered");
  int extra = greeted(path_of("camera"), "extra");
  EXPECT_EQ(outcome(extra), "closed");
  ::close(extra);
  send_command(peers.front(), "first");
  EXPECT_EQ(outcome(peers.front()), "answered");
  EXPECT_NE(log.text().find("128 are open, the most it serves"), std::string::npos) << log.text();
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
  void* raw = nullptr;
  Channel target = answering_target(raw);
  CapturedStderr log;
  std::string const partial = std::string("\x00\x10\x00\x00\x02", 5) + std::string(900 * 1024, 'x');
  std::vector<int> peers;
  Clock::time_point const first_sent = Clock::now();
  for (int i = 0; i < 80; ++i) {
    int peer = greeted(path_of("camera"), "slow");
    for (std::size_t sent = 0; sent < partial.size();) {
      ssize_t n = ::send(peer, partial.data() + sent, partial.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;  // closed by the target
      sent += static_cast<std::size_t>(n);
    }
    peers.push_back(peer);
  }
  Clock::time_point const last_sent = Clock::now();
  int good = greeted(path_of("camera"), "good");
  send_command(good, "g");
  EXPECT_EQ(outcome(good), "answered");
  // Each held frame takes a 1 MiB buffer: the budget of 32 MiB holds about 32 of them.
  int closed = 0;
  for (int peer : peers) closed += outcome(peer, 0) == "closed";
  EXPECT_GE(closed, 40);
  EXPECT_LE(closed, 56);
  EXPECT_EQ(count_of(log.text(), "no buffer space"), 1u) << log.text();

  EXPECT_TRUE(eventually(
      [&] {
        for (int peer : peers) {
          if (outcome(peer, 0) != "closed") return false;
        }
        return true;
      },
      10000));
  EXPECT_GE(ms_since(first_sent), 5000);
  EXPECT_LE(ms_since(last_sent), 6000 + kSlackMs);
  EXPECT_EQ(outcome(good, 0), "silent") << "a connection without a half-sent frame was closed";
  for (int peer : peers) ::close(peer);
  ::close(good);
}

// A target that pulls its commands keeps at most 16 MiB of them: of 40 commands of 1000 KiB only
// the newest wait, and the oldest are dropped with one log line. A text is kept only up to a
// NUL, where C code ends it anyway, so a large block behind one takes no room.
TEST_F(Bounds, CommandsWaitingToBePulledAreBoundedInBytes) {
  Channel target = open_target("camera");
  CapturedStderr log;
  int peer = greeted(path_of("camera"), "flood");
  std::string const big(1000 * 1024, 'c');
  // Sends 40 commands with payloads `payload` and returns the identifiers pulled afterwards.
  auto flood = [&](std::string const& payload) {
    for (int i = 0; i < 40; ++i) {
      std::string const bytes = frame(2, {"stream_layout", std::to_string(i), payload});
      for (std::size_t sent = 0; sent < bytes.size();) {
        ssize_t n = ::send(peer, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
    }
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
  EXPECT_EQ(count_of(log.text(), "the oldest was dropped"), 1u) << log.text();

  EXPECT_EQ(flood(std::string("x\0", 2) + big).size(), 40u) << "blocks behind a NUL are kept";
  ::close(peer);
}

TEST_F(Bounds, AFrameHeaderCannotMakeTheInitiatorAllocateBeyondTheCap) {
  for (std::uint32_t claimed : {0x7fffffffu, 0x80000000u, 0xffffffffu, (1u << 20) + 1}) {
    SCOPED_TRACE(claimed);
    std::string header;
    for (int shift = 24; shift >= 0; shift -= 8)
      header.push_back(static_cast<char>(claimed >> shift));
    HostileTarget target(directory_, "claims", [&](Command const&) {
      return std::vector<Reply>{Reply{milliseconds(0), header + std::string(4096, 'x')}};
    });
    void* handle = open_handle();
    CapturedStderr quiet;
    long const before = rss_kib();
    unsigned int num = 0;
    EXPECT_EQ(nelko_api_stream_layout_get_num_roi_send_with_timeout(handle, "claims", 300, &num),
              NELKO_CORE_STATUS_IPC_FAILED);
    EXPECT_TRUE(eventually([&] { return target.hang_ups_seen() == 1; }, 2000))
        << "the connection was kept";
    EXPECT_LT(rss_kib() - before, 16 * 1024);
    nelko_api_stream_layout_initiator_deinit(handle);
  }
}

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

// ---- Request identifiers -------------------------------------------------------------------

using Identifiers = FaultTest;

TEST_F(Identifiers, AreRandomAndNotSharedBetweenHandles) {
  void* channel = nullptr;
  ASSERT_EQ(nelko_core_ipc_initiator_init(nullptr, "client", &channel), kOk);
  CapturedStderr quiet;
  // Handles made at the same moment on two threads, and a row of handles made one after another.
  constexpr int kHandles = 8;
  std::vector<void*> handles(kHandles, nullptr);
  std::atomic<int> ready{0};
  std::thread twin([&] {
    ++ready;
    while (ready.load() < 2) {
    }
    nelko_api_stream_layout_initiator_init(channel, nullptr, &handles[0], 0, "a");
  });
  ++ready;
  while (ready.load() < 2) {
  }
  nelko_api_stream_layout_initiator_init(channel, nullptr, &handles[1], 0, "b");
  twin.join();
  for (int i = 2; i < kHandles; ++i) {
    nelko_api_stream_layout_initiator_init(channel, nullptr, &handles[i], 0, "c");
  }
  for (void* handle : handles) ASSERT_NE(handle, nullptr);
  // Drawn on threads at once, two threads each on the first handles.
  std::vector<std::vector<std::string>> drawn(kHandles + 3);
  std::vector<std::thread> drawers;
  for (int i = 0; i < kHandles + 3; ++i) {
    drawers.emplace_back([&, i] { drawn[i] = identifiers(handles[i % kHandles], 200); });
  }
  for (std::thread& drawer : drawers) drawer.join();
  std::regex const version4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> all;
  std::size_t total = 0;
  for (auto const& row : drawn) {
    for (std::string const& uuid : row) {
      EXPECT_TRUE(std::regex_match(uuid, version4)) << uuid;
      all.insert(uuid);
      ++total;
    }
  }
  EXPECT_EQ(all.size(), total) << "a generator is shared, seeded alike or raced";
  // Consecutive identifiers of one handle share no prefix to speak of.
  std::vector<std::string> row = identifiers(handles[0], 50);
  int same_start = 0;
  for (std::size_t i = 1; i < row.size(); ++i)
    same_start += row[i].compare(0, 4, row[i - 1], 0, 4) == 0;
  EXPECT_LE(same_start, 2);
  for (void* handle : handles) nelko_api_stream_layout_initiator_deinit(handle);
  nelko_core_ipc_deinit(channel);
}

}  // namespace
}  // namespace fault
