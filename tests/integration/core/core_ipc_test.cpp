#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
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
  // Returns the exit status, or -1 when killed by a signal.
  int stop(int number) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGCONT);
    ::kill(pid_, number);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

struct Answers {
  std::mutex mutex;
  std::vector<std::string> payloads;
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return payloads.size();
  }
};

void collect(char**, char**, char** uuid, char** payload, void* user) {
  auto* answers = static_cast<Answers*>(user);
  std::lock_guard<std::mutex> lock(answers->mutex);
  answers->payloads.push_back(std::string(*uuid) + "=" + *payload);
}

TEST_F(CoreIpc, CommandsFromSeveralThreadsAreAllAnswered) {
  EchoTarget target("echo");
  ASSERT_TRUE(target.ready());
  Answers answers;
  nelko_core_ipc_initiator_response_receive_callback(ipc_, collect, &answers);
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([this, t] {
      for (int i = 0; i < 250; ++i) {
        std::string id = std::to_string(t) + "." + std::to_string(i);
        EXPECT_EQ(send(id.c_str(), id), NELKO_CORE_STATUS_NO_ERROR);
      }
    });
  }
  for (auto& sender : senders) sender.join();
  auto end = Clock::now() + std::chrono::seconds(10);
  while (answers.count() < 1000 && Clock::now() < end) std::this_thread::sleep_for(milliseconds(5));
  nelko_core_ipc_initiator_response_receive_callback(ipc_, nullptr, &answers);
  ASSERT_EQ(answers.payloads.size(), 1000u);
  for (std::string const& answer : answers.payloads) {
    auto equals = answer.find('=');
    EXPECT_EQ("re:" + answer.substr(0, equals), answer.substr(equals + 1));
  }
  EXPECT_EQ(target.stop(SIGTERM), 0);
}

TEST_F(CoreIpc, KilledTargetFailsSendsAndARestartedOneIsReached) {
  {
    EchoTarget target("echo");
    ASSERT_TRUE(target.ready());
    ASSERT_EQ(send("1", "a"), NELKO_CORE_STATUS_NO_ERROR);
    EXPECT_EQ(pull("1"), "re:a");
    target.stop(SIGKILL);  // leaves its socket file behind
  }
  auto start = Clock::now();
  EXPECT_EQ(send("2", "b"), NELKO_CORE_STATUS_IPC_FAILED);
  EXPECT_LT(Clock::now() - start, milliseconds(200));

  EchoTarget restarted("echo");
  ASSERT_TRUE(restarted.ready());
  ASSERT_EQ(send("3", "c"), NELKO_CORE_STATUS_NO_ERROR);
  EXPECT_EQ(pull("3"), "re:c");
}

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
