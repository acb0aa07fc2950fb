// The seven call forms, once each, over the command descriptions. Every exported function of the
// library is one of these instantiated for its command. The rules of the forms live here only:
// who owns the request identifier after each path, which time-out is passed, which lock is held,
// and that nothing throws across the C boundary (an exception becomes status 4).
#ifndef NELKO_API_CALL_FORMS_H
#define NELKO_API_CALL_FORMS_H

#include <mutex>
#include <string_view>
#include <tuple>

#include "initiator/i_stream_layout_initiator.h"

namespace nelko {
namespace stream_layout {
namespace detail {

template <typename Command>
using Inputs = typename Command::Inputs;
template <typename Command>
using Outs = IStream_layoutInitiator::Outs<Command>;

inline IStream_layoutInitiator* initiator(void* handle) {
  return static_cast<IStream_layoutInitiator*>(handle);
}

// Handles are not validated beyond this: a null one (a Lua nil, a failed init) is refused rather
// than dereferenced.
#define NELKO_REFUSE_NULL_HANDLE(handle) \
  if ((handle) == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS

// Every result pointer of a synchronous form must be given: a null one is refused before anything
// is sent or received, so that no response is taken and then lost.
template <typename Command>
bool lacks_an_out(Outs<Command> const& outs) {
  return std::apply([](auto... out) { return (... || (out == nullptr)); }, outs);
}

// Sends and waits up to timeout_ms. The identifier never leaves this call, so it lives here.
template <typename Command>
nelko_core_status send(void* handle, char const* target, int timeout_ms,
                       Inputs<Command> const& inputs, Outs<Command> const& outs) {
  NELKO_REFUSE_NULL_HANDLE(handle);
  if (lacks_an_out<Command>(outs)) return NELKO_CORE_STATUS_INVALID_PARAMS;
  try {
    IStream_layoutInitiator* object = initiator(handle);
    nelko::base::UuidText uuid;
    nelko::base::generate_uuid(*object, uuid);
    nelko_core_status status = object->send_request<Command>(target, uuid.text, inputs);
    if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
    return object->receive_response<Command>(target, timeout_ms, uuid.text, outs, nullptr);
  } catch (...) {
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
}

// Sends and hands the identifier to the client, whatever the outcome: *uuid_out always ends up
// holding it, or null when none was made, so that the client may always release it.
template <typename Command>
nelko_core_status non_blocking_send(void* handle, char const* target, void** uuid_out,
                                    Inputs<Command> const& inputs) {
  if (uuid_out == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  *uuid_out = nullptr;
  NELKO_REFUSE_NULL_HANDLE(handle);
  try {
    IStream_layoutInitiator* object = initiator(handle);
    char* uuid = object->generateUUID();
    *uuid_out = uuid;
    if (uuid == nullptr) return NELKO_CORE_STATUS_ALLOC_FAILED;
    return object->send_request<Command>(target, uuid, inputs);
  } catch (...) {
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
}

// Collects the response of a non-blocking send; the identifier is released only on success (for
// the version query: once a response with status 0 has been received, before it is read).
template <typename Command>
nelko_core_status receive(void* handle, char const* target, int timeout_ms, void* uuid,
                          Outs<Command> const& outs) {
  NELKO_REFUSE_NULL_HANDLE(handle);
  if (lacks_an_out<Command>(outs)) return NELKO_CORE_STATUS_INVALID_PARAMS;
  try {
    return initiator(handle)->receive_response<Command>(target, timeout_ms,
                                                        static_cast<char const*>(uuid), outs, uuid);
  } catch (...) {
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
}

inline int blocking_timeout(unsigned char blocking) {
  return blocking != 0 ? kDefaultTimeoutMs : 0;
}

// Records (callback, user_data) under a fresh identifier, then sends: the entry is there before
// the request can be answered, so the completion always finds it (unless cancel_async withdrew
// it meanwhile). The command's lock is not held across the send, where the channel's I/O thread,
// completing other requests of the command, would have to wait for a system call.
template <typename Command>
nelko_core_status send_async(void* handle, char const* target, Inputs<Command> const& inputs,
                             typename Command::Callback callback, void* user_data) {
  NELKO_REFUSE_NULL_HANDLE(handle);
  try {
    IStream_layoutInitiator* object = initiator(handle);
    auto& pending = object->registry<Command>();
    // A request that will not be sent registers nothing with the channel (the interfaces library
    // takes a command sent right after a registration on the same thread for an asynchronous
    // one); its entry is recorded all the same, like that of a request whose send failed.
    nelko_core_status const refused = object->refuse_values<Command>(inputs);
    if (refused == NELKO_CORE_STATUS_NO_ERROR) {
      nelko_core_status status = object->registerResponseFunction();
      if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
    }
    nelko::base::UuidText uuid;  // the registry keeps its own copy
    nelko::base::generate_uuid(*object, uuid);
    {
      std::lock_guard<std::mutex> lock(pending.mutex);
      pending.add(std::string_view(uuid.text, sizeof uuid.text - 1), callback, user_data);
    }
    if (refused != NELKO_CORE_STATUS_NO_ERROR) return refused;
    return object->send_request<Command>(target, uuid.text, inputs);
  } catch (...) {
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
}

// Withdraws every pending request of the command whose callback and user_data both match.
// Counted as a call on its object: a callback may destroy the handle while this waits for it.
template <typename Command>
nelko_core_status cancel_async(void* handle, typename Command::Callback callback, void* user_data) {
  NELKO_REFUSE_NULL_HANDLE(handle);
  try {
    IStream_layoutInitiator* const object = initiator(handle);
    nelko::base::CallOnObject const call(object);
    if (!call) return NELKO_CORE_STATUS_INVALID_PARAMS;
    auto& pending = object->registry<Command>();
    std::unique_lock<std::mutex> lock(pending.mutex);
    pending.withdraw(callback, user_data, lock);
    return NELKO_CORE_STATUS_NO_ERROR;
  } catch (...) {
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
}

}  // namespace detail
}  // namespace stream_layout
}  // namespace nelko

#endif
