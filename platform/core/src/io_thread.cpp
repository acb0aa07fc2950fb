#include "io_thread.h"

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
constexpr std::uint64_t kNoKey = ~std::uint64_t{0};
// Lingering (see IoThread::linger_on_busy_peer): the turns in a row that a socket must be
// reported alone, each within kSoon of the last, for how long before no other socket may have
// been reported, the longest a lingering lasts, and the longest wait for the peer's next bytes
// (the kernel rounds it up to its tick).
constexpr int kAloneTurns = 3;
constexpr std::chrono::microseconds kSoon{500};
constexpr std::chrono::milliseconds kQuietFor{50};
constexpr std::chrono::microseconds kLingerFor{1000};
constexpr int kLingerMs = 1;

}  // namespace

IoThread::IoThread(void* log) : log_(log) {
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

IoThread::~IoThread() {
  if (thread_.joinable()) stop([] {});
  ::close(wake_);
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
  if (!thread_.joinable()) {  // never started: nothing else runs, and what was posted is dropped
    last();
    return;
  }
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

void IoThread::wake() {
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    if (wake_pending_) return;
    wake_pending_ = true;
  }
  ::eventfd_write(wake_, 1);
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
    watched_.emplace(key, Entry{descriptor, events, std::move(watched)});
    set_changed_ = true;
  }
  if (!on_thread()) wake();
  return key;
}

bool IoThread::change(int descriptor, std::uint64_t key, std::uint32_t events) {
  bool added = false;
  {
    std::lock_guard<std::mutex> lock(watched_mutex_);
    auto found = watched_.find(key);
    if (found == watched_.end() || found->second.descriptor != descriptor) return false;
    Entry& entry = found->second;
    added = (events & ~entry.events) != 0;
    entry.events = events;
    set_changed_ = true;
  }
  if (added && !on_thread()) wake();
  return true;
}

void IoThread::unwatch(int descriptor, std::uint64_t key) {
  std::shared_ptr<Watched> released;  // let go of outside the lock
  std::lock_guard<std::mutex> lock(watched_mutex_);
  auto found = watched_.find(key);
  if (found == watched_.end() || found->second.descriptor != descriptor) return;
  released = std::move(found->second.watched);
  watched_.erase(found);
  set_changed_ = true;
}

void IoThread::make_poll_set() {
  polled_.clear();
  polled_keys_.clear();
  polled_.push_back({wake_, POLLIN, 0});
  polled_keys_.push_back(kWakeKey);
  for (auto const& [key, entry] : watched_) {
    if (entry.events == 0) continue;
    polled_.push_back({entry.descriptor, static_cast<short>(entry.events), 0});
    polled_keys_.push_back(key);
  }
  set_changed_ = false;
}

// Each turn reads the clock at most once and takes the posted work's lock only when the eventfd
// was reported: a target's I/O thread turns once per command, and most turns have neither work
// due nor work posted. The clock is read after the events, for the due work, and the next wait
// is measured from the same reading: it ends later than needed by at most what ran since.
// Posted work always comes with a report of the eventfd: post() writes it after queueing
// whenever run_posted() has read it since. The poll set is made again only in a turn after it
// changed, which a channel's steady traffic never does.
void IoThread::run() {
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
    if (set_changed_.load(std::memory_order_acquire)) {
      std::lock_guard<std::mutex> lock(watched_mutex_);
      make_poll_set();
    }
    int count = ::poll(polled_.data(), polled_.size(), timeout_ms);
    // A lingering thread reads the clock once per turn, here; "soon" is measured from the
    // previous turn's reading.
    Clock::time_point const woke = lingers_ ? Clock::now() : Clock::time_point{};
    bool const soon = lingers_ && woke - last_woke_ < kSoon;
    bool const woken = count > 0 && polled_[0].revents != 0;  // run after the events
    if (woken) --count;
    std::uint64_t reported_key = kNoKey;
    int reported = 0;
    bool readable_only = true;
    for (std::size_t i = 1; count > 0 && i < polled_.size(); ++i) {
      auto const events = static_cast<std::uint16_t>(polled_[i].revents);
      if (events == 0) continue;
      --count;
      ++reported;
      reported_key = polled_keys_[i];
      readable_only = readable_only && events == POLLIN;
      dispatch(polled_keys_[i], events);
    }
    read_clock = !delayed_.empty();
    if (read_clock) {
      now = lingers_ ? woke : Clock::now();
      run_due(now);
    }
    if (lingers_) {
      last_woke_ = woke;
      if (reported > 1 || (reported == 1 && reported_key != alone_key_)) last_crowded_ = woke;
      bool const alone = reported == 1 && readable_only && !woken && soon;
      alone_turns_ = alone ? (reported_key == alone_key_ ? alone_turns_ + 1 : 1) : 0;
      if (reported == 1) alone_key_ = reported_key;
      if (alone && alone_turns_ >= kAloneTurns && woke - last_crowded_ >= kQuietFor) {
        now = linger(reported_key, woke);
        last_woke_ = now;
        read_clock = true;
      }
    }
    if (!woken || !run_posted()) continue;
    std::lock_guard<std::mutex> lock(posted_mutex_);
    if (stopping_ && posted_.empty()) return;
  }
}

// A receive that waits kLingerMs in vain ends it until the socket is reported alone
// kAloneTurns again. The clock is read once per request.
IoThread::Clock::time_point IoThread::linger(std::uint64_t key, Clock::time_point now) {
  std::shared_ptr<Watched> watched;
  {
    std::lock_guard<std::mutex> lock(watched_mutex_);
    auto found = watched_.find(key);
    if (found == watched_.end() || found->second.events != POLLIN) return now;
    watched = found->second.watched;
  }
  Clock::time_point until = now + kLingerFor;
  for (Delayed const& delayed : delayed_) until = std::min(until, delayed.due);
  while (now < until && !set_changed_.load(std::memory_order_relaxed) &&
         !wake_pending_.load(std::memory_order_relaxed)) {
    bool const received = watched->linger(kLingerMs);
    now = Clock::now();
    if (!received) {
      alone_turns_ = 0;
      break;
    }
  }
  return now;
}

// What poll() reported is checked against what the entry is watched for now: a thread may have
// taken events away while the poll ran (a borrower's socket must not make this thread wait for
// its read lock). A descriptor that is not open any more (which its owner should never let
// happen) is reported as an error and then watched for nothing, so that it cannot make every
// poll() return.
void IoThread::dispatch(std::uint64_t key, std::uint32_t events) {
  std::shared_ptr<Watched> watched;
  std::uint32_t reported;
  {
    std::lock_guard<std::mutex> lock(watched_mutex_);
    auto found = watched_.find(key);
    if (found == watched_.end()) return;
    Entry& entry = found->second;
    reported = entry.events == 0 ? 0 : events & (entry.events | POLLHUP | POLLERR);
    if ((events & POLLNVAL) != 0) {
      reported |= POLLERR;
      entry.events = 0;
      set_changed_ = true;
    }
    if (reported == 0) return;  // polled for events it no longer wants; the set was changed
    watched = entry.watched;
  }
  watched->on_ready(reported);
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
