#include "io_thread.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <future>
#include <iterator>
#include <system_error>

#include "nelko_core_logging.h"

namespace nelko::core {
namespace {

constexpr std::uint64_t kWakeKey = 0;  // watched keys start at 1

int checked(int descriptor, char const* what) {
  if (descriptor < 0) throw std::system_error(errno, std::generic_category(), what);
  return descriptor;
}

bool control(int set, int operation, int descriptor, std::uint64_t key, std::uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = key;
  return ::epoll_ctl(set, operation, descriptor, &event) == 0;
}

// Closes a descriptor unless released: for the constructor's ways out.
struct Descriptor {
  int value;
  ~Descriptor() {
    if (value >= 0) ::close(value);
  }
  int release() {
    int released = value;
    value = -1;
    return released;
  }
};

}  // namespace

IoThread::IoThread(void* log) : log_(log) {
  Descriptor epoll{checked(::epoll_create1(EPOLL_CLOEXEC), "epoll_create1")};
  Descriptor wake{checked(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd")};
  if (!control(epoll.value, EPOLL_CTL_ADD, wake.value, kWakeKey, EPOLLIN | EPOLLET)) {
    throw std::system_error(errno, std::generic_category(), "epoll_ctl");
  }
  epoll_ = epoll.release();
  wake_ = wake.release();
}

IoThread::~IoThread() {
  if (thread_.joinable()) stop([] {});
  ::close(wake_);
  ::close(epoll_);
}

void IoThread::start() {
  // The id is published before start() returns, so on_thread() is right from the first call.
  std::promise<void> started;
  thread_ = std::thread([this, &started] {
    id_ = std::this_thread::get_id();
    started.set_value();
    run();
  });
  started.get_future().wait();
}

void IoThread::stop(std::function<void()> last) {
  post([this, last = std::move(last)] {
    last();
    std::lock_guard<std::mutex> lock(posted_mutex_);
    stopping_ = true;
  });
  thread_.join();
}

void IoThread::post(std::function<void()> work) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    posted_.push_back(std::move(work));
    wake = !wake_pending_;
    wake_pending_ = true;
  }
  if (wake) ::eventfd_write(wake_, 1);
}

void IoThread::post_after(std::chrono::milliseconds delay, std::function<void()> work) {
  delayed_.push_back({Clock::now() + delay, std::move(work)});
}

std::uint64_t IoThread::watch(int descriptor, std::uint32_t events,
                              std::shared_ptr<Watched> watched) {
  std::uint64_t key;
  {
    std::lock_guard<std::mutex> lock(watched_mutex_);
    key = ++next_key_;
    watched_.emplace(key, std::move(watched));
  }
  if (!control(epoll_, EPOLL_CTL_ADD, descriptor, key, events)) {
    int const error_number = errno;
    std::lock_guard<std::mutex> lock(watched_mutex_);
    watched_.erase(key);
    throw std::system_error(error_number, std::generic_category(), "epoll_ctl");
  }
  return key;
}

bool IoThread::change(int descriptor, std::uint64_t key, std::uint32_t events) {
  return control(epoll_, EPOLL_CTL_MOD, descriptor, key, events);
}

void IoThread::unwatch(int descriptor, std::uint64_t key) {
  epoll_event ignored{};
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, descriptor, &ignored);
  std::shared_ptr<Watched> released;  // let go of outside the lock
  std::lock_guard<std::mutex> lock(watched_mutex_);
  auto found = watched_.find(key);
  if (found == watched_.end()) return;
  released = std::move(found->second);
  watched_.erase(found);
}

// Each turn reads the clock at most once and takes the posted work's lock only when the eventfd
// was reported: a target's I/O thread turns once per command, and most turns have neither work
// due nor work posted. The clock is read after the events, for the due work, and the next wait
// is measured from the same reading: it ends later than needed by at most what ran since.
// Posted work always comes with a report of the eventfd: post() writes it after queueing
// whenever run_posted() has read it since, and a report that the batch of events had no room
// for comes with the next epoll_wait().
void IoThread::run() {
  constexpr int kBatch = 32;
  epoll_event events[kBatch];
  Clock::time_point now{};
  bool read_clock = false;  // `now` is this turn's reading
  for (;;) {
    int timeout_ms = -1;
    if (!delayed_.empty()) {
      if (!read_clock) now = Clock::now();
      auto const first =
          std::min_element(delayed_.begin(), delayed_.end(),
                           [](Delayed const& a, Delayed const& b) { return a.due < b.due; });
      auto const left = std::chrono::ceil<std::chrono::milliseconds>(first->due - now);
      timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    int const count = ::epoll_wait(epoll_, events, kBatch, timeout_ms);
    bool woken = false;
    for (int i = 0; i < count; ++i) {
      if (events[i].data.u64 == kWakeKey) {
        woken = true;  // the posted work runs after the events
      } else {
        dispatch(events[i].data.u64, events[i].events);
      }
    }
    read_clock = !delayed_.empty();
    if (read_clock) {
      now = Clock::now();
      run_due(now);
    }
    if (!woken || !run_posted()) continue;
    std::lock_guard<std::mutex> lock(posted_mutex_);
    if (stopping_ && posted_.empty()) return;
  }
}

void IoThread::dispatch(std::uint64_t key, std::uint32_t events) {
  std::shared_ptr<Watched> watched;
  {
    std::lock_guard<std::mutex> lock(watched_mutex_);
    auto found = watched_.find(key);
    if (found == watched_.end()) return;
    watched = found->second;
  }
  watched->on_ready(events);
}

// Due work may post more delayed work, so what is due is taken out of the list first.
void IoThread::run_due(Clock::time_point now) {
  auto const due = std::partition(delayed_.begin(), delayed_.end(),
                                  [now](Delayed const& delayed) { return delayed.due > now; });
  if (due == delayed_.end()) return;
  std::vector<Delayed> batch(std::make_move_iterator(due), std::make_move_iterator(delayed_.end()));
  delayed_.erase(due, delayed_.end());
  for (Delayed& delayed : batch) run_guarded(delayed.work);
}

bool IoThread::run_posted() {
  std::unique_lock<std::mutex> lock(posted_mutex_);
  if (!wake_pending_) return false;
  // Reading the eventfd under the lock pairs each write with one pending flag.
  eventfd_t ignored;
  ::eventfd_read(wake_, &ignored);
  wake_pending_ = false;
  // Made only now: an empty deque allocates, and most turns of the loop have nothing posted.
  std::deque<std::function<void()>> batch;
  batch.swap(posted_);
  lock.unlock();
  for (auto& work : batch) run_guarded(work);
  return true;
}

// Work that throws (out of memory while copying a delivery) loses that work only.
void IoThread::run_guarded(std::function<void()>& work) {
  try {
    work();
  } catch (std::exception const& error) {
    nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_ERR, "IPC thread: %s", error.what());
  } catch (...) {
    nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_ERR, "IPC thread: unknown exception");
  }
}

}  // namespace nelko::core
