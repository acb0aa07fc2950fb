// The pending asynchronous requests of one command: request identifier -> (client function, user
// pointer), guarded by its own mutex. send_async records under the mutex, cancel_async withdraws
// under it, and the command's completion calls the client function with it held, so a withdrawn
// function never runs once cancel_async has returned.
#ifndef NELKO_INITIATOR_CALLBACK_REGISTRY_H
#define NELKO_INITIATOR_CALLBACK_REGISTRY_H

#include <boost/thread/locks.hpp>
#include <boost/thread/mutex.hpp>
#include <functional>
#include <map>
#include <string>
#include <utility>

namespace stream_layout {

// The registry whose completion runs on this thread, if any. The mutex is not recursive: a client
// function that calls send_async or cancel_async of its own command on the same handle would wait
// for itself, so those calls check this and refuse.
inline thread_local void const* t_registryInCompletion = nullptr;

template <typename Callback>
struct CallbackRegistry {
  using Entry = std::pair<Callback, void*>;

  // Marks the calling thread as running a completion of this registry for the scope's lifetime.
  class CompletionScope {
   public:
    explicit CompletionScope(CallbackRegistry const& registry)
        : m_previous(t_registryInCompletion) {
      t_registryInCompletion = &registry;
    }
    ~CompletionScope() { t_registryInCompletion = m_previous; }
    CompletionScope(CompletionScope const&) = delete;
    CompletionScope& operator=(CompletionScope const&) = delete;

   private:
    void const* m_previous;
  };

  bool completingOnThisThread() const { return t_registryInCompletion == this; }

  // Removes every entry whose function and user pointer both match. Call with the mutex held.
  void withdraw(Callback callback, void* user_data) {
    for (auto it = entries.begin(); it != entries.end();) {
      if (it->second.first == callback && it->second.second == user_data) {
        it = entries.erase(it);
      } else {
        ++it;
      }
    }
  }

  std::map<std::string, Entry, std::less<>> entries;
  boost::mutex mutex;
};

}  // namespace stream_layout

#endif
