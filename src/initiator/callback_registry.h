// The pending asynchronous requests of one command: request identifier -> (client function, user
// pointer), guarded by its own mutex. send_async records under the mutex, cancel_async withdraws
// under it, and the command's completion looks its entry up under it.
//
// The completion calls the client function with the mutex released, so that a callback may call
// every function of the library: its own command's send_async and cancel_async, and those of
// another handle whose own completion, on another I/O thread, calls back into this one (with the
// mutex held across the calls, two such callbacks would wait for each other for ever). What
// cancel_async promises is kept by waiting instead: it returns only once no withdrawn function is
// running any more, unless it is called by that very function.
#ifndef NELKO_INITIATOR_CALLBACK_REGISTRY_H
#define NELKO_INITIATOR_CALLBACK_REGISTRY_H

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

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
      registry.is_running_ = true;
    }
    ~Call() {
      std::lock_guard<std::mutex> lock(registry_.mutex);
      registry_.is_running_ = false;
      registry_.idle_.notify_all();
    }
    Call(Call const&) = delete;
    Call& operator=(Call const&) = delete;

   private:
    CallbackRegistry& registry_;
  };

  // Removes every entry whose function and user pointer both match, then waits until none of
  // them is running (unless it runs on this thread: it is the caller). Call with `lock` held.
  void withdraw(Callback callback, void* user_data, std::unique_lock<std::mutex>& lock) {
    for (auto it = entries.begin(); it != entries.end();) {
      if (it->second.first == callback && it->second.second == user_data) {
        it = entries.erase(it);
      } else {
        ++it;
      }
    }
    idle_.wait(lock, [&] {
      return !is_running_ || running_ != Entry(callback, user_data) ||
             running_thread_ == std::this_thread::get_id();
    });
  }

  std::map<std::string, Entry, std::less<>> entries;
  std::mutex mutex;

 private:
  std::condition_variable idle_;
  bool is_running_ = false;
  Entry running_{};
  std::thread::id running_thread_;
};

}  // namespace detail
}  // namespace stream_layout
}  // namespace nelko

#endif
