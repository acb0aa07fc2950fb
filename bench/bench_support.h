// What the benchmark programs share: CPU pinning, child processes, a private IPC directory,
// order statistics, resident memory and the wire framing for raw-socket baselines.
#ifndef NELKO_BENCH_SUPPORT_H
#define NELKO_BENCH_SUPPORT_H

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

// The CPUs this process may run on, in ascending order.
std::vector<int> allowed_cpus();
// Pins the calling thread, and every thread or child it starts afterwards, to `cpu`.
bool pin_to_cpu(int cpu);

// A program started with its CPU pinned; it is stopped with SIGTERM and reaped on destruction.
class ChildProcess {
 public:
  // Starts argv[0] with argv; when `ready_line` is not empty, waits (up to 10 s) until the
  // program prints that line on standard output.
  ChildProcess(std::vector<std::string> const& argv, int cpu, std::string const& ready_line);
  ~ChildProcess();
  ChildProcess(ChildProcess const&) = delete;
  ChildProcess& operator=(ChildProcess const&) = delete;
  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// A fresh directory exported as NELKO_IPC_DIR while the object lives.
class IpcDirectory {
 public:
  IpcDirectory();
  ~IpcDirectory();
  IpcDirectory(IpcDirectory const&) = delete;
  IpcDirectory& operator=(IpcDirectory const&) = delete;
  std::string const& path() const { return path_; }

 private:
  std::string path_;
};

struct Summary {
  double median;
  double p10;
  double p90;
};
// Order statistics of `samples` (reordered in place); all zero when there are none.
Summary summarize(std::vector<double>& samples);
double median_of(std::vector<double> samples);

// Resident set size of this process in KiB, from /proc/self/statm.
long resident_kib();
// What all threads of a process used so far (from schedstat): CPU time in nanoseconds, and how
// many times a thread was put on a CPU (each one a wake-up or a switch back).
struct TaskTotals {
  double cpu_ns = 0;
  double runs = 0;
};
TaskTotals task_totals(pid_t pid);

// Blocking helpers for raw sockets; false on end of file or error.
bool write_all(int fd, char const* bytes, std::size_t size);
bool read_exact(int fd, char* bytes, std::size_t size);

// One frame as the IPC channel carries it: u32 body length, kind byte, then u32-length texts,
// all big-endian (documented in nelko_core_ipc.h).
std::string wire_frame(unsigned char kind, std::vector<std::string> const& texts);
// Reads one whole frame (length field included) into `frame`.
bool read_wire_frame(int fd, std::string& frame);

// A stream socket listening at, or connected to, a path; -1 on failure.
int listen_at(std::string const& path);
int connect_to(std::string const& path);

}  // namespace bench

#endif
