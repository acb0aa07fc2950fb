// What the benchmark programs share: CPU pinning, order statistics and resident memory. The
// target process, its IPC directory and the raw wire helpers come from tests/support.
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
// Also the user and kernel time of all threads from their stat files: the kernel counts those by
// the tick in which a thread is found running (tick-sampled, every 1-10 ms), so they are only
// meaningful summed over many exchanges, and their sum differs from cpu_ns.
struct TaskTotals {
  double cpu_ns = 0;
  double runs = 0;
  double user_ns = 0;
  double kernel_ns = 0;
};
TaskTotals task_totals(pid_t pid);
// The same for this process, threads that ended included (a benchmark's own threads often end
// within the run they belong to, and task_totals no longer sees them): CPU time from the
// process clock, runs as the context switches counted by getrusage (each run ends in one), user
// and kernel time from getrusage.
TaskTotals own_totals();

}  // namespace bench

#endif
