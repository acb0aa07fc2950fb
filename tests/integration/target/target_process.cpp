#include "target_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace target_test {
namespace {

constexpr int kReadyTimeoutMs = 5000;

struct Child {
  pid_t pid;
  int output;  // read end of the pipe on the child's standard output
};

// fork and exec rather than posix_spawn: the child must die with the test (PR_SET_PDEATHSIG)
// so that a crashing test leaves no target behind.
Child spawn(std::vector<std::string> const& arguments, bool merge_stderr) {
  std::vector<std::string> words{STREAM_LAYOUT_TARGET_PATH};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t const parent = getpid();
  pid_t const pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(pipe_ends[1], STDOUT_FILENO);
    if (merge_stderr) dup2(pipe_ends[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipe_ends[1]);
  return {pid, pipe_ends[0]};
}

// Waits for the child's end for up to timeout_ms; its exit status, or -1.
int wait_for_exit(pid_t pid, int timeout_ms) {
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t const done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0 || std::chrono::steady_clock::now() > deadline) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

TargetProcess::TargetProcess(std::vector<std::string> const& arguments) {
  Child const child = spawn(arguments, false);
  pid_ = child.pid;
  stdout_ = child.output;
  std::string seen;
  auto const deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyTimeoutMs);
  while (seen.find("ready\n") == std::string::npos) {
    auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{stdout_, POLLIN, 0};
    char buffer[256];
    ssize_t got = 0;
    if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0 ||
        (got = read(stdout_, buffer, sizeof buffer)) <= 0) {
      stop_with(SIGKILL, 1000);
      close(stdout_);
      throw std::runtime_error("the target did not report ready; it printed: " + seen);
    }
    seen.append(buffer, static_cast<std::size_t>(got));
  }
}

TargetProcess::~TargetProcess() {
  if (pid_ > 0) stop_with(SIGKILL, 5000);
  close(stdout_);
}

int TargetProcess::stop_with(int signal, int timeout_ms) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = wait_for_exit(pid_, timeout_ms);
  if (status == -2) {
    kill(pid_, SIGKILL);
    wait_for_exit(pid_, 5000);
    status = -1;
  }
  pid_ = -1;
  return status;
}

Finished run_target(std::vector<std::string> const& arguments) {
  Child const child = spawn(arguments, true);
  Finished finished{-1, {}};
  char buffer[4096];
  ssize_t got;
  while ((got = read(child.output, buffer, sizeof buffer)) > 0) {
    finished.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(child.output);
  finished.status = wait_for_exit(child.pid, 5000);
  return finished;
}

std::string unique_target_name() {
  static std::atomic<unsigned int> counter{0};
  return "stream_layout_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

}  // namespace target_test
