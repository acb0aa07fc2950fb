// The request of a command that the calling thread sent last, kept for its next one: that request
// has the same members in the same order, so only their values need writing again, instead of
// building the object member by member and freeing it after every send. A request made on the
// same thread while the kept one is still in use (from inside another send) gets a fresh object.
// Requests with lists are not kept.
#ifndef NELKO_INITIATOR_KEPT_REQUEST_H
#define NELKO_INITIATOR_KEPT_REQUEST_H

#include <memory>
#include <new>
#include <optional>
#include <tuple>
#include <type_traits>

#include "json/elements.h"
#include "wire_values.h"

namespace nelko {
namespace stream_layout {
namespace detail {

template <typename Command>
class KeptRequest {
 public:
  KeptRequest() noexcept : slot_(slot()), reused_(slot_ != nullptr && !slot_->busy) {
    if (reused_) slot_->busy = true;
  }
  ~KeptRequest() {
    if (!reused_) return;
    // A request with lists (a stream's layout, up to thousands of numbers) is not kept: its
    // memory goes when it has been sent, instead of staying with the thread until it ends.
    if constexpr (kHasLists) slot_->request.Clear();
    slot_->busy = false;
  }
  KeptRequest(KeptRequest const&) = delete;
  KeptRequest& operator=(KeptRequest const&) = delete;

  // The thread's last request of Command (empty before the first), or a fresh empty object.
  json::Object& get() {
    if (reused_) return slot_->request;
    if (!fresh_) fresh_.emplace();
    return *fresh_;
  }

 private:
  template <typename... Param>
  static constexpr bool has_lists(std::tuple<Param...> const*) {
    return (std::is_same<Param, List>::value || ...);
  }
  static constexpr bool kHasLists = has_lists(static_cast<typename Command::Params const*>(nullptr));

  struct Slot {
    json::Object request;
    bool busy = false;
  };
  // The thread's slot, made on its first request of Command; null when it cannot be made.
  // Initial-exec: reached without a call into the dynamic linker. Only a pointer lives in the
  // thread's static TLS block, which is small for a library loaded later (the Lua module).
  static Slot* slot() noexcept {
    __attribute__((tls_model("initial-exec"))) static thread_local std::unique_ptr<Slot> kept;
    if (!kept) kept.reset(new (std::nothrow) Slot);
    return kept.get();
  }

  Slot* const slot_;
  bool const reused_;
  std::optional<json::Object> fresh_;
};

}  // namespace detail
}  // namespace stream_layout
}  // namespace nelko

#endif
