#ifndef NELKO_CORE_CALLBACK_REGISTRY_H
#define NELKO_CORE_CALLBACK_REGISTRY_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace nelko::core {

// The (function, user) pairs that receive one kind of delivery of a channel, in registration
// order. Only the channel's I/O thread delivers, so at most one call runs at a time; the lock
// is released around each call so that callees may register and unregister, also themselves.
template <typename Function>
class CallbackRegistry {
 public:
  // Returns true when the pair was new. A pair already present costs a short scan under an
  // uncontended lock: no allocation, no system call.
  bool add(Function function, void* user) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Entry const& entry : entries_) {
      if (entry.function == function && entry.user == user) return false;
    }
    entries_.push_back({function, user});
    count_.store(entries_.size(), std::memory_order_release);
    return true;
  }

  // Removes every pair of `user`. Unless called on the delivering thread (which may be inside
  // that very call), waits until no call to a removed pair is running, so that the caller may
  // then release whatever `user` points to.
  void remove(void* user, bool on_delivering_thread) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (std::size_t i = entries_.size(); i-- > 0;) {
      if (entries_[i].user != user) continue;
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
      if (i < next_) --next_;
    }
    count_.store(entries_.size(), std::memory_order_release);
    if (on_delivering_thread) return;
    ++waiters_;
    idle_.wait(lock, [&] { return !running_ || running_user_ != user; });
    --waiters_;
  }

  bool empty() const { return count_.load(std::memory_order_acquire) == 0; }

  // Calls invoke(function, user) for each pair in order; false (nothing called) when there is
  // none. Pairs added during the pass are called in it too; removed ones are not.
  template <typename Invoke>
  bool deliver(Invoke&& invoke) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (entries_.empty()) return false;
    for (next_ = 0; next_ < entries_.size();) {
      Entry entry = entries_[next_++];
      running_ = true;
      running_user_ = entry.user;
      lock.unlock();
      try {
        invoke(entry.function, entry.user);
      } catch (...) {
        lock.lock();
        finish_call();
        throw;
      }
      lock.lock();
      finish_call();
    }
    return true;
  }

 private:
  struct Entry {
    Function function;
    void* user;
  };

  void finish_call() {
    running_ = false;
    if (waiters_ > 0) idle_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  std::vector<Entry> entries_;
  std::atomic<std::size_t> count_{0};
  std::size_t next_ = 0;  // the entry that the running pass visits next
  bool running_ = false;
  void* running_user_ = nullptr;
  int waiters_ = 0;
};

}  // namespace nelko::core

#endif
