#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "nelko_core.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// core_echo_target in a child process, started and waited for.
class EchoTarget {
 public:
  explicit EchoTarget(char const* name) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    std::vector<std::string> words = command(name);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(ready[1], STDOUT_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(ready[1]);
    char line[16] = {};
    ready_ = ::read(ready[0], line, sizeof line - 1) > 0 && std::string(line) == "ready\n";
    ::close(ready[0]);
  }
  ~EchoTarget() { stop(SIGTERM); }
  bool ready() const { return ready_; }
  static std::vector<std::string> command(char const* name) {
    std::vector<std::string> words;
#ifdef CORE_ECHO_TARGET_EMULATOR
    std::string emulator = CORE_ECHO_TARGET_EMULATOR;
    for (std::size_t start = 0, end; start <= emulator.size(); start = end + 1) {
      end = emulator.find('|', start);
      if (end == std::string::npos) end = emulator.size();
      words.push_back(emulator.substr(start, end - start));
    }
#endif
    words.push_back(CORE_ECHO_TARGET_PATH);
    words.push_back(name);
    return words;
  }
  void signal(int number) {
    ::kill(pid_, number);
  }
  void stop(int number) {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);
    ::kill(pid_, number);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

class CoreIpc : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/nelko-core-it-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    directory_ = name;
    ::setenv("NELKO_IPC_DIR", directory_.c_str(), 1);
    ASSERT_EQ(nelko_core_ipc_initiator_init(nullptr, "it", &ipc_), NELKO_CORE_STATUS_NO_ERROR);
  }
  void TearDown() override {
    nelko_core_ipc_deinit(ipc_);
    ::unsetenv("NELKO_IPC_DIR");
    std::filesystem::remove_all(directory_);
  }
  nelko_core_status send(char const* uuid, std::string const& payload) {
    return nelko_core_ipc_initiator_command_send(ipc_, "echo", "stream_layout", uuid,
                                                 payload.c_str());
  }
  // The payload of the next pulled response, after checking that it answers `uuid`.
  std::string pull(char const* uuid, int timeout_ms = 5000) {
    char *first = nullptr, *interface = nullptr, *id = nullptr, *payload = nullptr;
    nelko_core_status status = nelko_core_ipc_initiator_response_receive(ipc_, timeout_ms, &first,
                                                                         &interface, &id, &payload);
    std::string result = status == NELKO_CORE_STATUS_NO_ERROR ? std::string(payload) : "";
    if (status == NELKO_CORE_STATUS_NO_ERROR) {
      EXPECT_STREQ(first, "echo");
      EXPECT_STREQ(id, uuid);
    }
    for (char* text : {first, interface, id, payload}) std::free(text);
    return result;
  }

  std::string directory_;
  void* ipc_ = nullptr;
};

TEST_F(CoreIpc, StoppedTargetNeitherBlocksNorLosesAcceptedCommands) {
  EchoTarget target("echo");
  ASSERT_TRUE(target.ready());
  ASSERT_EQ(send("warm", "up"), NELKO_CORE_STATUS_NO_ERROR);
  EXPECT_EQ(pull("warm"), "re:up");
  target.signal(SIGSTOP);
  std::string payload(256 * 1024, 'p');
  int accepted = 0;
  for (int i = 0; i < 100; ++i) {
    auto start = Clock::now();
    nelko_core_status status = send(std::to_string(i).c_str(), payload);
    ASSERT_LT(Clock::now() - start, milliseconds(500)) << "send " << i << " blocked";
    if (status != NELKO_CORE_STATUS_NO_ERROR) break;
    ++accepted;
  }
  EXPECT_LT(accepted, 100) << "the outgoing queue has no limit";
  target.signal(SIGCONT);
  for (int i = 0; i < accepted; ++i) {
    ASSERT_EQ(pull(std::to_string(i).c_str()), "re:" + payload) << i;
  }
}

}  // namespace
