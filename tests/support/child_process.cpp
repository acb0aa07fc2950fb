#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace nelko {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> argv_of(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

// Starts `command` with its standard streams on the given files.
pid_t spawn(std::vector<std::string> command, std::string const& in, std::string const& out,
            std::string const& err) {
  std::vector<char*> argv = argv_of(command);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    throw std::runtime_error("cannot start " + command.at(0) + ": " + std::strerror(failed));
  }
  return pid;
}

// Waits for the child until `deadline`, then kills it; the exit status, -1 for a signal.
int wait_until(pid_t pid, Clock::time_point deadline) {
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::vector<std::string> built_program(std::string const& program) {
  std::vector<std::string> command;
#ifdef NELKO_TEST_EMULATOR
  // The emulator's words, separated by '|'.
  std::string const emulator = NELKO_TEST_EMULATOR;
  for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
    end = emulator.find('|', start);
    if (end != start) command.push_back(emulator.substr(start, end - start));
  }
#endif
  command.push_back(program);
  return command;
}

std::string target_program() {
  return NELKO_TEST_TARGET_PROGRAM;
}

RunResult run(std::vector<std::string> const& command, std::string const& ipc_dir,
              std::string const& input, std::chrono::milliseconds limit) {
  ScratchDirectory files("nelko-run");
  std::string const in = files.write("in", input);
  ::setenv("NELKO_IPC_DIR", ipc_dir.c_str(), 1);  // the child inherits this process's environment
  Clock::time_point const start = Clock::now();
  pid_t const pid = spawn(command, in, files.file("out"), files.file("err"));
  RunResult result;
  result.exit_status = wait_until(pid, start + limit);
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  result.out = read_file(files.file("out"));
  result.err = read_file(files.file("err"));
  return result;
}

TargetProcess::TargetProcess(std::vector<std::string> options, std::string const& program)
    : command_(built_program(program)), ipc_dir_("nelko-test") {
  command_.insert(command_.end(), options.begin(), options.end());
  ::setenv("NELKO_IPC_DIR", ipc_dir_.path().c_str(), 1);
  start();
}

TargetProcess::~TargetProcess() {
  stop();
}

void TargetProcess::start() {
  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> words = command_;
  std::vector<char*> argv = argv_of(words);
  pid_t const parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // A target must not outlive the process that started it, should that one crash.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string seen;
  char buffer[256];
  pollfd waiting{out[0], POLLIN, 0};
  while (seen.find("ready\n") == std::string::npos && ::poll(&waiting, 1, 10000) > 0) {
    ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  if (seen.find("ready\n") == std::string::npos) {
    stop();
    throw std::runtime_error("stream-layout-target did not become ready: " + seen);
  }
}

int TargetProcess::stop(int signo) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGCONT);
  ::kill(pid_, signo);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void TargetProcess::restart() {
  stop();
  start();
}

}  // namespace test
}  // namespace nelko
