// nelkoInitiatorInterfaces: the initiator side of a remote interface. It owns or borrows the IPC
// channel to the target and carries responses from the core library to the derived class.
//
// Sending, waiting for a response and unpacking an asynchronous response are implemented by the
// platform's interfaces library (libnelko-interfaces); everything else here by this library.
#ifndef NELKO_BASE_NELKO_INITIATOR_INTERFACES_H
#define NELKO_BASE_NELKO_INITIATOR_INTERFACES_H

#include <atomic>
#include <cstdint>

#include "export.h"
#include "json/elements.h"
#include "nelko_core_types.h"
#include "nelko_interfaces.h"
#include "nelko_message_pool.h"

// FIXED NAMES: this class, its members and their names are the platform's ABI (the interfaces
// library links against them and shares the layout), so they keep the platform's naming
// (lower camel case, m_ members) instead of this project's. Do not rename them.
class NELKO_EXPORT nelkoInitiatorInterfaces : public nelkoInterfaces {
 public:
  // Borrows ipc_handle, or opens a channel named initiator_name when it is null. A channel that
  // cannot be opened is logged ("nelkoInitiatorInterfaces: failed call to initiator init (N)")
  // and throws std::runtime_error with the same text.
  nelkoInitiatorInterfaces(void* ipc_handle, void* log_handle, char const* initiator_name,
                           std::uint32_t version_major, std::uint32_t version_minor);
  // Closes the channel only if the constructor opened it; a failing close is logged.
  ~nelkoInitiatorInterfaces() override;

  // Destroys `object` (null is accepted). Called while this thread delivers a response to it (from
  // one of its own callbacks), it cannot destroy it at once: the delivery still holds a registry
  // lock and runs client code. Then it withdraws the response function and leaves the object to
  // be destroyed when that delivery has returned; an owned channel is then closed by another
  // thread, since its own I/O thread cannot close it.
  static void destroy(nelkoInitiatorInterfaces* object);

  // Called for every asynchronous response: (command name, first text, request identifier,
  // response). Does nothing here.
  virtual void subclassResponseDispatch(char const* command, char* first_text, char* uuid,
                                        json::Object& response);
  // Called for every event: (event name, source, event). Does nothing here.
  virtual void subclassEventDispatch(char const* event, char const* source, json::Object& body);

  // -- Implemented by the interfaces library. --
  // Sends `command` to `target`, tagged with `uuid`. 0 when it went out.
  nelko_core_status basicSendCommand(char const* interface_name, char const* target,
                                     char const* uuid, json::Object const& command);
  // Waits up to timeout_ms (0 polls, negative waits without limit) for the response to `uuid`
  // and stores it in `response`. 0 only when the response arrived and its "status" is 0; the
  // response's status when it is not 0; 4 on time-out or a broken response.
  nelko_core_status basicReceiveResponse(int timeout_ms, char const* interface_name,
                                         char const* target, char const* uuid,
                                         char const* command_name, json::Object& response);
  // Unpacks a response delivered by the core library and hands it to subclassResponseDispatch.
  void initiatorResponseCallback(char** first, char** second, char** third, char** fourth);

  // Registers the response trampoline of this object on its channel (repeating it is harmless).
  // Refused with 1 once destroy() has been called from inside a delivery to this object.
  nelko_core_status registerResponseFunction();
  // Withdraws it again; returns when no delivery to this object is running (unless called from
  // the delivering thread itself).
  void unregisterResponseFunction();

  void* ipcHandle() const { return m_ipcHandle; }

 protected:
  // The layout below is shared with the interfaces library; do not reorder or add fields.
  void* m_ipcHandle;
  bool m_ownsChannel;
  nelkoMessagePool m_firstPool;
  nelkoMessagePool m_secondPool;
};

namespace nelko::base {

// A call from another thread that may still run while a callback destroys `object`
// (_cancel_async), counted for as long as it lives: destroying the object waits for it. False,
// with nothing counted, when the object is being destroyed or is not one.
class CallOnObject {
 public:
  explicit CallOnObject(nelkoInitiatorInterfaces const* object);
  ~CallOnObject();
  CallOnObject(CallOnObject const&) = delete;
  CallOnObject& operator=(CallOnObject const&) = delete;
  explicit operator bool() const noexcept { return calls_ != nullptr; }

 private:
  std::atomic<std::uint32_t>* const calls_;  // the object's count of such calls, or null
};

}  // namespace nelko::base

#endif
