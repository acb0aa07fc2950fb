// The members of nelkoInitiatorInterfaces that the interfaces library provides: framing a
// request, waiting for its response and unpacking asynchronous responses.
//
// On the wire a request is the command object as JSON text, tagged by the core library with the
// interface name and the request identifier; a response is the target's response object as JSON
// text with a "status" member, tagged with the same identifier.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "json/text.h"
#include "nelko_core_channel_events.h"
#include "nelko_core_ipc.h"
#include "nelko_initiator_interfaces.h"
#include "response_router.h"

using nelko::interfaces::ResponseRouter;

namespace {

// Truncates toward zero and clamps to the range of a status; NaN reads as 0.
unsigned int to_status(double value) {
  if (!(value > 0.0)) return 0u;
  if (value >= 4294967295.0) return 4294967295u;
  return static_cast<unsigned int>(value);
}

// The member of `object` named `name`, or end(). The one the name usually has (a request names
// its command first, a target puts the status first) is tried before the search by name.
json::Object::const_iterator find_usually_first(json::Object const& object, std::string_view name) {
  auto const first = object.begin();
  if (first != object.end() && first->name.size() == name.size() &&
      std::memcmp(first->name.data(), name.data(), name.size()) == 0) {
    return first;
  }
  return object.Find(name);
}

// A view into `command`, valid while it is.
std::string_view command_of(json::Object const& command) {
  auto const member = find_usually_first(command, "command");
  if (member == command.end() || member->element.GetKind() != json::UnknownElement::Kind::String) {
    return std::string_view();
  }
  return static_cast<json::String const&>(member->element).Value();
}

// The channel's router, made on first use (then `made` holds it). A call that uses the channel
// needs it open until it returns, and the router stays while it is: once the router exists, no
// reference is taken (which would cost two atomic read-modify-writes per call).
ResponseRouter* router_of(void* ipc_handle, std::shared_ptr<ResponseRouter>& made) {
  if (ResponseRouter* router = ResponseRouter::installed_on(ipc_handle)) return router;
  made = ResponseRouter::for_channel(ipc_handle);
  return made.get();
}

// The thread's text buffers below are reached without a call into the dynamic linker; they take
// a few bytes of the static TLS space that glibc keeps for libraries loaded later (the Lua module).
#define NELKO_INITIAL_EXEC __attribute__((tls_model("initial-exec")))

// A thread's reused text buffer keeps its memory from call to call, unless a large message made
// it large.
void release_large(std::string& buffer) {
  constexpr std::size_t kKeptCapacity = 16 * 1024;
  if (buffer.capacity() > kKeptCapacity) std::string().swap(buffer);
}

}  // namespace

nelko_core_status nelkoInitiatorInterfaces::basicSendCommand(char const* interface_name,
                                                             char const* target,
                                                             char const* uuid,
                                                             json::Object const& command) {
  // Taken first, whatever becomes of this command: a mark left behind would make the thread's
  // next command, of any form, count as asynchronous.
  bool const async = nelko::core::take_registration_mark(m_ipcHandle, this);
  if (interface_name == nullptr || target == nullptr || uuid == nullptr) {
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  NELKO_INITIAL_EXEC thread_local std::string text;
  text.clear();
  json::Write(command, text);
  std::shared_ptr<ResponseRouter> made;
  ResponseRouter* const router = router_of(m_ipcHandle, made);
  if (router == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  // Each text measured once, for the router and for the frame.
  std::string_view const target_text(target);
  std::string_view const interface_text(interface_name);
  std::string_view const uuid_text(uuid);
  nelko::core::CommandRecord* const record =
      router->note_sent(uuid_text, {this, target_text, interface_text, command_of(command), async});
  nelko_core_status status = nelko::core::send_command(m_ipcHandle, target_text, interface_text,
                                                       uuid_text, text, record);
  if (status != NELKO_CORE_STATUS_NO_ERROR) router->forget_sent(uuid_text);
  return status;
}

nelko_core_status nelkoInitiatorInterfaces::basicReceiveResponse(int timeout_ms,
                                                                 char const* interface_name,
                                                                 char const* target,
                                                                 char const* uuid,
                                                                 char const* command_name,
                                                                 json::Object& response) {
  (void)interface_name;
  (void)target;
  if (uuid == nullptr || command_name == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  // The wait reads the channel's sockets: the channel stays open until it returns.
  std::shared_ptr<ResponseRouter> made;
  ResponseRouter* const router = router_of(m_ipcHandle, made);
  if (router == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  // Reused by the thread from call to call (await copies the response into it).
  NELKO_INITIAL_EXEC thread_local std::string payload;
  payload.clear();
  nelko_core_status status = router->await(this, uuid, command_name, timeout_ms, payload);
  if (status == NELKO_CORE_STATUS_NO_ERROR) {
    try {
      json::ReadInPlace(response, payload);  // payload is this thread's own copy
    } catch (json::Exception const&) {
      status = NELKO_CORE_STATUS_IPC_FAILED;
    }
  }
  release_large(payload);
  if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
  auto const member = find_usually_first(response, "status");
  if (member == response.end() || member->element.GetKind() != json::UnknownElement::Kind::Number) {
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
  return static_cast<nelko_core_status>(
      to_status(static_cast<json::Number const&>(member->element)));
}

void nelkoInitiatorInterfaces::initiatorResponseCallback(char** first, char** interface_name,
                                                         char** uuid, char** payload) {
  (void)interface_name;
  if (first == nullptr || uuid == nullptr || payload == nullptr || *uuid == nullptr ||
      *payload == nullptr) {
    return;
  }
  // On the channel's I/O thread: the router stays for the whole call.
  ResponseRouter* const router = ResponseRouter::installed_on(m_ipcHandle);
  if (router == nullptr) return;
  std::string copy;
  char const* const command = router->take_async(this, *uuid, copy);
  if (command == nullptr) return;
  // The core hands the same payload to every response function of the channel, so it is read
  // from this thread's own copy, in place.
  NELKO_INITIAL_EXEC thread_local std::string text;
  text.assign(*payload);
  json::Object response;
  try {
    json::ReadInPlace(response, text);
  } catch (...) {
    release_large(text);
    throw;
  }
  release_large(text);
  subclassResponseDispatch(command, *first != nullptr ? *first : const_cast<char*>(""), *uuid,
                           response);
}
