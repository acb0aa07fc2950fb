#ifndef NELKO_CORE_CALLBACK_REGISTRY_H
#define NELKO_CORE_CALLBACK_REGISTRY_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace nelko::core {

// A thread's last add to any callback registry: the pair was present in `registry` while its
// generation was `generation` (see CallbackRegistry::add). One for all kinds of registry, to keep
// the thread's static TLS small; initial-exec: reached without a call into the dynamic linker.
struct LastRegistryAdd {
  void const* registry = nullptr;
  void (*function)() = nullptr;
  void* user = nullptr;
  std::size_t generation = 0;
};
inline __attribute__((tls_model("initial-exec"))) thread_local LastRegistryAdd t_last_registry_add;

// Distinct values for the generations of all registries in the process, so that a registry made
// later at the address of one that went never matches a thread's last add to the old one.
inline std::size_t next_registry_generation() {
  static std::atomic<std::size_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

// The (function, user) pairs that receive one kind of delivery of a channel, in registration
// order. Only the channel's I/O thread delivers, so at most one call runs at a time; the lock
// is released around each call so that callees may register and unregister, also themselves.
template <typename Function>
class CallbackRegistry {
 public:
  // Returns true when the pair was new. A client registers its pair again before each of its
  // asynchronous requests: when this thread's last add to this registry was the same pair and
  // nothing was removed since, the pair is known to be present without taking the lock.
  bool add(Function function, void* user) {
    LastRegistryAdd& last = t_last_registry_add;
    auto const same_function = reinterpret_cast<void (*)()>(function);
    if (last.registry == this && last.function == same_function && last.user == user &&
        generation_.load(std::memory_order_acquire) == last.generation) {
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    bool added = true;
    for (Entry const& entry : entries_) {
      if (entry.function == function && entry.user == user) added = false;
    }
    if (added) {
      entries_.push_back({function, user});
      count_.store(entries_.size(), std::memory_order_release);
    }
    last = LastRegistryAdd{this, same_function, user, generation_.load(std::memory_order_relaxed)};
    return added;
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
    generation_.store(next_registry_generation(), std::memory_order_release);
    if (on_delivering_thread) return;
    waiters_.fetch_add(1);
    idle_.wait(lock, [&] { return !running_.load() || running_user_ != user; });
    waiters_.fetch_sub(1);
  }

  bool empty() const { return count_.load(std::memory_order_acquire) == 0; }

  // Calls invoke(function, user) for each pair in order; false (nothing called) when there is
  // none. Pairs added during the pass are called in it too; removed ones are not.
  //
  // After the last pair's call the lock is taken again only when the pairs changed during it
  // (generation_ and count_ tell, see below) or a remove waits: usually one pair is registered,
  // and its delivery then costs one lock instead of two.
  template <typename Invoke>
  bool deliver(Invoke&& invoke) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (entries_.empty()) return false;
    for (next_ = 0; next_ < entries_.size();) {
      Entry entry = entries_[next_++];
      running_user_ = entry.user;
      running_.store(true, std::memory_order_relaxed);
      // Read under the lock, so they describe entries_ as this call leaves them. A remove
      // changes the generation, an add without a remove raises the count.
      bool const last = next_ == entries_.size();
      std::size_t const generation = generation_.load(std::memory_order_relaxed);
      std::size_t const count = count_.load(std::memory_order_relaxed);
      lock.unlock();
      try {
        invoke(entry.function, entry.user);
      } catch (...) {
        lock.lock();
        finish_call();
        throw;
      }
      // Whether the pass is over is decided while the call still counts as running: once it
      // no longer does, a remove returns at once, and a pair removed and added again then
      // belongs to the next delivery, never to this one (which it has had).
      if (last && generation_.load() == generation && count_.load() == count) {
        // Sequentially consistent, like the waiter's count in remove(): either this sees the
        // waiter, or the waiter sees that no call runs.
        running_.store(false);
        if (waiters_.load() == 0) return true;
        lock.lock();
        finish_call();
        return true;
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

  // With mutex_ held.
  void finish_call() {
    running_.store(false);
    if (waiters_.load() > 0) idle_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  std::vector<Entry> entries_;
  std::atomic<std::size_t> count_{0};
  // Changes (under mutex_) whenever a pair is removed: see add().
  std::atomic<std::size_t> generation_{next_registry_generation()};
  std::size_t next_ = 0;  // the entry that the running pass visits next
  // Set under mutex_; cleared without it when a pass ends after its last call (see deliver).
  std::atomic<bool> running_{false};
  void* running_user_ = nullptr;  // under mutex_
  std::atomic<int> waiters_{0};   // removes waiting for a call to end; changed under mutex_
};

}  // namespace nelko::core

#endif
