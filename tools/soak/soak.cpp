// stream-layout-soak: runs stream-layout-target in a private IPC directory and drives it from four
// threads for a given time, mixing every command in every call form on one handle, with handles
// made and destroyed on the way. Every request is accounted for (request_ledger.h): each answer
// must be the one its request asked for, each asynchronous request ends in exactly one callback,
// each non-blocking one is received once, no wait outlives its time-out. Prints the resident
// memory of both processes after the warm-up, at the middle and at the end, then the accounting
// line, and fails on any failed or unaccounted request or on memory that keeps growing in the
// second half.
//
//   stream-layout-soak --target build/bin/stream-layout-target --minutes 10
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "nelko_api_stream_layout.h"
#include "child_process.h"
#include "nelko_core.h"
#include "request_ledger.h"
#include "stream_layout_request.h"

namespace {

using Clock = std::chrono::steady_clock;
using nelko::soak::Kind;
using nelko::soak::Request;
using nelko::soak::Values;
using std::chrono::milliseconds;
constexpr char kTarget[] = "stream_layout";
constexpr int kThreads = 4;
constexpr unsigned kRois = 4;
// Streams 0 to kThreads - 1 belong to the threads; the last one keeps its layout, so that its
// points always convert the same way.
constexpr unsigned kPointStream = kThreads;
// Below the 5000 of the forms without a time-out, so that the forms with one are the ones used.
constexpr int kTimeoutMs = 4000;
// Requests outstanding at once in a burst, of each kind.
constexpr int kBurst = 300;
// How much longer than its time-out a wait may take.
constexpr long kWaitSlackMs = 1000;
// The target answers at once: a wait this long means a wake-up was lost on the way (the answer
// then only surfaces when the wait's time runs out, well within the time-out).
constexpr long kStalledWaitMs = 1500;
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

void fail(int thread, char const* what) {
  if (++g_failures <= 20) std::fprintf(stderr, "soak: thread %d: %s\n", thread, what);
}

// One thread's rounds on one handle. Each round asks one or two commands in one of five ways:
// 0 send, 1 send with a time-out, 2 non-blocking send and a blocking receive, 3 non-blocking send
// and a receive with a time-out, 4 asynchronous send. Every answer goes into the ledger, which
// checks it against what the request must get.
class Worker {
 public:
  Worker(nelko::soak::Client client, int thread, Values const& point)
      : client_(client), thread_(thread), point_(point) {}

  // Hundreds of requests outstanding at once, non-blocking and asynchronous: more than the
  // routing could ever keep in fixed space.
  void burst() {
    std::vector<nelko::soak::Pending> pending;
    std::vector<std::pair<Request, nelko::soak::Id>> asyncs;
    for (int i = 0; i < kBurst; ++i) {
      Request const r = i % 3 == 0 ? version() : i % 3 == 1 ? num_roi() : point();
      pending.push_back(client_.send(r));
      asyncs.emplace_back(r, client_.send_async(r));
    }
    g_requests += 2 * kBurst;
    client_.receive_all({pending.rbegin(), pending.rend()}, kTimeoutMs);
    auto const deadline = Clock::now() + milliseconds(kTimeoutMs);
    for (auto const& a : asyncs) client_.finish(a.first, a.second, deadline);
  }

  void round(unsigned long n) {
    int form = static_cast<int>(n % nelko::soak::Client::kForms);
    switch ((n / 5) % 6) {
      case 0:
        ask(version(), form);
        break;
      case 1:
        ask(num_roi(), form);
        break;
      case 2:
        roi(form, n);
        break;
      case 3:
        layout(form, n);
        break;
      case 4:
        ask(point(), form);
        break;
      default:
        ask(version(), form);
        ask(num_roi(), (form + 1) % nelko::soak::Client::kForms);
        break;
    }
  }

 private:
  static Request version() { return {Kind::kVersion, 0, 0, 0, 0, {}, {0, 9}}; }
  static Request num_roi() { return {Kind::kNumRoi, 0, 0, 0, 0, {}, {double(kRois)}}; }
  Request point() const { return {Kind::kPoint, kPointStream, 0, 50000, 50000, {}, point_}; }

  void ask(Request const& r, int form) {
    ++g_requests;
    client_.in_form(r, form, kTimeoutMs);
  }


  // Each thread owns ROI `thread_` of both sets: what it sets it must read back.
  void roi(int form, unsigned long n) {
    unsigned int const set = n & 1;
    Values const values{double(n % 360) - 180, double(n % 90) - 45, double(thread_),
                        10 + double(n % 50)};
    ask({Kind::kSetRoi, unsigned(thread_), set, 0, 0, values, {}}, form);
    ask({Kind::kGetRoi, unsigned(thread_), set, 0, 0, {}, values}, form);
  }

  // Each thread owns stream `thread_`: what it sets it must read back.
  void layout(int form, unsigned long n) {
    unsigned int const count = 1 + n % 3;
    // The first placement covers the whole stream.
    unsigned int const whole[9] = {0, 0, 100000, 100000, 0, 0, 0, 100000, 100000};
    Values values;
    for (unsigned int l = 0; l < 9; ++l) {
      values.push_back(count);
      for (unsigned int i = 0; i < count; ++i) {
        values.push_back(i == 0   ? whole[l]
                         : l == 4 ? (n + i) % 23
                                  : unsigned((n * 7 + i * 1000 + l) % 100001));
      }
    }
    ask({Kind::kSetLayout, unsigned(thread_), 0, 0, 0, values, {}}, form);
    ask({Kind::kGetLayout, unsigned(thread_), 0, 0, 0, {}, values}, form);
  }

  nelko::soak::Client client_;
  int thread_;
  Values const& point_;
};

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
  // The target runs in a scratch IPC directory of its own, which NELKO_IPC_DIR now names.
  std::unique_ptr<nelko::test::TargetProcess> target;
  try {
    target = std::make_unique<nelko::test::TargetProcess>(
        std::vector<std::string>{"--streams", std::to_string(kPointStream + 1), "--rois",
                                 std::to_string(kRois)},
        target_path);
  } catch (std::exception const& e) {
    std::fprintf(stderr, "soak: the target did not start (%s)\n", e.what());
    return 2;
  }

  void* handle = nullptr;
  if (nelko_api_stream_layout_initiator_init(nullptr, nullptr, &handle, 0, "soak") != 0) return 2;
  // The first conversion of the point is what every later one must give.
  Request const point{Kind::kPoint, kPointStream, 0, 50000, 50000, {}, {}};
  nelko::soak::Answer const first = point.sync(handle, kTarget, nelko::soak::kDefaultTimeout);
  if (first.status != nelko::soak::kOk) {
    std::fprintf(stderr, "soak: the target does not answer (status %u)\n", first.status);
    return 2;
  }
  Values const point_answer = first.values;

  nelko::soak::RequestLedger ledger(kWaitSlackMs);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, handle, &ledger, &point_answer] {
      Worker worker(nelko::soak::Client(ledger, handle, kTarget), t, point_answer);
      for (unsigned long n = 0; !g_stop.load(); ++n) {
        worker.round(n);
        if (t == 0 && n % 500 == 499) worker.burst();
        // The last thread also makes and destroys handles of its own on the way.
        if (t == kThreads - 1 && n % 40 == 0) {
          void* own = nullptr;
          if (nelko_api_stream_layout_initiator_init(nullptr, nullptr, &own, 0, "soak-own") != 0) {
            fail(t, "init failed");
            continue;
          }
          Worker(nelko::soak::Client(ledger, own, kTarget), t, point_answer).round(n + 7);
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
    long self = rss_kib(0), other = rss_kib(target->pid());
    std::printf(
        "soak: %-6s %7.1f s  %9ld requests  client RSS %7ld KiB  target RSS %7ld KiB  %ld failed\n",
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
  ledger.settle(Clock::now() + milliseconds(kTimeoutMs));
  long const end = sample("end");
  nelko_api_stream_layout_initiator_deinit(handle);
  target.reset();

  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf(
      "soak: %ld requests in %.0f s (%.0f/s), %ld failed, client RSS grew %ld KiB in the second "
      "half\n",
      g_requests.load(), seconds, g_requests.load() / seconds, g_failures.load(), end - middle);
  std::printf("soak accounting: %s\n", ledger.line().c_str());
  nelko::soak::Totals const books = ledger.totals();
  bool const stalled = books.longest_wait_ms > kStalledWaitMs;
  bool ok = g_failures.load() == 0 && ledger.clean() && books.refused == 0 &&
            end - middle <= kGrowthLimitKib && !stalled;
  if (!ledger.clean() || books.refused != 0)
    std::printf("soak: FAILED: requests unaccounted for\n");
  if (end - middle > kGrowthLimitKib) std::printf("soak: FAILED: memory keeps growing\n");
  std::printf("soak: the longest wait took %ld ms\n", books.longest_wait_ms);
  if (stalled) std::printf("soak: FAILED: a wait took longer than %ld ms\n", kStalledWaitMs);
  std::printf("soak: %s\n", ok ? "passed" : "FAILED");
  return ok ? 0 : 1;
}
