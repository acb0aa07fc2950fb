#include "target_process.h"

#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

TargetProcess::TargetProcess(std::vector<std::string> options) : m_options(std::move(options)) {
  char pattern[] = "/tmp/nelko-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_ipcDir = pattern;
  ::setenv("NELKO_IPC_DIR", m_ipcDir.c_str(), 1);
  start();
}

TargetProcess::~TargetProcess() {
  stop();
  std::system(("rm -rf '" + m_ipcDir + "'").c_str());
}

void TargetProcess::start() {
  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> args;
#ifdef STREAM_LAYOUT_TARGET_EMULATOR
  // A cross build runs the target through the emulator, as ctest runs the test itself.
  std::string const emulator = STREAM_LAYOUT_TARGET_EMULATOR;
  for (std::size_t start = 0, end; start <= emulator.size(); start = end + 1) {
    end = emulator.find('|', start);
    if (end == std::string::npos) end = emulator.size();
    if (end > start) args.push_back(emulator.substr(start, end - start));
  }
#endif
  args.push_back(STREAM_LAYOUT_TARGET);
  args.insert(args.end(), m_options.begin(), m_options.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  pid_t const parent = ::getpid();
  m_pid = ::fork();
  if (m_pid == 0) {
    // A target must not outlive a test that crashed.
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

void TargetProcess::signal(int signo) const {
  if (m_pid <= 0) return;
  ::kill(m_pid, signo);
  if (signo != SIGSTOP) return;
  // A stop is delivered asynchronously; wait until the process is really stopped ('T').
  std::string const stat = "/proc/" + std::to_string(m_pid) + "/stat";
  for (int i = 0; i < 200; ++i) {
    std::ifstream in(stat);
    std::string line;
    std::getline(in, line);
    std::size_t close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'T') return;
    ::usleep(5000);
  }
}

int TargetProcess::stop(int signo) {
  if (m_pid <= 0) return -1;
  ::kill(m_pid, SIGCONT);
  ::kill(m_pid, signo);
  int status = 0;
  ::waitpid(m_pid, &status, 0);
  m_pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void TargetProcess::restart() {
  stop();
  start();
}
