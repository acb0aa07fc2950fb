#ifndef NELKO_CORE_DELIVERIES_H
#define NELKO_CORE_DELIVERIES_H

#include <malloc.h>

#include <array>
#include <cstddef>
#include <functional>
#include <string_view>
#include <utility>

#include "c_text.h"
#include "callback_registry.h"
#include "delivery_texts.h"
#include "io_thread.h"
#include "nelko_core_types.h"
#include "pull_queue.h"

namespace nelko::core {

// One kind of delivery of N texts that is either pushed to registered callbacks on the I/O
// thread or, while none is registered, queued for pulling: responses of an initiator (N = 4),
// commands of a target (N = 3). Function takes the N texts as `char **` and then the user.
//
// When a callback gets registered, what waits in the queue goes to it, oldest first and ahead
// of anything that arrives later, so that nothing sent before the registration is stranded.
template <typename Function, std::size_t N>
class Deliveries {
 public:
  using Texts = std::array<std::string_view, N>;
  using Item = std::array<CText, N>;

  // `wake_reader` interrupts a puller that fetches deliveries itself (see pull()). The queue
  // holds at most `capacity` items and, when `max_bytes` is not 0, that many bytes of texts.
  Deliveries(std::size_t capacity, IoThread& io, std::function<void()> wake_reader = {},
             std::size_t max_bytes = 0)
      : queue_(capacity, std::move(wake_reader), max_bytes,
               max_bytes == 0 ? typename PullQueue<Item>::Measure() : &bytes_of),
        io_(io) {}

  // A null function removes every pair of `user` (see CallbackRegistry::remove). A new pair
  // wakes the pullers, who then give up with UNSUPPORTED_FUNCTION, and gets what is queued;
  // true then.
  bool set_callback(Function function, void* user, bool on_io_thread) {
    if (function == nullptr) {
      callbacks_.remove(user, on_io_thread);
      return false;
    }
    if (!callbacks_.add(function, user)) return false;
    queue_.wake_all();
    io_.post([this] { drain(); });
    return true;
  }

  bool has_callbacks() const { return !callbacks_.empty(); }

  // On the I/O thread: to every registered pair, after what was queued before they came; with
  // none, queued. Returns false when the queue was full and lost its oldest item.
  bool deliver(Texts const& texts) {
    // Only this thread takes items out for the callbacks, so a queue seen empty here stays so
    // for them; an item a reader pushes meanwhile is drained by the work that reader posts.
    if (!callbacks_.empty() && !queue_.empty()) drain();
    if (delivering_) {  // a callee made another delivery: it gets copies of its own
      DeliveryTexts<N> copies(texts);
      if (invoke(copies)) return true;
      return queue_.push(copies.take_all());
    }
    delivering_ = true;
    struct Done {
      Deliveries& deliveries;
      ~Done() {
        deliveries.delivering_ = false;
        deliveries.copies_.release_large(kKeptTextBytes);
      }
    } const done{*this};
    copies_.reload(texts);
    if (invoke(copies_)) return true;
    return queue_.push(copies_.take_all());
  }

  // On a thread that reads deliveries itself for the pullers: queued, unless callbacks are
  // registered, which only the I/O thread may call: then false, and nothing was done. `kept`
  // tells whether the queue kept its oldest item.
  bool queue_for_pullers(Texts const& texts, bool& kept) {
    if (!callbacks_.empty()) return false;
    DeliveryTexts<N> copies(texts);
    kept = queue_.push(copies.take_all(), true);
    // A callback registered since the check: its drain may have run before this push.
    if (!callbacks_.empty()) io_.post([this] { drain(); });
    return true;
  }

  // The oldest queued item. Never waits on the I/O thread, which would block the very thread
  // that delivers: there it polls the queue. Elsewhere, with a reader (see PullQueue::pop), a
  // waiting puller may fetch deliveries itself.
  template <typename Read = typename PullQueue<Item>::NoReader>
  nelko_core_status pull(Item& item, long long timeout_ms, bool on_io_thread, Read&& read = Read()) {
    auto diverted = [this] { return !callbacks_.empty(); };
    auto const result = on_io_thread
                            ? queue_.pop(item, 0, diverted)
                            : queue_.pop(item, timeout_ms, diverted, std::forward<Read>(read));
    switch (result) {
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
  // What the texts' blocks take, whatever the texts' lengths up to a NUL.
  static std::size_t bytes_of(Item const& item) {
    std::size_t bytes = 0;
    for (CText const& text : item) bytes += ::malloc_usable_size(text.get());
    return bytes;
  }

  // On the I/O thread: hands queued items to the callbacks while there are any.
  void drain() {
    Item item;
    while (!callbacks_.empty() && queue_.try_pop(item)) {
      Texts texts;
      for (std::size_t i = 0; i < N; ++i) texts[i] = item[i].get();
      DeliveryTexts<N> copies(texts);
      if (!invoke(copies)) {  // the callbacks went meanwhile: it waits for the next puller
        queue_.push_front(std::move(item));
        return;
      }
    }
  }

  bool invoke(DeliveryTexts<N>& texts) {
    return callbacks_.deliver([&texts](Function function, void* user) {
      texts.refill();
      call(function, texts, user, std::make_index_sequence<N>());
    });
  }

  template <std::size_t... I>
  static void call(Function function, DeliveryTexts<N>& texts, void* user,
                   std::index_sequence<I...>) {
    function(texts.slot(I)..., user);
  }

  CallbackRegistry<Function> callbacks_;
  PullQueue<Item> queue_;
  IoThread& io_;
  // I/O thread only: the texts of the delivery in progress, whose blocks the next one reuses
  // (up to this size each).
  static constexpr std::size_t kKeptTextBytes = 16 * 1024;
  DeliveryTexts<N> copies_;
  bool delivering_ = false;
};

}  // namespace nelko::core

#endif
