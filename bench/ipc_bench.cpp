// ipc_bench: the library against stream-layout-target in another process, each figure next to
// a raw Unix-domain-socket exchange of the same byte sizes measured in the same run.
//
//   round-trip  mean and median of nelko_api_stream_layout_get_roi_send vs a raw ping-pong
//   throughput  completions per second with 64 _send_async requests in flight vs raw pipelined
//               exchanges with the same window: event-driven (epoll on both ends, the client
//               sending on one thread and receiving on another, one write per message: the
//               library's own shape, the goal's baseline), blocking with one write per message,
//               and blocking with the writes of all that is ready batched into one
//   threads     4 threads making sync get_roi_send calls on one handle vs 4 threads each with
//               its own raw connection to one event-driven service
//   latency     send to callback of one _send_async at a time, with the client's CPU otherwise
//               idle and with a thread spinning on it
//   memory      resident memory over many sync requests and over async requests cancelled as
//               they complete
//
// The client runs on one CPU and the service (or the raw echo process) on another: unpinned, a
// round trip varies by an order of magnitude with where the scheduler happens to put the two.
// The sizes of the raw messages are those of the library's own frames, read off the wire by a
// relay placed between the library and the target before the measurements.
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "child_process.h"
#include "raw_wire.h"
#include "nelko_api_stream_layout.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char const* kTarget = "stream_layout";

struct Options {
  bool round_trip = true;
  bool throughput = true;
  bool memory = true;
  bool threads = true;
  bool latency = true;
  int round_trips = 20000;
  int completions = 50000;
  int window = 64;
  int memory_sync = 100000;
  int memory_async = 20000;
  // sync-only / async-only: only this many library requests (after a fixed warm-up), nothing
  // else, for instruction counts under callgrind (see scripts/bench).
  int only_sync = 0;
  int only_async = 0;
  int only_threads = 0;  // threads-only: requests per thread, 4 threads
  std::string target_path = NELKO_TARGET_PATH;
};

void usage(char const* program) {
  std::fprintf(stderr,
               "usage: %s [round-trip|throughput|threads|latency|memory]... [--round-trips N] [--completions N]\n"
               "          [--window N] [--memory-sync N] [--memory-async N] [--full]\n"
               "          [--target PATH]\n"
               "       %s sync-only N | async-only N | threads-only N [--target PATH]\n"
               "--full runs the memory checks at their full counts (1000000 sync, 100000 async).\n"
               "sync-only and async-only make 200 requests to warm up and then N, and nothing else\n"
               "(to count instructions per request from two runs with different N); threads-only\n"
               "does the same in each of 4 threads on one handle (to profile them).\n",
               program, program);
}

bool parse_options(int argc, char** argv, Options& options) {
  bool any_mode = false;
  for (int i = 1; i < argc; ++i) {
    std::string const word = argv[i];
    auto number = [&](int& into) {
      if (i + 1 >= argc) return false;
      into = std::atoi(argv[++i]);
      return into > 0;
    };
    if (word == "round-trip" || word == "throughput" || word == "threads" || word == "latency" ||
        word == "memory") {
      if (!any_mode) {
        options.round_trip = options.throughput = options.threads = options.latency =
            options.memory = false;
      }
      any_mode = true;
      if (word == "round-trip") options.round_trip = true;
      if (word == "throughput") options.throughput = true;
      if (word == "threads") options.threads = true;
      if (word == "latency") options.latency = true;
      if (word == "memory") options.memory = true;
    } else if (word == "sync-only") {
      if (!number(options.only_sync)) return false;
    } else if (word == "async-only") {
      if (!number(options.only_async)) return false;
    } else if (word == "threads-only") {
      if (!number(options.only_threads)) return false;
    } else if (word == "--round-trips") {
      if (!number(options.round_trips)) return false;
    } else if (word == "--completions") {
      if (!number(options.completions)) return false;
    } else if (word == "--window") {
      if (!number(options.window)) return false;
    } else if (word == "--memory-sync") {
      if (!number(options.memory_sync)) return false;
    } else if (word == "--memory-async") {
      if (!number(options.memory_async)) return false;
    } else if (word == "--full") {
      options.memory_sync = 1000000;
      options.memory_async = 100000;
    } else if (word == "--target" && i + 1 < argc) {
      options.target_path = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- The raw floor -------------------------------------------------------------------------

// The raw service, in a child process: reads the two message sizes and how it answers, then
// answers every whole request with one response: with one write per response, or with one write
// for all that one read brought (`batched`).
[[noreturn]] void serve_raw(int fd, int cpu) {
  if (cpu >= 0) bench::pin_to_cpu(cpu);
  std::uint32_t setup[3];
  if (!nelko::test::read_exact(fd, reinterpret_cast<char*>(setup), sizeof setup)) ::_exit(1);
  std::size_t const request = setup[0], response = setup[1];
  bool const batched = setup[2] != 0;
  constexpr std::size_t kBatch = 256;
  std::vector<char> in(request * kBatch);
  std::vector<char> out(response * kBatch, 'r');
  std::size_t partial = 0;
  for (;;) {
    ssize_t got = ::read(fd, in.data(), in.size());
    if (got <= 0) ::_exit(0);
    partial += static_cast<std::size_t>(got);
    std::size_t const whole = partial / request;
    partial %= request;
    for (std::size_t sent = 0; sent < whole;) {
      std::size_t const count = batched ? whole : 1;
      if (!nelko::test::write_all(fd, out.data(), count * response)) ::_exit(0);
      sent += count;
    }
  }
}

// Starts serve_raw() in a child on `cpu`; its socket's other end goes to `fd`. -1 on failure.
pid_t fork_raw_service(int cpu, int& fd) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
  pid_t const pid = ::fork();
  if (pid == 0) {
    ::close(pair[0]);
    serve_raw(pair[1], cpu);
  }
  ::close(pair[1]);
  fd = pair[0];
  return pid;
}

// The client end of a raw connection: it tells the service the sizes (and `more` settings words)
// first, then exchanges fixed-size requests and responses.
class RawConnection {
 public:
  RawConnection(int fd, std::size_t request, std::size_t response,
                std::vector<std::uint32_t> more = {})
      : fd_(fd), request_(request, 'q'), response_(response) {
    std::vector<std::uint32_t> setup = {static_cast<std::uint32_t>(request),
                                        static_cast<std::uint32_t>(response)};
    setup.insert(setup.end(), more.begin(), more.end());
    nelko::test::write_all(fd_, reinterpret_cast<char const*>(setup.data()),
                           setup.size() * sizeof setup[0]);
  }

  std::size_t request_size() const { return request_.size(); }

  // One blocking request and response; nanoseconds.
  double round_trip() {
    auto start = Clock::now();
    if (!nelko::test::write_all(fd_, request_.data(), request_.size()) ||
        !nelko::test::read_exact(fd_, response_.data(), response_.size())) {
      std::fprintf(stderr, "raw exchange failed\n");
      std::exit(1);
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  }

 protected:
  int fd_;
  std::string request_;
  std::vector<char> response_;
};

// The client end of a raw service; `batched` as for serve_raw().
class RawPeer : public RawConnection {
 public:
  RawPeer(int fd, std::size_t request, std::size_t response, bool batched)
      : RawConnection(fd, request, response, {batched ? 1u : 0u}), batched_(batched) {}

  // Keeps `window` requests in flight until `total` are answered; completions per second.
  double pipelined(int window, int total) {
    std::string requests;
    for (int i = 0; i < window; ++i) requests += request_;
    std::vector<char> in(response_.size() * static_cast<std::size_t>(window));
    auto start = Clock::now();
    int sent = std::min(window, total);
    send_requests(requests, sent);
    int done = 0;
    std::size_t partial = 0;
    while (done < total) {
      ssize_t got = ::read(fd_, in.data(), in.size());
      if (got <= 0) std::exit(1);
      partial += static_cast<std::size_t>(got);
      int const whole = static_cast<int>(partial / response_.size());
      partial %= response_.size();
      done += whole;
      int const more = std::min(whole, total - sent);
      if (more > 0) {
        send_requests(requests, more);
        sent += more;
      }
    }
    return total / seconds_since(start);
  }

 private:
  void send_requests(std::string const& requests, int count) {
    for (int sent = 0; sent < count;) {
      int const now = batched_ ? count : 1;
      nelko::test::write_all(fd_, requests.data(), request_.size() * static_cast<std::size_t>(now));
      sent += now;
    }
  }

  bool batched_;
};

// ---- The event-driven raw exchange ---------------------------------------------------------

// An event-driven exchange without any of the library's work: the service waits for all its
// connections at once and answers every whole request with one write; the client sends from one
// thread and receives on another that waits on its own epoll set and frees a place in the window
// per response. Nothing is parsed. The service waits in epoll_wait, or (`polls`) in poll() on its
// connections and an eventfd, as the library's I/O threads do.
[[noreturn]] void serve_events(std::vector<int> const& fds, int cpu, bool polls) {
  if (cpu >= 0) bench::pin_to_cpu(cpu);
  struct Peer {
    int fd;
    std::size_t request = 0, response = 0, partial = 0;
    std::vector<char> in, out;
  };
  std::vector<Peer> peers;
  for (int fd : fds) {
    std::uint32_t setup[2];
    if (!nelko::test::read_exact(fd, reinterpret_cast<char*>(setup), sizeof setup)) ::_exit(1);
    peers.push_back({fd, setup[0], setup[1], 0, std::vector<char>(setup[0] * 256),
                     std::vector<char>(setup[1], 'r')});
  }
  // Each way sets up only what it waits on: a socket in an epoll set costs its peer's every write.
  int const epoll = polls ? -1 : ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<pollfd> polled;
  if (polls) {
    polled.push_back({::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), POLLIN, 0});  // only polled
    for (Peer const& peer : peers) polled.push_back({peer.fd, POLLIN, 0});
  }
  for (std::size_t i = 0; i < peers.size() && !polls; ++i) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, peers[i].fd, &event);
  }
  std::size_t open = peers.size();
  epoll_event events[8];
  std::vector<std::size_t> ready;
  while (open > 0) {
    ready.clear();
    if (polls) {
      ::poll(polled.data(), polled.size(), -1);
      for (std::size_t i = 1; i < polled.size(); ++i) {
        if (polled[i].revents != 0) ready.push_back(i - 1);
      }
    } else {
      int const count = ::epoll_wait(epoll, events, 8, -1);
      for (int e = 0; e < count; ++e) ready.push_back(events[e].data.u64);
    }
    for (std::size_t index : ready) {
      Peer& peer = peers[index];
      ssize_t const got = ::read(peer.fd, peer.in.data(), peer.in.size());
      if (got <= 0) {
        if (polls) {
          polled[index + 1].fd = -1;
        } else {
          ::epoll_ctl(epoll, EPOLL_CTL_DEL, peer.fd, nullptr);
        }
        --open;
        continue;
      }
      peer.partial += static_cast<std::size_t>(got);
      std::size_t const whole = peer.partial / peer.request;
      peer.partial %= peer.request;
      for (std::size_t i = 0; i < whole; ++i) {
        if (!nelko::test::write_all(peer.fd, peer.out.data(), peer.out.size())) ::_exit(0);
      }
    }
  }
  ::_exit(0);
}

// Starts serve_events() in a child on `cpu` with `count` connections, whose other ends go to
// `fds`. -1 on failure.
pid_t fork_event_service(int cpu, int count, std::vector<int>& fds, bool polls) {
  std::vector<int> theirs;
  for (int i = 0; i < count; ++i) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    fds.push_back(pair[0]);
    theirs.push_back(pair[1]);
  }
  pid_t const pid = ::fork();
  if (pid == 0) {
    for (int fd : fds) ::close(fd);
    serve_events(theirs, cpu, polls);
  }
  for (int fd : theirs) ::close(fd);
  return pid;
}

// The client end of one connection of serve_events().
class EventPeer : public RawConnection {
 public:
  EventPeer(int fd, std::size_t request, std::size_t response)
      : RawConnection(fd, request, response) {}

  // Keeps `window` requests in flight until `total` are answered, one write per request from
  // this thread, responses received on another; completions per second.
  double pipelined(int window, int total) {
    std::mutex mutex;
    std::condition_variable freed;
    int free_places = window;
    auto start = Clock::now();
    std::thread receiver([&] {
      int const epoll = ::epoll_create1(EPOLL_CLOEXEC);
      epoll_event event{};
      event.events = EPOLLIN;
      ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd_, &event);
      std::vector<char> in(response_.size() * static_cast<std::size_t>(window));
      std::size_t partial = 0;
      for (int done = 0; done < total;) {
        if (::epoll_wait(epoll, &event, 1, -1) != 1) continue;
        ssize_t const got = ::read(fd_, in.data(), in.size());
        if (got <= 0) std::exit(1);
        partial += static_cast<std::size_t>(got);
        int const whole = static_cast<int>(partial / response_.size());
        partial %= response_.size();
        done += whole;
        {
          std::lock_guard<std::mutex> lock(mutex);
          free_places += whole;
        }
        freed.notify_one();
      }
      ::close(epoll);
    });
    for (int sent = 0; sent < total; ++sent) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        freed.wait(lock, [&] { return free_places > 0; });
        --free_places;
      }
      nelko::test::write_all(fd_, request_.data(), request_.size());
    }
    receiver.join();
    return total / seconds_since(start);
  }
};

// ---- The library ---------------------------------------------------------------------------

double library_round_trip(void* handle) {
  double pan, tilt, roll, vfov;
  auto start = Clock::now();
  nelko_core_status status =
      nelko_api_stream_layout_get_roi_send(handle, kTarget, 0, 0, &pan, &tilt, &roll, &vfov);
  double const elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  if (status != NELKO_CORE_STATUS_NO_ERROR) {
    std::fprintf(stderr, "get_roi_send failed: status %d\n", static_cast<int>(status));
    std::exit(1);
  }
  return elapsed;
}

// Requests in flight, each with its own user_data so that it can be cancelled on its own. The
// callback records each completion in a ring that only it writes and only the sending thread
// reads, and takes the mutex only when that thread sleeps: the raw clients release their window
// once per read, the library's callback runs once per response, and the harness should cost
// either side as little as it can.
struct AsyncWindow {
  struct Slot {
    AsyncWindow* window;
    int index;
  };
  explicit AsyncWindow(int width) : done(static_cast<std::size_t>(width)) {
    for (int i = 0; i < width; ++i) slots.push_back({this, i});
  }
  // No more than `width` requests are in flight, so the ring never holds more than it has.
  std::vector<int> done;
  std::atomic<std::uint64_t> written{0};  // completions recorded (the ring's head)
  std::uint64_t read = 0;                 // completions taken by the sending thread
  std::atomic<bool> sleeping{false};
  std::atomic<int> failures{0};
  std::mutex mutex;
  std::condition_variable completed;
  std::vector<Slot> slots;

  // Sending thread: waits until a completion is recorded; how many are.
  std::uint64_t wait_for_completions() {
    std::uint64_t recorded = written.load(std::memory_order_acquire);
    if (recorded != read) return recorded;
    std::unique_lock<std::mutex> lock(mutex);
    sleeping.store(true);  // before the check below, so that the recorder sees it or we see it
    completed.wait(lock, [&] { return (recorded = written.load()) != read; });
    sleeping.store(false, std::memory_order_relaxed);
    return recorded;
  }
};

void on_roi(char*, nelko_core_status status, double, double, double, double, void* user) {
  auto* slot = static_cast<AsyncWindow::Slot*>(user);
  AsyncWindow& window = *slot->window;
  if (status != NELKO_CORE_STATUS_NO_ERROR) window.failures.fetch_add(1);
  std::uint64_t const at = window.written.load(std::memory_order_relaxed);
  window.done[at % window.done.size()] = slot->index;
  window.written.store(at + 1);
  if (window.sleeping.load()) {
    // As the raw clients do: woken after the mutex is released, the sending thread does not
    // block on it at once. The window outlives the wake-up: the sending thread cancels this
    // request before it lets the window go, and that cancel waits for this callback to return.
    { std::lock_guard<std::mutex> lock(window.mutex); }
    window.completed.notify_one();
  }
}

// Keeps `width` get_roi requests in flight until `total` completed, cancelling each as it
// completes; calls `progress(completed)` after each batch. Completions per second.
template <typename Progress>
double library_pipelined(void* handle, int width, int total, Progress&& progress) {
  AsyncWindow window(width);
  auto send = [&](int index) {
    nelko_core_status status = nelko_api_stream_layout_get_roi_send_async(
        handle, kTarget, 0, 0, on_roi, &window.slots[static_cast<std::size_t>(index)]);
    if (status != NELKO_CORE_STATUS_NO_ERROR) {
      std::fprintf(stderr, "get_roi_send_async failed: status %d\n", static_cast<int>(status));
      std::exit(1);
    }
  };
  auto start = Clock::now();
  int sent = 0;
  for (; sent < std::min(width, total); ++sent) send(sent);
  int completed = 0;
  while (completed < total) {
    std::uint64_t const recorded = window.wait_for_completions();
    for (; window.read != recorded; ++window.read) {
      int const index = window.done[window.read % window.done.size()];
      nelko_api_stream_layout_get_roi_cancel_async(
          handle, on_roi, &window.slots[static_cast<std::size_t>(index)]);
      ++completed;
      if (sent < total) {
        send(index);
        ++sent;
      }
    }
    progress(completed);
  }
  double const rate = total / seconds_since(start);
  if (window.failures.load() > 0) {
    std::fprintf(stderr, "%d async requests failed\n", window.failures.load());
    std::exit(1);
  }
  return rate;
}

// Sends one get_roi through a relay between the library and the target and returns the sizes
// of the command and response frames that crossed it.
bool measure_frame_sizes(void* handle, std::string const& directory, std::size_t& request,
                         std::size_t& response) {
  int listener = nelko::test::listen_at(directory + "/size-probe");
  if (listener < 0) return false;
  bool relayed = false;
  std::thread relay([&] {
    int library = ::accept(listener, nullptr, nullptr);
    int target = nelko::test::connect_to(directory + "/" + kTarget);
    std::string hello, command, answer;
    if (library >= 0 && target >= 0 && nelko::test::read_wire_frame(library, hello) &&
        nelko::test::read_wire_frame(library, command)) {
      std::string const own_hello = nelko::test::wire_frame(1, {"size-probe"});
      relayed = nelko::test::write_all(target, own_hello.data(), own_hello.size()) &&
                nelko::test::write_all(target, command.data(), command.size()) &&
                nelko::test::read_wire_frame(target, answer) &&
                nelko::test::write_all(library, answer.data(), answer.size());
      request = command.size();
      response = answer.size();
    }
    if (target >= 0) ::close(target);
    if (library >= 0) ::close(library);
  });
  double pan, tilt, roll, vfov;
  nelko_core_status status =
      nelko_api_stream_layout_get_roi_send(handle, "size-probe", 0, 0, &pan, &tilt, &roll, &vfov);
  relay.join();
  ::close(listener);
  return relayed && status == NELKO_CORE_STATUS_NO_ERROR;
}

// ---- The figures ---------------------------------------------------------------------------

void print_latency(char const* what, bench::Summary const& summary, double mean, double max) {
  std::printf("  %-36s mean %7.2f us   median %7.2f   p10 %7.2f   p90 %7.2f   max %8.1f\n", what,
              mean / 1000, summary.median / 1000, summary.p10 / 1000, summary.p90 / 1000,
              max / 1000);
}

// CPU time that the client and the service spent on a batch of exchanges.
struct CpuUse {
  bench::TaskTotals client;
  bench::TaskTotals service;
  int exchanges = 0;
  double wall_ns = 0;  // how long the batches took

  // Runs `batch` `calls` times; it makes `exchanges` exchanges in all.
  template <typename Batch>
  void measure(pid_t service_pid, int exchanges_made, int calls, Batch&& batch) {
    bench::TaskTotals const client_start = bench::own_totals();
    bench::TaskTotals const service_start = bench::task_totals(service_pid);
    auto const start = Clock::now();
    for (int i = 0; i < calls; ++i) batch();
    wall_ns += std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    bench::TaskTotals const client_end = bench::own_totals();
    bench::TaskTotals const service_end = bench::task_totals(service_pid);
    add(client, client_start, client_end);
    add(service, service_start, service_end);
    exchanges += exchanges_made;
  }
  static void add(bench::TaskTotals& into, bench::TaskTotals const& start,
                  bench::TaskTotals const& end) {
    into.cpu_ns += end.cpu_ns - start.cpu_ns;
    into.runs += end.runs - start.runs;
    into.user_ns += end.user_ns - start.user_ns;
    into.kernel_ns += end.kernel_ns - start.kernel_ns;
  }
  // CPU time and thread runs per exchange, and how busy each side kept its CPU (1.00: the whole
  // time; client and service are pinned to one CPU each).
  void print(char const* what) const {
    std::printf(
        "  %-36s client %6.2f us %5.2f runs %5.2f busy, service %6.2f us %5.2f runs %5.2f busy\n",
        what, client.cpu_ns / exchanges / 1000, client.runs / exchanges, client.cpu_ns / wall_ns,
        service.cpu_ns / exchanges / 1000, service.runs / exchanges, service.cpu_ns / wall_ns);
  }
  // User and kernel time per exchange (tick-sampled, see bench::TaskTotals).
  void print_split(char const* what) const {
    std::printf("  %-36s client %6.2f user %6.2f kernel, service %6.2f user %6.2f kernel\n",
                what, client.user_ns / exchanges / 1000, client.kernel_ns / exchanges / 1000,
                service.user_ns / exchanges / 1000, service.kernel_ns / exchanges / 1000);
  }
};

// What two system calls cost on this machine without any wake-up: one thread writes a frame of
// `size` bytes into a socket pair and receives it from the other end. A round trip makes at
// least four such calls (two on each side), so this is the floor under every figure here.
double system_call_pair_ns(std::size_t size) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return 0;
  std::vector<char> out(size, 'x'), in(size * 2);
  constexpr int kPairs = 20000;
  auto start = Clock::now();
  for (int i = 0; i < kPairs; ++i) {
    if (::write(ends[0], out.data(), size) != static_cast<ssize_t>(size) ||
        ::recv(ends[1], in.data(), in.size(), MSG_DONTWAIT) != static_cast<ssize_t>(size)) {
      break;
    }
  }
  double const ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  ::close(ends[0]);
  ::close(ends[1]);
  return ns / kPairs;
}

// How far a raw baseline moved between the blocks or rounds of a run: on a quiet machine its
// figures stay within a few per cent of each other; beyond 0.15 the others' load moved them, and
// the ratios beside it are not to be trusted.
void print_spread(char const* what, std::vector<double> const& figures, char const* over) {
  constexpr double kQuiet = 0.15;
  double const spread = (*std::max_element(figures.begin(), figures.end()) -
                         *std::min_element(figures.begin(), figures.end())) /
                        bench::median_of(figures);
  std::printf("  %-36s %.2f of its median over the %s: %s\n", what, spread, over,
              spread <= kQuiet ? "quiet" : "NOT quiet (above 0.15), do not trust the ratios");
}

// One exchange over interleaved rounds: its rate in each round, and its CPU over all of them.
struct Rounds {
  std::vector<double> rates;
  CpuUse cpu;

  // One round of `exchanges` exchanges with `service`; `batch` makes them and returns their rate.
  template <typename Batch>
  void run(pid_t service, int exchanges, Batch&& batch) {
    cpu.measure(service, exchanges, 1, [&] { rates.push_back(batch()); });
  }
  double median() const { return bench::median_of(rates); }
};

// The library's rate over the raw one's in each round, which ran one right after the other.
void print_round_ratios(std::vector<double> const& library, std::vector<double> const& raw) {
  std::printf("  %-36s", "ratio in each round");
  for (std::size_t i = 0; i < library.size(); ++i) std::printf(" %.2f", library[i] / raw[i]);
  std::printf("\n");
}

// The goal's baseline is the blocking ping-pong. The poll and epoll services show what a
// service that waits for readiness before each read costs on the same machine: the stand-in
// target is such a service whenever more than one peer keeps it busy, and waits in the busy
// peer's receive, as the blocking service does, while only one does.
void run_round_trips(Options const& options, RawPeer& raw, pid_t raw_service, EventPeer& poll_peer,
                     pid_t poll_service, EventPeer& epoll_peer, pid_t epoll_service, void* handle,
                     pid_t library_service) {
  constexpr int kBlocks = 10;
  int const per_block = std::max(1, options.round_trips / kBlocks);
  struct Variant {
    char const* name;
    pid_t service;
    std::function<double()> round_trip;
    std::vector<double> samples;
    std::vector<double> block_means;
    CpuUse cpu;
  };
  Variant variants[] = {
      {"raw socket ping-pong", raw_service, [&] { return raw.round_trip(); }, {}, {}, {}},
      {"raw, blocking, poll service",
       poll_service,
       [&] { return poll_peer.round_trip(); },
       {},
       {},
       {}},
      {"raw, blocking, epoll service",
       epoll_service,
       [&] { return epoll_peer.round_trip(); },
       {},
       {},
       {}},
      {"nelko_api_stream_layout_get_roi_send",
       library_service,
       [&] { return library_round_trip(handle); },
       {},
       {},
       {}},
  };
  Variant& blocking = variants[0];
  Variant& with_poll = variants[1];
  Variant& with_epoll = variants[2];
  Variant& library = variants[3];
  for (int i = 0; i < 500; ++i) {
    for (Variant& variant : variants) variant.round_trip();
  }
  // Interleaved blocks, so that a noisy moment of the machine hits all alike.
  for (int block = 0; block < kBlocks; ++block) {
    for (Variant& variant : variants) {
      std::size_t const first = variant.samples.size();
      variant.cpu.measure(variant.service, per_block, per_block,
                          [&] { variant.samples.push_back(variant.round_trip()); });
      variant.block_means.push_back(
          std::accumulate(variant.samples.begin() + static_cast<std::ptrdiff_t>(first),
                          variant.samples.end(), 0.0) /
          per_block);
    }
  }
  auto mean = [](std::vector<double> const& samples) {
    return std::accumulate(samples.begin(), samples.end(), 0.0) / samples.size();
  };
  double const raw_mean = mean(blocking.samples), library_mean = mean(library.samples);
  double const poll_mean = mean(with_poll.samples), epoll_mean = mean(with_epoll.samples);
  // Summaries after the means: summarize() reorders the samples.
  std::vector<bench::Summary> summaries;
  std::vector<double> means, maxima;
  for (Variant& variant : variants) {
    means.push_back(mean(variant.samples));
    maxima.push_back(*std::max_element(variant.samples.begin(), variant.samples.end()));
    summaries.push_back(bench::summarize(variant.samples));
  }
  std::printf("  %d round trips each, interleaved in %d blocks\n", per_block * kBlocks, kBlocks);
  std::printf("  %-36s %.2f us   (one thread, no wake-up: the floor of a system call)\n",
              "write + recv of a frame, socket pair", system_call_pair_ns(raw.request_size()) / 1000);
  for (std::size_t i = 0; i < summaries.size(); ++i) {
    print_latency(variants[i].name, summaries[i], means[i], maxima[i]);
  }
  std::printf("  %-36s %.2f   (goal: at most 1.15)\n", "mean ratio library / raw",
              library_mean / raw_mean);
  std::printf("  %-36s %.2f\n", "median ratio library / raw",
              summaries[3].median / summaries[0].median);
  std::printf("  %-36s %.2f   (the service waits in poll() before each read)\n",
              "mean ratio poll service / raw", poll_mean / raw_mean);
  std::printf("  %-36s %.2f   (the same in epoll_wait)\n", "mean ratio epoll service / raw",
              epoll_mean / raw_mean);
  print_spread("raw ping-pong spread", blocking.block_means, "blocks");
  std::printf("  per round trip: CPU time (user and kernel) and thread runs, all threads:\n");
  for (Variant& variant : variants) variant.cpu.print(variant.name);
  std::printf("  the same split into user and kernel time, us (tick-sampled by the kernel):\n");
  for (Variant& variant : variants) variant.cpu.print_split(variant.name);
}

struct RawService {
  RawPeer* peer;
  pid_t pid;
};

struct EventService {
  EventPeer* pipelined;
  std::vector<EventPeer>* threads;
  pid_t pid;
};

// While it lives, a process that spins on this (the client's) CPU, as an application's own work
// would: the client's threads then get the CPU in turns with it. A process rather than a thread,
// so that the client's CPU figures leave it out.
class Spinner {
 public:
  Spinner() : pid_(::fork()) {
    if (pid_ == 0) {
      for (;;) {
      }
    }
  }
  ~Spinner() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  Spinner(Spinner const&) = delete;
  Spinner& operator=(Spinner const&) = delete;

 private:
  pid_t const pid_;
};

void run_throughput(Options const& options, RawService by_message, RawService batched,
                    EventService events, void* handle, pid_t library_service) {
  constexpr int kRounds = 5;
  int const window = options.window, completions = options.completions;
  auto message_run = [&] { return by_message.peer->pipelined(window, completions); };
  auto batched_run = [&] { return batched.peer->pipelined(window, completions); };
  auto event_run = [&] { return events.pipelined->pipelined(window, completions); };
  auto library_run = [&] { return library_pipelined(handle, window, completions, [](int) {}); };
  by_message.peer->pipelined(window, 2000);
  batched.peer->pipelined(window, 2000);
  events.pipelined->pipelined(window, 2000);
  library_pipelined(handle, window, 2000, [](int) {});
  Rounds message, batches, event, library;
  for (int round = 0; round < kRounds; ++round) {
    event.run(events.pid, completions, event_run);
    message.run(by_message.pid, completions, message_run);
    batches.run(batched.pid, completions, batched_run);
    library.run(library_service, completions, library_run);
  }
  double const message_rate = message.median();
  double const batched_rate = batches.median();
  double const event_rate = event.median();
  double const library_rate = library.median();
  std::printf("  window %d, %d completions per run, median of %d interleaved runs\n",
              options.window, options.completions, kRounds);
  std::printf("  %-36s %9.0f completions/s\n", "raw event-driven (epoll, 2 threads)", event_rate);
  std::printf("  %-36s %9.0f completions/s\n", "raw blocking, one write per message",
              message_rate);
  std::printf("  %-36s %9.0f completions/s\n", "raw blocking, writes batched", batched_rate);
  std::printf("  %-36s %9.0f completions/s\n", "get_roi_send_async + cancel_async", library_rate);
  std::printf("  %-36s %.2f   (goal: at least 0.80)\n", "ratio library / raw event-driven",
              library_rate / event_rate);
  print_round_ratios(library.rates, event.rates);
  print_spread("raw event-driven spread", event.rates, "rounds");
  std::printf("  %-36s %.2f\n", "ratio library / raw blocking", library_rate / message_rate);
  std::printf("  %-36s %.2f\n", "ratio library / raw batched", library_rate / batched_rate);
  std::printf("  per completion: CPU time (user and kernel) and thread runs, all threads:\n");
  event.cpu.print("raw event-driven");
  message.cpu.print("raw blocking, one write per message");
  batches.cpu.print("raw blocking, writes batched");
  library.cpu.print("get_roi_send_async + cancel_async");
  std::printf("  the same split into user and kernel time, us (tick-sampled by the kernel):\n");
  event.cpu.print_split("raw event-driven");
  message.cpu.print_split("raw blocking, one write per message");
  batches.cpu.print_split("raw blocking, writes batched");
  library.cpu.print_split("get_roi_send_async + cancel_async");
  // Where a client keeps its CPU busy the whole time, its throughput is that CPU divided by its
  // CPU per completion, and the ratio of the two clients' CPU per completion is the ratio of
  // their throughputs. Where neither is busy all the time, the library's extra CPU partly fits
  // into the raw client's idle time and the throughput ratio is higher.
  std::printf("  %-36s %.2f   (the throughput ratio where both clients keep their CPU busy)\n",
              "client CPU per completion, raw/lib",
              event.cpu.client.cpu_ns / library.cpu.client.cpu_ns);

  // The same two with another process spinning on the client's CPU.
  Rounds shared_event, shared_library;
  {
    Spinner spinner;
    for (int round = 0; round < kRounds; ++round) {
      shared_event.run(events.pid, completions, event_run);
      shared_library.run(library_service, completions, library_run);
    }
  }
  double const shared_event_rate = shared_event.median();
  double const shared_library_rate = shared_library.median();
  std::printf("  with a process spinning on the client's CPU (median of %d interleaved runs):\n",
              kRounds);
  std::printf("  %-36s %9.0f completions/s\n", "raw event-driven", shared_event_rate);
  std::printf("  %-36s %9.0f completions/s\n", "get_roi_send_async + cancel_async",
              shared_library_rate);
  std::printf("  %-36s %.2f\n", "ratio library / raw event-driven",
              shared_library_rate / shared_event_rate);
  shared_event.cpu.print("raw event-driven");
  shared_library.cpu.print("get_roi_send_async + cancel_async");
}

// One get_roi_send_async at a time: nanoseconds from the send to its callback, `count` times.
// With `busy`, a Spinner shares the client's CPU meanwhile: what the I/O thread's scheduling
// costs a callback when the CPU is not free.
std::vector<double> async_latencies(void* handle, int count, bool busy) {
  struct Probe {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    Clock::time_point at;
  } probe;
  auto on_answer = [](char*, nelko_core_status, double, double, double, double, void* user) {
    auto* self = static_cast<Probe*>(user);
    auto const at = Clock::now();
    std::lock_guard<std::mutex> lock(self->mutex);
    self->at = at;
    self->done = true;
    self->answered.notify_one();
  };
  std::optional<Spinner> spinner;
  if (busy) spinner.emplace();
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    {
      std::lock_guard<std::mutex> lock(probe.mutex);
      probe.done = false;
    }
    auto const start = Clock::now();
    if (nelko_api_stream_layout_get_roi_send_async(handle, kTarget, 0, 0, on_answer, &probe) !=
        NELKO_CORE_STATUS_NO_ERROR) {
      std::fprintf(stderr, "get_roi_send_async failed\n");
      std::exit(1);
    }
    std::unique_lock<std::mutex> lock(probe.mutex);
    probe.answered.wait(lock, [&] { return probe.done; });
    samples.push_back(std::chrono::duration<double, std::nano>(probe.at - start).count());
    lock.unlock();
    nelko_api_stream_layout_get_roi_cancel_async(handle, on_answer, &probe);
  }
  return samples;
}

void run_callback_latency(void* handle) {
  constexpr int kCount = 2000;
  async_latencies(handle, 200, false);
  for (bool busy : {false, true}) {
    std::vector<double> samples = async_latencies(handle, kCount, busy);
    double const mean = std::accumulate(samples.begin(), samples.end(), 0.0) / samples.size();
    bench::Summary const summary = bench::summarize(samples);
    std::sort(samples.begin(), samples.end());
    double const p99 = samples[samples.size() * 99 / 100];
    std::printf("  %-36s mean %7.2f us   median %7.2f   p90 %7.2f   p99 %7.2f\n",
                busy ? "a process spins on the client CPU" : "client CPU otherwise idle",
                mean / 1000, summary.median / 1000, summary.p90 / 1000, p99 / 1000);
  }
}

// `threads` threads making `each` synchronous exchanges each through `exchange(thread)`;
// exchanges per second.
template <typename Exchange>
double in_threads(int threads, int each, Exchange&& exchange) {
  auto start = Clock::now();
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) {
    running.emplace_back([&exchange, t, each] {
      for (int i = 0; i < each; ++i) exchange(t);
    });
  }
  for (auto& thread : running) thread.join();
  return threads * each / seconds_since(start);
}

void run_threads(Options const& options, EventService events, void* handle,
                 pid_t library_service) {
  constexpr int kRounds = 5;
  int const threads = static_cast<int>(events.threads->size());
  int const each = std::max(1, options.round_trips / threads);
  auto raw_trip = [&](int t) { (*events.threads)[static_cast<std::size_t>(t)].round_trip(); };
  auto library_trip = [&](int) { library_round_trip(handle); };
  in_threads(threads, 200, raw_trip);
  in_threads(threads, 200, library_trip);
  Rounds raw, library;
  for (int round = 0; round < kRounds; ++round) {
    raw.run(events.pid, threads * each, [&] { return in_threads(threads, each, raw_trip); });
    library.run(library_service, threads * each,
                [&] { return in_threads(threads, each, library_trip); });
  }
  double const raw_rate = raw.median();
  double const library_rate = library.median();
  std::printf("  %d threads, %d round trips each per run, median of %d interleaved runs\n",
              threads, each, kRounds);
  std::printf("  %-36s %9.0f round trips/s\n", "raw, one connection per thread", raw_rate);
  std::printf("  %-36s %9.0f round trips/s\n", "get_roi_send, one handle", library_rate);
  std::printf("  %-36s %.2f   (goal: at least 0.80)\n", "ratio library / raw",
              library_rate / raw_rate);
  print_round_ratios(library.rates, raw.rates);
  print_spread("raw spread", raw.rates, "rounds");
  std::printf("  per round trip: CPU time (user and kernel) and thread runs, all threads:\n");
  raw.cpu.print("raw, one connection per thread");
  library.cpu.print("get_roi_send, one handle");
}

// Resident memory at ten points of a run after a warm-up; prints start, end and the highest.
template <typename Run>
void watch_memory(char const* what, int total, Run&& run) {
  // The warm-up fills the router's tables (4096 request identifiers) to their capacity.
  int const warm_up = std::max(5000, total / 20);
  run(warm_up, [](int) {});
  bench::resident_kib();  // its first call pages in the code it runs, which counts as resident
  long const start = bench::resident_kib();
  long highest = start;
  int next_sample = total / 10;
  auto const began = Clock::now();
  run(total, [&](int done) {
    if (done < next_sample) return;
    next_sample += total / 10;
    highest = std::max(highest, bench::resident_kib());
  });
  long const end = bench::resident_kib();
  std::printf("  %-36s %d requests in %.1f s: RSS start %ld KiB, end %ld KiB (%+ld), highest %ld"
              "\n",
              what, total, seconds_since(began), start, end, end - start, highest);
}

void run_memory(Options const& options, void* handle) {
  std::printf("  (after a warm-up of 5%%, at least 5000 requests)\n");
  watch_memory("sync get_roi_send", options.memory_sync, [&](int count, auto&& progress) {
    for (int i = 1; i <= count; ++i) {
      library_round_trip(handle);
      if (i % 1000 == 0) progress(i);
    }
  });
  watch_memory("async, cancelled as they complete", options.memory_async,
               [&](int count, auto&& progress) {
                 library_pipelined(handle, options.window, count, progress);
               });
}

// stream-layout-target in a private IPC directory, on the service's CPU: the child takes the
// affinity this thread has when it starts, which is put back afterwards. Null when it did not
// start.
std::unique_ptr<nelko::test::TargetProcess> start_target(Options const& options, int service_cpu) {
  cpu_set_t before;
  bool const saved = ::sched_getaffinity(0, sizeof before, &before) == 0;
  if (service_cpu >= 0) bench::pin_to_cpu(service_cpu);
  std::unique_ptr<nelko::test::TargetProcess> target;
  try {
    target = std::make_unique<nelko::test::TargetProcess>(
        std::vector<std::string>{"--name", kTarget}, options.target_path);
  } catch (std::exception const& e) {
    std::fprintf(stderr, "%s did not start: %s\n", options.target_path.c_str(), e.what());
  }
  if (saved) ::sched_setaffinity(0, sizeof before, &before);
  return target;
}


// This thread on the client's CPU, stream-layout-target on the service's and a library handle
// for it; the handle goes before the target. `handle` is null when either did not start.
struct Library {
  Library(Options const& options, int client_cpu, int service_cpu) {
    if (client_cpu >= 0) bench::pin_to_cpu(client_cpu);
    target = start_target(options, service_cpu);
    if (target && nelko_api_stream_layout_initiator_init(nullptr, nullptr, &handle, 0,
                                                         "ipc_bench") !=
                      NELKO_CORE_STATUS_NO_ERROR) {
      std::fprintf(stderr, "initiator_init failed\n");
      handle = nullptr;
    }
  }
  ~Library() {
    if (handle != nullptr) nelko_api_stream_layout_initiator_deinit(handle);
  }
  Library(Library const&) = delete;
  Library& operator=(Library const&) = delete;

  std::unique_ptr<nelko::test::TargetProcess> target;
  void* handle = nullptr;
};
}  // namespace

// sync-only / async-only: the library's requests alone, against a target started here.
int run_only(Options const& options, int client_cpu, int service_cpu) {
  Library const library(options, client_cpu, service_cpu);
  if (library.handle == nullptr) return 1;
  void* const handle = library.handle;
  constexpr int kWarmUp = 200;
  if (options.only_sync > 0) {
    for (int i = 0; i < kWarmUp + options.only_sync; ++i) library_round_trip(handle);
  } else if (options.only_threads > 0) {
    in_threads(4, kWarmUp + options.only_threads, [handle](int) { library_round_trip(handle); });
  } else {
    library_pipelined(handle, options.window, kWarmUp, [](int) {});
    library_pipelined(handle, options.window, options.only_async, [](int) {});
  }
  return 0;
}

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, options)) {
    usage(argv[0]);
    return 2;
  }
  // The relay's connection closing is logged as a warning; only errors matter here.
  ::setenv("NELKO_LOG_LEVEL", "3", 0);
  std::vector<int> const cpus = bench::allowed_cpus();
  int const client_cpu = cpus.size() >= 2 ? cpus[0] : -1;
  int const service_cpu = cpus.size() >= 2 ? cpus[1] : -1;
  if (options.only_sync > 0 || options.only_async > 0 || options.only_threads > 0) {
    return run_only(options, client_cpu, service_cpu);
  }

  // The raw services are forked first, while this process has no other threads.
  int by_message_fd = -1, batched_fd = -1;
  pid_t const by_message_pid = fork_raw_service(service_cpu, by_message_fd);
  pid_t const batched_pid = fork_raw_service(service_cpu, batched_fd);
  constexpr int kThreads = 4;
  std::vector<int> event_fds;  // the pipelined client's, then one per thread
  pid_t const events_pid = fork_event_service(service_cpu, 1 + kThreads, event_fds, false);
  std::vector<int> poll_fds;  // the round trip's, against a service that waits in poll()
  pid_t const poll_pid = fork_event_service(service_cpu, 1, poll_fds, true);
  if (by_message_pid < 0 || batched_pid < 0 || events_pid < 0 || poll_pid < 0) return 1;

  Library const library(options, client_cpu, service_cpu);
  if (library.handle == nullptr) return 1;
  void* const handle = library.handle;
  std::size_t request = 0, response = 0;
  if (!measure_frame_sizes(handle, library.target->ipc_dir(), request, response)) {
    std::fprintf(stderr, "could not measure the frame sizes\n");
    return 1;
  }
  RawPeer by_message(by_message_fd, request, response, false);
  RawPeer batched(batched_fd, request, response, true);
  EventPeer event_pipelined(event_fds[0], request, response);
  std::vector<EventPeer> event_threads;
  for (int t = 1; t <= kThreads; ++t) event_threads.emplace_back(event_fds[t], request, response);
  EventPeer poll_peer(poll_fds[0], request, response);
  EventService const events{&event_pipelined, &event_threads, events_pid};

  std::printf("ipc_bench: get_roi, request frame %zu B, response frame %zu B; ", request, response);
  if (client_cpu >= 0) {
    std::printf("client on CPU %d, service on CPU %d\n", client_cpu, service_cpu);
  } else {
    std::printf("one CPU only: nothing pinned, figures are unreliable\n");
  }
  if (options.round_trip) {
    std::printf("\n== Synchronous round trip\n");
    run_round_trips(options, by_message, by_message_pid, poll_peer, poll_pid, event_threads[0],
                    events_pid, handle, library.target->pid());
  }
  if (options.throughput) {
    std::printf("\n== Asynchronous throughput\n");
    run_throughput(options, {&by_message, by_message_pid}, {&batched, batched_pid}, events,
                   handle, library.target->pid());
  }
  if (options.threads) {
    std::printf("\n== %d threads, synchronous, one handle\n", kThreads);
    run_threads(options, events, handle, library.target->pid());
  }
  if (options.latency) {
    std::printf("\n== Asynchronous callback latency, one request at a time\n");
    run_callback_latency(handle);
  }
  if (options.memory) {
    std::printf("\n== Resident memory\n");
    run_memory(options, handle);
  }
  std::fflush(stdout);

  ::close(by_message_fd);
  ::close(batched_fd);
  for (int fd : event_fds) ::close(fd);
  for (int fd : poll_fds) ::close(fd);
  ::waitpid(by_message_pid, nullptr, 0);
  ::waitpid(batched_pid, nullptr, 0);
  ::waitpid(events_pid, nullptr, 0);
  ::waitpid(poll_pid, nullptr, 0);
  return 0;
}
