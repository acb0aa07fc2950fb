#include "bench_support.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace bench {

std::vector<int> allowed_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  }
  return cpus;
}

bool pin_to_cpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

ChildProcess::ChildProcess(std::vector<std::string> const& argv, int cpu,
                           std::string const& ready_line) {
  int out[2];
  if (::pipe(out) != 0) return;
  std::vector<char*> args;
  for (std::string const& word : argv) args.push_back(const_cast<char*>(word.c_str()));
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    if (cpu >= 0) pin_to_cpu(cpu);
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  if (ready_line.empty()) {
    ready_ = pid_ > 0;
    ::close(out[0]);
    return;
  }
  std::string seen;
  auto const end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (seen.find(ready_line + "\n") == std::string::npos &&
         std::chrono::steady_clock::now() < end) {
    pollfd readable{out[0], POLLIN, 0};
    if (::poll(&readable, 1, 100) <= 0) continue;
    char chunk[256];
    ssize_t got = ::read(out[0], chunk, sizeof chunk);
    if (got <= 0) break;
    seen.append(chunk, static_cast<std::size_t>(got));
  }
  ready_ = seen.find(ready_line + "\n") != std::string::npos;
  ::close(out[0]);
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

IpcDirectory::IpcDirectory() {
  char name[] = "/tmp/nelko-bench-XXXXXX";
  if (::mkdtemp(name) == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  path_ = name;
  ::setenv("NELKO_IPC_DIR", path_.c_str(), 1);
}

IpcDirectory::~IpcDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Summary summarize(std::vector<double>& samples) {
  if (samples.empty()) return {0, 0, 0};
  auto at = [&](double fraction) {
    auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index),
                     samples.end());
    return samples[index];
  };
  double const median = at(0.5);
  double const p10 = at(0.1);
  double const p90 = at(0.9);
  return {median, p10, p90};
}

double median_of(std::vector<double> samples) { return summarize(samples).median; }

long resident_kib() {
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return -1;
  long size = 0, resident = 0;
  int const read = std::fscanf(statm, "%ld %ld", &size, &resident);
  std::fclose(statm);
  if (read != 2) return -1;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

TaskTotals task_totals(pid_t pid) {
  TaskTotals totals;
  std::error_code error;
  std::string const tasks = "/proc/" + std::to_string(pid) + "/task";
  for (auto const& task : std::filesystem::directory_iterator(tasks, error)) {
    FILE* schedstat = std::fopen((task.path() / "schedstat").c_str(), "r");
    if (schedstat == nullptr) continue;
    unsigned long long on_cpu = 0, waited = 0, runs = 0;
    if (std::fscanf(schedstat, "%llu %llu %llu", &on_cpu, &waited, &runs) == 3) {
      totals.cpu_ns += static_cast<double>(on_cpu);
      totals.runs += static_cast<double>(runs);
    }
    std::fclose(schedstat);
  }
  return totals;
}

bool write_all(int fd, char const* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool read_exact(int fd, char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t got = ::read(fd, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

namespace {

void append_be32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

bool socket_address(std::string const& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

std::string wire_frame(unsigned char kind, std::vector<std::string> const& texts) {
  std::string body(1, static_cast<char>(kind));
  for (std::string const& text : texts) {
    append_be32(body, static_cast<std::uint32_t>(text.size()));
    body += text;
  }
  std::string frame;
  append_be32(frame, static_cast<std::uint32_t>(body.size()));
  return frame + body;
}

bool read_wire_frame(int fd, std::string& frame) {
  char length[4];
  if (!read_exact(fd, length, sizeof length)) return false;
  std::uint32_t size = 0;
  for (char byte : length) size = (size << 8) | static_cast<unsigned char>(byte);
  if (size == 0 || size > (1u << 20)) return false;
  frame.assign(length, sizeof length);
  frame.resize(sizeof length + size);
  return read_exact(fd, frame.data() + sizeof length, size);
}

int listen_at(std::string const& path) {
  sockaddr_un address;
  if (!socket_address(path, address)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int connect_to(std::string const& path) {
  sockaddr_un address;
  if (!socket_address(path, address)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace bench
