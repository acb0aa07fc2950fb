// The request of a command that the calling thread sent last, kept for its next one: that request
// has the same members in the same order, so only their values need writing again, instead of
// building the object member by member and freeing it after every send. A request made on the
// same thread while the kept one is still in use (from inside another send) gets a fresh object.
// Requests with lists are not kept.
#ifndef NELKO_INITIATOR_KEPT_REQUEST_H
#define NELKO_INITIATOR_KEPT_REQUEST_H

#include <optional>

#include "json/elements.h"

namespace nelko {
namespace stream_layout {
namespace detail {

template <typename Command>
class KeptRequest {
 public:
  KeptRequest() noexcept : slot_(slot()), reused_(!slot_.busy) {
    if (reused_) slot_.busy = true;
  }
  ~KeptRequest() {
    if (!reused_) return;
    // A request with lists (a stream's layout, up to thousands of numbers) is not kept: its
    // memory goes when it has been sent, instead of staying with the thread until it ends.
    for (auto const& member : slot_.request) {
      if (member.element.GetKind() == json::UnknownElement::Kind::Array) {
        slot_.request.Clear();
        break;
      }
    }
    slot_.busy = false;
  }
  KeptRequest(KeptRequest const&) = delete;
  KeptRequest& operator=(KeptRequest const&) = delete;

  // The thread's last request of Command (empty before the first), or a fresh empty object.
  json::Object& get() {
    if (reused_) return slot_.request;
    if (!fresh_) fresh_.emplace();
    return *fresh_;
  }

 private:
  struct Slot {
    json::Object request;
    bool busy = false;
  };
  static Slot& slot() noexcept {
    static thread_local Slot kept;
    return kept;
  }

  Slot& slot_;
  bool const reused_;
  std::optional<json::Object> fresh_;
};

}  // namespace detail
}  // namespace stream_layout
}  // namespace nelko

#endif
