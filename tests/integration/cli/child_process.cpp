#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace cli_test {
namespace {

using Clock = std::chrono::steady_clock;

// Starts `command` with its standard streams on the given files.
pid_t Spawn(std::vector<std::string> const& command, std::string const& ipc_dir,
            std::string const& in, std::string const& out, std::string const& err) {
  std::vector<std::string> argv_texts = command;
  std::vector<char*> argv;
  for (std::string& text : argv_texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  setenv("NELKO_IPC_DIR", ipc_dir.c_str(), 1);  // the child inherits this process's environment
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0)
    throw std::runtime_error("cannot start " + command.at(0) + ": " + std::strerror(failed));
  return pid;
}

// Waits for the child until `deadline`, then kills it; the exit status, -1 for a signal.
int Wait(pid_t pid, Clock::time_point deadline) {
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

TempDir::TempDir() {
  char const* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/stream-layout-cli-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(std::string const& name, std::string const& content) const {
  std::string file = path_ + "/" + name;
  std::ofstream(file, std::ios::binary) << content;
  return file;
}

std::string ReadFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> BuiltProgram(std::string const& program) {
  std::vector<std::string> command;
#ifdef CLI_TEST_EMULATOR
  std::string emulator = CLI_TEST_EMULATOR;
  for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
    end = emulator.find('|', start);
    command.push_back(emulator.substr(start, end == std::string::npos ? end : end - start));
  }
#endif
  command.push_back(program);
  return command;
}

RunResult Run(std::vector<std::string> const& command, std::string const& ipc_dir,
              std::string const& input, std::chrono::milliseconds limit) {
  TempDir files;
  std::string in = files.Write("in", input);
  Clock::time_point start = Clock::now();
  pid_t pid = Spawn(command, ipc_dir, in, files.path() + "/out", files.path() + "/err");
  RunResult result;
  result.exit_status = Wait(pid, start + limit);
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  result.out = ReadFile(files.path() + "/out");
  result.err = ReadFile(files.path() + "/err");
  return result;
}

}  // namespace cli_test
