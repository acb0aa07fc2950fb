#include "nelko_initiator_interfaces.h"

#include <stdexcept>
#include <string>

#include "nelko_core_ipc.h"

namespace {

constexpr std::uint32_t kMessagePoolCount = 10;

// The core library's response function: hands the response to the object it was registered for.
// Nothing may propagate into the core library's thread.
void initiatorResponseTrampoline(char** first, char** second, char** third, char** fourth,
                                 void* user) {
  try {
    static_cast<nelkoInitiatorInterfaces*>(user)->initiatorResponseCallback(first, second, third,
                                                                            fourth);
  } catch (...) {
  }
}

}  // namespace

nelkoInitiatorInterfaces::nelkoInitiatorInterfaces(void* ipc_handle, void* log_handle,
                                                   char const* initiator_name,
                                                   std::uint32_t version_major,
                                                   std::uint32_t version_minor)
    : nelkoInterfaces(log_handle, version_major, version_minor),
      m_ipcHandle(ipc_handle),
      m_ownsChannel(false),
      m_firstPool(log_handle, kMessagePoolCount),
      m_secondPool(log_handle, kMessagePoolCount) {
  if (ipc_handle != nullptr) return;
  m_ownsChannel = true;
  nelko_core_status status = nelko_core_ipc_initiator_init(log_handle, initiator_name, &m_ipcHandle);
  if (status != NELKO_CORE_STATUS_NO_ERROR) {
    std::string text = "nelkoInitiatorInterfaces: failed call to initiator init (" +
                       std::to_string(static_cast<int>(status)) + ")";
    IPC_LOG_ERR("%s", text.c_str());
    m_ipcHandle = nullptr;
    throw std::runtime_error(text);
  }
}

nelkoInitiatorInterfaces::~nelkoInitiatorInterfaces() {
  if (m_ownsChannel) {
    nelko_core_status status = nelko_core_ipc_deinit(m_ipcHandle);
    if (status != NELKO_CORE_STATUS_NO_ERROR) {
      IPC_LOG_ERR("%s: failed call to initiator deinit (%d)", "~nelkoInitiatorInterfaces",
                  static_cast<int>(status));
    }
  }
  m_ipcHandle = nullptr;
}

void nelkoInitiatorInterfaces::subclassResponseDispatch(char const*, char*, char*, json::Object&) {}

void nelkoInitiatorInterfaces::subclassEventDispatch(char const*, char const*, json::Object&) {}

nelko_core_status nelkoInitiatorInterfaces::registerResponseFunction() {
  return nelko_core_ipc_initiator_response_receive_callback(m_ipcHandle,
                                                            initiatorResponseTrampoline, this);
}

void nelkoInitiatorInterfaces::unregisterResponseFunction() {
  nelko_core_ipc_initiator_response_receive_callback(m_ipcHandle, nullptr, this);
}
