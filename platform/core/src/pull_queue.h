#ifndef NELKO_CORE_PULL_QUEUE_H
#define NELKO_CORE_PULL_QUEUE_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace nelko::core {

// Deliveries kept for threads that pull them, oldest first, with a cap. A puller gives up with
// `diverted` as soon as deliveries go to callbacks instead (the owner calls wake_all() then).
template <typename Item>
class PullQueue {
 public:
  enum class Result { item, timed_out, diverted };

  explicit PullQueue(std::size_t capacity) : capacity_(capacity) {}

  // Appends `item`; returns false when the oldest item had to be dropped to make room.
  bool push(Item&& item) {
    bool dropped = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (items_.size() >= capacity_) {
        items_.pop_front();
        dropped = true;
      }
      items_.push_back(std::move(item));
    }
    available_.notify_one();
    return !dropped;
  }

  // Puts back an item just taken with try_pop(), in front of the others.
  void push_front(Item&& item) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_front(std::move(item));
  }

  bool try_pop(Item& item) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.empty()) return false;
    item = std::move(items_.front());
    items_.pop_front();
    return true;
  }

  // Waits for the oldest item: `timeout_ms` 0 polls, negative waits without limit. `diverted()`
  // is checked first and after every wake-up.
  template <typename Diverted>
  Result pop(Item& item, long long timeout_ms, Diverted&& diverted) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [&] { return diverted() || !items_.empty(); };
    if (timeout_ms < 0) {
      available_.wait(lock, ready);
    } else if (timeout_ms > 0) {
      available_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
    }
    if (diverted()) return Result::diverted;
    if (items_.empty()) return Result::timed_out;
    item = std::move(items_.front());
    items_.pop_front();
    return Result::item;
  }

  // Wakes every waiting puller so that it re-checks `diverted`.
  void wake_all() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    available_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable available_;
  std::deque<Item> items_;
  std::size_t capacity_;
};

}  // namespace nelko::core

#endif
