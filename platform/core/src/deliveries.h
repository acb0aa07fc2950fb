#ifndef NELKO_CORE_DELIVERIES_H
#define NELKO_CORE_DELIVERIES_H

#include <cstddef>
#include <utility>

#include "callback_registry.h"
#include "nelko_core_types.h"
#include "pull_queue.h"

namespace nelko::core {

// One kind of delivery that is either pushed to registered callbacks or, while none is
// registered, queued for pulling: responses of an initiator, commands of a target.
template <typename Function, typename Item>
class Deliveries {
 public:
  explicit Deliveries(std::size_t capacity) : queue_(capacity) {}

  // A null function removes every pair of `user` (see CallbackRegistry::remove). A new pair
  // wakes the pullers, who then give up with UNSUPPORTED_FUNCTION.
  void set_callback(Function function, void* user, bool on_io_thread) {
    if (function == nullptr) {
      callbacks_.remove(user, on_io_thread);
    } else if (callbacks_.add(function, user)) {
      queue_.wake_all();
    }
  }

  // Calls invoke(function, user) for every registered pair; without any, queues make_item().
  // Returns false when the queue was full and lost its oldest item.
  template <typename Invoke, typename MakeItem>
  bool deliver(Invoke&& invoke, MakeItem&& make_item) {
    if (callbacks_.deliver(std::forward<Invoke>(invoke))) return true;
    return !queue_.push(make_item());
  }

  // The oldest queued item. Never waits on the I/O thread, which would block the very thread
  // that delivers: there it polls.
  nelko_core_status pull(Item& item, long long timeout_ms, bool on_io_thread) {
    switch (
        queue_.pop(item, on_io_thread ? 0 : timeout_ms, [this] { return !callbacks_.empty(); })) {
      case PullQueue<Item>::Result::item:
        return NELKO_CORE_STATUS_NO_ERROR;
      case PullQueue<Item>::Result::diverted:
        return NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION;
      case PullQueue<Item>::Result::timed_out:
        break;
    }
    return NELKO_CORE_STATUS_IPC_FAILED;
  }

 private:
  CallbackRegistry<Function> callbacks_;
  PullQueue<Item> queue_;
};

}  // namespace nelko::core

#endif
