// The pending asynchronous requests of one command: request identifier -> (client function, user
// pointer), guarded by its own mutex. send_async records under the mutex, cancel_async withdraws
// under it, and the command's completion looks its entry up under it.
//
// The completion calls the client function with the mutex released, so that a callback may call
// every function of the library: its own command's send_async and cancel_async, and those of
// another handle whose own completion, on another I/O thread, calls back into this one (with the
// mutex held across the calls, two such callbacks would wait for each other for ever). What
// cancel_async promises is kept by waiting instead: it returns only once no withdrawn function is
// running any more, unless it is called by that very function. It waits without the mutex (see
// parking.h): the ending call wakes it without touching the registry again, and the woken
// cancel_async has no mutex to take back from a thread that may still hold it.
#ifndef NELKO_INITIATOR_CALLBACK_REGISTRY_H
#define NELKO_INITIATOR_CALLBACK_REGISTRY_H

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "flat_index.h"
#include "identifier_hash.h"
#include "kept_records.h"
#include "parking.h"

namespace nelko {
namespace stream_layout {
namespace detail {

template <typename Callback>
struct CallbackRegistry {
  using Entry = std::pair<Callback, void*>;

  // The client function that a completion is calling, for as long as the call runs. A handle's
  // completions all run on its channel's I/O thread, one at a time, so there is at most one.
  class Call {
   public:
    // Call with the mutex held; the call is made after it is released.
    Call(CallbackRegistry& registry, Entry const& entry) : registry_(registry) {
      registry.running_ = entry;
      registry.running_thread_ = std::this_thread::get_id();
      // Nothing else changes the state meanwhile: withdraws count themselves under the mutex,
      // and the last call ended on this thread.
      registry.state_.store(next_phase(registry.state_.load(std::memory_order_relaxed)),
                            std::memory_order_relaxed);
    }
    // Without the mutex, in one step that also takes the count of waiting withdraws: each of
    // them counted itself before it or finds the call ended. That step is the last this thread
    // does to the registry: a woken withdraw may return, and the registry go, right after it.
    ~Call() {
      void const* const key = &registry_;
      std::uint64_t const before =
          registry_.state_.exchange(next_phase(registry_.state_.load(std::memory_order_relaxed)));
      if ((before & kWaiters) != 0) parking::wake(key);
    }
    Call(Call const&) = delete;
    Call& operator=(Call const&) = delete;

   private:
    CallbackRegistry& registry_;
  };

  CallbackRegistry() = default;
  CallbackRegistry(CallbackRegistry const&) = delete;
  CallbackRegistry& operator=(CallbackRegistry const&) = delete;
  ~CallbackRegistry() {
    entries_.for_each([](Stored* stored) { delete stored; });
  }

  // Records (callback, user_data) under a request identifier (replacing what it held).
  void add(std::string_view uuid, Callback callback, void* user_data) {
    Entry const client(callback, user_data);
    if (Stored* taken = entries_.find(uuid)) {  // the identifier is taken: its entry changes hands
      clients_.erase(taken);
      taken->client = client;
      clients_.insert(taken);  // into the room it just left: this cannot throw
      return;
    }
    // Everything that may fail comes before the entry is indexed anywhere.
    entries_.reserve(entries_.size() + 1);
    clients_.reserve(clients_.size() + 1);
    std::unique_ptr<Stored> made = spares_.take();
    if (!made) made = std::make_unique<Stored>();
    // Copied over a kept entry's old identifier, in its memory (assign would take the general
    // path).
    made->uuid.resize(uuid.size());
    uuid.copy(made->uuid.data(), uuid.size());
    made->client = client;
    Stored* const stored = made.release();
    entries_.insert(stored);
    clients_.insert(stored);
  }

  // The entry of a request identifier, or null.
  Entry const* find(std::string_view uuid) const {
    Stored const* stored = entries_.find(uuid);
    return stored != nullptr ? &stored->client : nullptr;
  }

  std::size_t size() const { return entries_.size(); }

  // Removes every entry whose function and user pointer both match, then waits until none of
  // them is running (unless it runs on this thread: it is the caller). Call with `lock` held;
  // when it has to wait, it returns with `lock` released.
  // The index by client keeps this a look-up: a client with many requests of other clients
  // pending no longer pays a walk over all of them.
  void withdraw(Callback callback, void* user_data, std::unique_lock<std::mutex>& lock) {
    Entry const client(callback, user_data);
    clients_.take_all(client, [this](Stored* stored) {
      entries_.erase(stored);
      spares_.give(std::unique_ptr<Stored>(stored));
    });
    // Usually no call runs: under the mutex none can start for the removed entries, so there
    // is nothing to wait for, and the count of waiters (an atomic read-modify-write) is not
    // touched.
    std::uint64_t const state = state_.load();
    if (!running(state) || running_ != client || running_thread_ == std::this_thread::get_id()) {
      return;
    }
    // Counted, unless the call ended meanwhile: when it ends, the call wakes every withdraw it
    // finds counted and clears the count. The wait needs no mutex: nothing is left to take back
    // from the ending call's thread.
    if (phase(state_.fetch_add(1)) != phase(state)) return;
    lock.unlock();
    parking::wait(this, [&] { return phase(state_.load()) != phase(state); });
  }

  std::mutex mutex;

 private:
  struct EntryHash {
    std::size_t operator()(Entry const& entry) const noexcept {
      return std::hash<Callback>()(entry.first) * 31u ^ std::hash<void*>()(entry.second);
    }
  };
  // An entry, indexed by its identifier and by its client; it stays where it is (and so does
  // the text that the index's key views) until it is withdrawn.
  struct Stored {
    std::string uuid;
    Entry client;
  };
  struct UuidOf {
    std::string_view operator()(Stored const& stored) const noexcept { return stored.uuid; }
  };
  struct ClientOf {
    Entry const& operator()(Stored const& stored) const noexcept { return stored.client; }
  };

  // Request identifier -> entry (which the registry owns), and the entries by client (function
  // and user pointer): the index by client keeps withdraw a look-up, so that a client with many
  // requests of other clients pending does not pay a walk over all of them.
  nelko::base::FlatIndex<Stored, UuidOf, nelko::base::IdentifierHash> entries_;
  nelko::base::FlatIndex<Stored, ClientOf, EntryHash> clients_;
  nelko::base::KeptRecords<Stored, 64> spares_;  // withdrawn entries
  // The calls and the withdraws waiting for one: in the high half, twice the number of calls
  // that have ended, plus one while a call runs (its phase, which changes once more when it
  // ends, and comes back only after 2^31 calls); in the low half, the withdraws waiting for the
  // running call, cleared when it ends.
  static constexpr std::uint64_t kWaiters = 0xFFFFFFFFu;
  static std::uint64_t phase(std::uint64_t state) { return state >> 32; }
  // The next phase, with no waiters: the carry out of the low half moves the high half on.
  static std::uint64_t next_phase(std::uint64_t state) { return (state | kWaiters) + 1; }
  static bool running(std::uint64_t state) { return (phase(state) & 1) != 0; }
  static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the state is one atomic step");
  std::atomic<std::uint64_t> state_{0};
  Entry running_{};
  std::thread::id running_thread_;
};

}  // namespace detail
}  // namespace stream_layout
}  // namespace nelko

#endif
