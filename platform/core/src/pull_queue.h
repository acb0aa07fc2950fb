#ifndef NELKO_CORE_PULL_QUEUE_H
#define NELKO_CORE_PULL_QUEUE_H

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <type_traits>
#include <utility>

namespace nelko::core {

// Deliveries kept for threads that pull them, oldest first, with a cap on their number and,
// given a `measure` of an item's bytes, on their bytes. A puller gives up with `diverted` as
// soon as deliveries go to callbacks instead (the owner calls wake_all() then).
//
// A puller may also fetch deliveries itself instead of waiting for another thread to push them
// (see pop() with a reader); `wake_reader` then interrupts such a puller.
template <typename Item>
class PullQueue {
 public:
  enum class Result { item, timed_out, diverted };
  struct NoReader {};

  using Measure = std::function<std::size_t(Item const&)>;

  explicit PullQueue(std::size_t capacity, std::function<void()> wake_reader = {},
                     std::size_t max_bytes = 0, Measure measure = {})
      : capacity_(capacity),
        max_bytes_(max_bytes),
        measure_(std::move(measure)),
        wake_reader_(std::move(wake_reader)) {}

  // Appends `item`; returns false when the oldest item had to be dropped to make room. A puller
  // that is reading is woken, unless it pushes this item itself (`by_reader`).
  bool push(Item&& item, bool by_reader = false) {
    bool dropped = false;
    bool wake_reader = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::size_t const size = bytes_of(item);
      while (!items_.empty() &&
             (items_.size() >= capacity_ || (measure_ && bytes_ + size > max_bytes_))) {
        bytes_ -= bytes_of(items_.front());
        items_.pop_front();
        dropped = true;
      }
      items_.push_back(std::move(item));
      count_.store(items_.size(), std::memory_order_release);
      bytes_ += size;
      wake_reader = reading_ && !by_reader;
    }
    available_.notify_one();
    if (wake_reader) wake_reader_();
    return !dropped;
  }

  // Puts back an item just taken with try_pop(), in front of the others.
  void push_front(Item&& item) {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_ += bytes_of(item);
    items_.push_front(std::move(item));
    count_.store(items_.size(), std::memory_order_release);
  }

  // Without the lock: what a push or pop on another thread did just now may not be seen yet.
  bool empty() const { return count_.load(std::memory_order_acquire) == 0; }

  bool try_pop(Item& item) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.empty()) return false;
    take_front(item);
    return true;
  }

  // Waits for the oldest item: `timeout_ms` 0 polls, negative waits without limit. `diverted()`
  // is checked first and after every wake-up.
  //
  // With a reader, one waiting puller at a time calls read(wait_ms) while nothing is queued:
  // it fetches deliveries and pushes them (by_reader), returning when it pushed one, when it
  // was woken or when wait_ms passed (-1: no limit). The other pullers wait for the pushes and
  // take over reading when it returns. A poll reads once without waiting (read(0)).
  template <typename Diverted, typename Read = NoReader>
  Result pop(Item& item, long long timeout_ms, Diverted&& diverted, Read&& read = Read()) {
    constexpr bool kCanRead = !std::is_same<std::decay_t<Read>, NoReader>::value;
    using Clock = std::chrono::steady_clock;
    Clock::time_point const deadline =
        Clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
    bool last_read = !kCanRead;  // the read without waiting after the time is up
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (diverted()) return Result::diverted;
      if (!items_.empty()) {
        take_front(item);
        return Result::item;
      }
      int wait_ms = -1;
      if (timeout_ms >= 0) {
        auto const left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        wait_ms = left.count() < INT_MAX ? static_cast<int>(left.count()) : INT_MAX;
        if (wait_ms <= 0) {
          if (last_read || reading_) return Result::timed_out;
          last_read = true;
          wait_ms = 0;
        }
      }
      if (!kCanRead || reading_) {
        if (timeout_ms < 0) {
          available_.wait(lock);
        } else {
          available_.wait_until(lock, deadline);
        }
        continue;
      }
      if constexpr (kCanRead) {
        reading_ = true;
        lock.unlock();
        struct Resign {
          PullQueue& queue;
          std::unique_lock<std::mutex>& lock;
          ~Resign() {
            lock.lock();
            queue.reading_ = false;
            queue.available_.notify_one();  // a waiting puller may read next
          }
        } resign{*this, lock};
        read(wait_ms);
      }
    }
  }

  // Wakes every waiting puller, reading or not, so that it re-checks `diverted`.
  void wake_all() {
    bool wake_reader = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      wake_reader = reading_;
    }
    available_.notify_all();
    if (wake_reader) wake_reader_();
  }

 private:
  std::size_t bytes_of(Item const& item) const { return measure_ ? measure_(item) : 0; }
  // With mutex_ held.
  void take_front(Item& item) {
    bytes_ -= bytes_of(items_.front());
    item = std::move(items_.front());
    items_.pop_front();
    count_.store(items_.size(), std::memory_order_release);
  }

  std::mutex mutex_;
  std::condition_variable available_;
  std::deque<Item> items_;
  std::atomic<std::size_t> count_{0};  // items_.size(), for empty()
  std::size_t bytes_ = 0;  // of items_, by measure_
  std::size_t const capacity_;
  std::size_t const max_bytes_;
  Measure const measure_;
  std::function<void()> const wake_reader_;
  bool reading_ = false;  // a puller is in read()
};

}  // namespace nelko::core

#endif
