// stream-layout-soak: runs stream-layout-target in a private IPC directory and drives it from four
// threads for a given time, mixing every command in every call form on one handle, with handles
// made and destroyed on the way. Every answer is checked. Prints the resident memory of both
// processes after the warm-up, at the middle and at the end, and fails on any failed request or
// on memory that keeps growing in the second half.
//
//   stream-layout-soak --target build/bin/stream-layout-target --minutes 10
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nelko_api_stream_layout.h"
#include "nelko_core.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr char kTarget[] = "stream_layout";
constexpr int kThreads = 4;
constexpr int kTimeoutMs = 5000;
// Growth of resident memory from the middle to the end that counts as a leak. Once warm, the
// client's memory stays within a few tens of KiB; a leak of a hundred bytes per handle made and
// destroyed came to about 800 KiB in the second half of one minute.
constexpr long kGrowthLimitKib = 512;

long rss_kib(pid_t pid) {
  std::ifstream status(pid == 0 ? "/proc/self/status" : "/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::atomic<long> g_requests{0};
std::atomic<long> g_failures{0};
std::atomic<bool> g_stop{false};
std::mutex g_print_mutex;

void fail(int thread, char const* what, long detail) {
  if (++g_failures <= 20) {
    std::lock_guard<std::mutex> lock(g_print_mutex);
    std::fprintf(stderr, "soak: thread %d: %s (%ld)\n", thread, what, detail);
  }
}

// Waits for one completion; the callback stores its results here.
struct Done {
  std::mutex mutex;
  std::condition_variable changed;
  int calls = 0;
  unsigned int status = 0;
  std::vector<double> values;
  std::vector<std::vector<unsigned int>> lists;

  void set(nelko_core_status s, std::vector<double> v) {
    std::lock_guard<std::mutex> lock(mutex);
    std::memcpy(&status, &s, sizeof status);
    values = std::move(v);
    ++calls;
    changed.notify_all();
  }
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, milliseconds(kTimeoutMs), [&] { return calls > 0; });
  }
};
Done* done(void* user) { return static_cast<Done*>(user); }

std::vector<unsigned int> values_of(unsigned int** list) {
  std::vector<unsigned int> out;
  for (unsigned int** cell = list; cell != nullptr && *cell != nullptr; ++cell) out.push_back(**cell);
  return out;
}

void on_version(char*, nelko_core_status s, unsigned int major, unsigned int minor, void* u) {
  done(u)->set(s, {double(major), double(minor)});
}
void on_num(char*, nelko_core_status s, unsigned int num, void* u) { done(u)->set(s, {double(num)}); }
void on_roi(char*, nelko_core_status s, double a, double b, double c, double d, void* u) {
  done(u)->set(s, {a, b, c, d});
}
void on_point(char*, nelko_core_status s, double pan, double tilt, void* u) {
  done(u)->set(s, {pan, tilt});
}
void on_set(char*, nelko_core_status s, void* u) { done(u)->set(s, {}); }
void on_layout(char*, nelko_core_status s, unsigned int** l1, unsigned int** l2, unsigned int** l3,
               unsigned int** l4, unsigned int** l5, unsigned int** l6, unsigned int** l7,
               unsigned int** l8, unsigned int** l9, void* u) {
  std::lock_guard<std::mutex> lock(done(u)->mutex);
  done(u)->lists.clear();
  for (unsigned int** list : {l1, l2, l3, l4, l5, l6, l7, l8, l9}) done(u)->lists.push_back(values_of(list));
  std::memcpy(&done(u)->status, &s, sizeof done(u)->status);
  ++done(u)->calls;
  done(u)->changed.notify_all();
}

unsigned code(nelko_core_status status) {
  unsigned out;
  std::memcpy(&out, &status, sizeof out);
  return out;
}

// The five ways of asking: 0 send, 1 send with a time-out, 2 non-blocking send and a blocking
// receive, 3 non-blocking send and a receive with a time-out, 4 asynchronous send.
class Client {
 public:
  Client(void* handle, int thread) : handle_(handle), thread_(thread) {}

  void round(unsigned long n) {
    int form = static_cast<int>(n % 5);
    switch ((n / 5) % 6) {
      case 0: version(form); break;
      case 1: num_roi(form); break;
      case 2: roi(form, n); break;
      case 3: layout(form, n); break;
      case 4: point(form); break;
      default: version(form); num_roi((form + 1) % 5); break;
    }
  }

 private:
  void check(nelko_core_status status, char const* what) {
    ++g_requests;
    if (code(status) != 0) fail(thread_, what, static_cast<long>(code(status)));
  }

  void version(int form) {
    unsigned int major = 9, minor = 9;
    void* uuid = nullptr;
    if (form == 4) {
      Done d;
      check(nelko_api_stream_layout___get_target_version___send_async(handle_, kTarget, on_version, &d), "version async");
      if (!d.wait()) fail(thread_, "version completion missing", 0);
      nelko_api_stream_layout___get_target_version___cancel_async(handle_, on_version, &d);
      if (d.values.size() == 2) major = unsigned(d.values[0]), minor = unsigned(d.values[1]);
    } else if (form >= 2) {
      check(nelko_api_stream_layout___get_target_version___non_blocking_send(handle_, kTarget, &uuid), "version nb");
      check(nelko_api_stream_layout___get_target_version___receive(handle_, 1, kTarget, uuid, &major, &minor), "version receive");
    } else {
      check(nelko_api_stream_layout___get_target_version___send(handle_, kTarget, &major, &minor), "version send");
    }
    if (major != 0 || minor != 9) fail(thread_, "wrong version", long(major * 100 + minor));
  }

  void num_roi(int form) {
    unsigned int num = 0;
    void* uuid = nullptr;
    switch (form) {
      case 0: check(nelko_api_stream_layout_get_num_roi_send(handle_, kTarget, &num), "num send"); break;
      case 1: check(nelko_api_stream_layout_get_num_roi_send_with_timeout(handle_, kTarget, kTimeoutMs, &num), "num timed"); break;
      case 2:
        check(nelko_api_stream_layout_get_num_roi_non_blocking_send(handle_, kTarget, &uuid), "num nb");
        check(nelko_api_stream_layout_get_num_roi_receive(handle_, 1, kTarget, uuid, &num), "num receive");
        break;
      case 3:
        check(nelko_api_stream_layout_get_num_roi_non_blocking_send(handle_, kTarget, &uuid), "num nb");
        check(nelko_api_stream_layout_get_num_roi_receive_with_timeout(handle_, kTarget, kTimeoutMs, uuid, &num), "num receive timed");
        break;
      default: {
        Done d;
        check(nelko_api_stream_layout_get_num_roi_send_async(handle_, kTarget, on_num, &d), "num async");
        if (!d.wait()) fail(thread_, "num completion missing", 0);
        nelko_api_stream_layout_get_num_roi_cancel_async(handle_, on_num, &d);
        if (!d.values.empty()) num = unsigned(d.values[0]);
      }
    }
    if (num != 4) fail(thread_, "wrong number of ROIs", long(num));
  }

  // Each thread owns ROI `thread_` of both sets: what it sets it must read back.
  void roi(int form, unsigned long n) {
    unsigned int const set = n & 1;
    double const want[4] = {double(n % 360) - 180, double(n % 90) - 45, double(thread_), 10 + double(n % 50)};
    void* uuid = nullptr;
    switch (form) {
      case 0: check(nelko_api_stream_layout_set_roi_send(handle_, kTarget, thread_, set, want[0], want[1], want[2], want[3]), "roi set"); break;
      case 1: check(nelko_api_stream_layout_set_roi_send_with_timeout(handle_, kTarget, kTimeoutMs, thread_, set, want[0], want[1], want[2], want[3]), "roi set timed"); break;
      case 2:
        check(nelko_api_stream_layout_set_roi_non_blocking_send(handle_, kTarget, &uuid, thread_, set, want[0], want[1], want[2], want[3]), "roi set nb");
        check(nelko_api_stream_layout_set_roi_receive(handle_, 1, kTarget, uuid), "roi set receive");
        break;
      case 3:
        check(nelko_api_stream_layout_set_roi_non_blocking_send(handle_, kTarget, &uuid, thread_, set, want[0], want[1], want[2], want[3]), "roi set nb");
        check(nelko_api_stream_layout_set_roi_receive_with_timeout(handle_, kTarget, kTimeoutMs, uuid), "roi set receive timed");
        break;
      default: {
        Done d;
        check(nelko_api_stream_layout_set_roi_send_async(handle_, kTarget, thread_, set, want[0], want[1], want[2], want[3], on_set, &d), "roi set async");
        if (!d.wait() || d.status != 0) fail(thread_, "roi set completion", long(d.status));
        nelko_api_stream_layout_set_roi_cancel_async(handle_, on_set, &d);
      }
    }
    double got[4] = {0, 0, 0, 0};
    if (form == 4) {
      Done d;
      check(nelko_api_stream_layout_get_roi_send_async(handle_, kTarget, thread_, set, on_roi, &d), "roi get async");
      if (!d.wait()) fail(thread_, "roi get completion missing", 0);
      nelko_api_stream_layout_get_roi_cancel_async(handle_, on_roi, &d);
      for (std::size_t i = 0; i < 4 && i < d.values.size(); ++i) got[i] = d.values[i];
    } else if (form == 3) {
      check(nelko_api_stream_layout_get_roi_non_blocking_send(handle_, kTarget, &uuid, thread_, set), "roi get nb");
      check(nelko_api_stream_layout_get_roi_receive_with_timeout(handle_, kTarget, kTimeoutMs, uuid, &got[0], &got[1], &got[2], &got[3]), "roi get receive");
    } else {
      check(nelko_api_stream_layout_get_roi_send_with_timeout(handle_, kTarget, kTimeoutMs, thread_, set, &got[0], &got[1], &got[2], &got[3]), "roi get");
    }
    for (int i = 0; i < 4; ++i) {
      if (got[i] != want[i]) fail(thread_, "ROI read back differs", i);
    }
  }

  // Each thread owns stream `thread_`.
  void layout(int form, unsigned long n) {
    unsigned int const count = 1 + n % 3;
    unsigned int** lists[9];
    std::vector<std::vector<unsigned int>> want(9);
    for (int l = 0; l < 9; ++l) {
      lists[l] = nelko_core_alloc_uint_array(count);
      for (unsigned int i = 0; i < count; ++i) {
        // The first placement covers the whole stream, so that every point converts.
        unsigned int const whole[9] = {0, 0, 100000, 100000, 0, 0, 0, 100000, 100000};
        unsigned int value = i == 0   ? whole[l]
                             : l == 4 ? (n + i) % 23
                                      : unsigned((n * 7 + i * 1000 + l) % 100001);
        *lists[l][i] = value;
        want[l].push_back(value);
      }
    }
    void* uuid = nullptr;
    if (form == 4) {
      Done d;
      check(nelko_api_stream_layout_set_stream_layout_send_async(handle_, kTarget, thread_, lists[0], lists[1], lists[2], lists[3], lists[4], lists[5], lists[6], lists[7], lists[8], on_set, &d), "layout set async");
      if (!d.wait() || d.status != 0) fail(thread_, "layout set completion", long(d.status));
      nelko_api_stream_layout_set_stream_layout_cancel_async(handle_, on_set, &d);
    } else if (form >= 2) {
      check(nelko_api_stream_layout_set_stream_layout_non_blocking_send(handle_, kTarget, &uuid, thread_, lists[0], lists[1], lists[2], lists[3], lists[4], lists[5], lists[6], lists[7], lists[8]), "layout set nb");
      check(form == 2 ? nelko_api_stream_layout_set_stream_layout_receive(handle_, 1, kTarget, uuid)
                      : nelko_api_stream_layout_set_stream_layout_receive_with_timeout(handle_, kTarget, kTimeoutMs, uuid), "layout set receive");
    } else {
      check(nelko_api_stream_layout_set_stream_layout_send_with_timeout(handle_, kTarget, kTimeoutMs, thread_, lists[0], lists[1], lists[2], lists[3], lists[4], lists[5], lists[6], lists[7], lists[8]), "layout set");
    }
    for (auto* list : lists) nelko_core_free_uint_array(list);

    std::vector<std::vector<unsigned int>> got;
    if (form == 4) {
      Done d;
      check(nelko_api_stream_layout_get_stream_layout_send_async(handle_, kTarget, thread_, on_layout, &d), "layout get async");
      if (!d.wait()) fail(thread_, "layout completion missing", 0);
      nelko_api_stream_layout_get_stream_layout_cancel_async(handle_, on_layout, &d);
      got = d.lists;
    } else {
      unsigned int** out[9] = {};
      nelko_core_status status;
      if (form == 0) {
        status = nelko_api_stream_layout_get_stream_layout_send(handle_, kTarget, thread_, &out[0], &out[1], &out[2], &out[3], &out[4], &out[5], &out[6], &out[7], &out[8]);
      } else {
        check(nelko_api_stream_layout_get_stream_layout_non_blocking_send(handle_, kTarget, &uuid, thread_), "layout get nb");
        status = nelko_api_stream_layout_get_stream_layout_receive_with_timeout(handle_, kTarget, kTimeoutMs, uuid, &out[0], &out[1], &out[2], &out[3], &out[4], &out[5], &out[6], &out[7], &out[8]);
      }
      check(status, "layout get");
      for (auto* list : out) {
        got.push_back(values_of(list));
        nelko_core_free_uint_array(list);
      }
    }
    if (got != want) fail(thread_, "layout read back differs", long(count));
  }

  void point(int form) {
    double pan = NAN, tilt = NAN;
    void* uuid = nullptr;
    if (form == 4) {
      Done d;
      check(nelko_api_stream_layout_stream_point_to_pan_tilt_send_async(handle_, kTarget, thread_, 50000, 50000, on_point, &d), "point async");
      if (!d.wait()) fail(thread_, "point completion missing", 0);
      nelko_api_stream_layout_stream_point_to_pan_tilt_cancel_async(handle_, on_point, &d);
      if (d.values.size() == 2) pan = d.values[0], tilt = d.values[1];
    } else if (form >= 2) {
      check(nelko_api_stream_layout_stream_point_to_pan_tilt_non_blocking_send(handle_, kTarget, &uuid, thread_, 50000, 50000), "point nb");
      check(nelko_api_stream_layout_stream_point_to_pan_tilt_receive(handle_, 1, kTarget, uuid, &pan, &tilt), "point receive");
    } else {
      check(nelko_api_stream_layout_stream_point_to_pan_tilt_send(handle_, kTarget, thread_, 50000, 50000, &pan, &tilt), "point send");
    }
    if (!std::isfinite(pan) || !std::isfinite(tilt)) fail(thread_, "point not converted", 0);
  }

  void* handle_;
  int thread_;
};

// Starts the target with stdout on a pipe and waits for its "ready".
pid_t start_target(std::string const& path) {
  int out[2];
  if (::pipe(out) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(path.c_str(), path.c_str(), "--streams", "4", "--rois", "4", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string seen;
  char c;
  while (seen.find("ready") == std::string::npos && ::read(out[0], &c, 1) == 1) seen.push_back(c);
  ::close(out[0]);
  return seen.find("ready") != std::string::npos ? pid : -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string target_path;
  double minutes = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--target") == 0) target_path = argv[i + 1];
    if (std::strcmp(argv[i], "--minutes") == 0) minutes = std::atof(argv[i + 1]);
  }
  if (target_path.empty() || !(minutes > 0)) {
    std::fprintf(stderr, "usage: stream-layout-soak --target PATH [--minutes M]\n");
    return 2;
  }
  char directory[] = "/tmp/nelko-soak-XXXXXX";
  if (::mkdtemp(directory) == nullptr) return 2;
  ::setenv("NELKO_IPC_DIR", directory, 1);
  pid_t target = start_target(target_path);
  if (target < 0) {
    std::fprintf(stderr, "soak: the target did not start\n");
    return 2;
  }

  void* handle = nullptr;
  if (nelko_api_stream_layout_initiator_init(nullptr, nullptr, &handle, 0, "soak") != 0) return 2;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, handle] {
      Client client(handle, t);
      for (unsigned long n = 0; !g_stop.load(); ++n) {
        client.round(n);
        // The last thread also makes and destroys handles of its own on the way.
        if (t == kThreads - 1 && n % 40 == 0) {
          void* own = nullptr;
          if (nelko_api_stream_layout_initiator_init(nullptr, nullptr, &own, 0, "soak-own") != 0) {
            fail(t, "init failed", 0);
            continue;
          }
          Client(own, t).round(n + 7);
          nelko_api_stream_layout_initiator_deinit(own);
        }
      }
    });
  }

  auto const total = milliseconds(static_cast<long>(minutes * 60000));
  auto const start = Clock::now();
  auto sample = [&](char const* when) {
    long requests = g_requests.load();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    long self = rss_kib(0), other = rss_kib(target);
    std::printf("soak: %-6s %7.1f s  %9ld requests  client RSS %7ld KiB  target RSS %7ld KiB  %ld failed\n",
                when, seconds, requests, self, other, g_failures.load());
    std::fflush(stdout);
    return self;
  };
  std::this_thread::sleep_for(total / 10);
  sample("start");
  std::this_thread::sleep_until(start + total / 2);
  long const middle = sample("middle");
  std::this_thread::sleep_until(start + total);
  g_stop = true;
  for (auto& thread : threads) thread.join();
  long const end = sample("end");
  nelko_api_stream_layout_initiator_deinit(handle);
  ::kill(target, SIGTERM);
  int status = 0;
  ::waitpid(target, &status, 0);
  ::rmdir(directory);

  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("soak: %ld requests in %.0f s (%.0f/s), %ld failed, client RSS grew %ld KiB in the second half\n",
              g_requests.load(), seconds, g_requests.load() / seconds, g_failures.load(), end - middle);
  bool ok = g_failures.load() == 0 && end - middle <= kGrowthLimitKib;
  if (end - middle > kGrowthLimitKib) std::printf("soak: FAILED: memory keeps growing\n");
  std::printf("soak: %s\n", ok ? "passed" : "FAILED");
  return ok ? 0 : 1;
}
