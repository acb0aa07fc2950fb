#include "bench_support.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
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
  static double const tick_ns = 1e9 / static_cast<double>(::sysconf(_SC_CLK_TCK));
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
    // stat: "pid (comm) state ..." with utime and stime the 14th and 15th fields; comm may
    // hold spaces and parentheses, so the fields are counted from the last ')'.
    FILE* stat = std::fopen((task.path() / "stat").c_str(), "r");
    if (stat == nullptr) continue;
    char line[1024];
    std::size_t const length = std::fread(line, 1, sizeof line - 1, stat);
    std::fclose(stat);
    line[length] = '\0';
    char const* rest = std::strrchr(line, ')');
    unsigned long long user = 0, kernel = 0;
    if (rest != nullptr &&
        std::sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                    &kernel) == 2) {
      totals.user_ns += static_cast<double>(user) * tick_ns;
      totals.kernel_ns += static_cast<double>(kernel) * tick_ns;
    }
  }
  return totals;
}

TaskTotals own_totals() {
  TaskTotals totals;
  timespec clock{};
  if (::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &clock) == 0) {
    totals.cpu_ns = static_cast<double>(clock.tv_sec) * 1e9 + static_cast<double>(clock.tv_nsec);
  }
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) == 0) {
    totals.runs = static_cast<double>(usage.ru_nvcsw) + static_cast<double>(usage.ru_nivcsw);
    auto ns = [](timeval const& t) {
      return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_usec) * 1e3;
    };
    totals.user_ns = ns(usage.ru_utime);
    totals.kernel_ns = ns(usage.ru_stime);
  }
  return totals;
}

}  // namespace bench
