#include "i_stream_layout_initiator.h"

IStream_layoutInitiator::IStream_layoutInitiator(void* ipc_handle, void* log_handle,
                                                 char const* initiator_name)
    : nelkoInitiatorInterfaces(ipc_handle, log_handle, initiator_name, kVersionMajor,
                               kVersionMinor),
      dispatch_table_(
          dispatch_table_of(static_cast<nelko::stream_layout::Commands const*>(nullptr))) {}

IStream_layoutInitiator::~IStream_layoutInitiator() {
  // The registries and the table go before the base class closes an owned channel, and a
  // borrowed channel stays open: stop deliveries to this object before anything is destroyed.
  // Always, not only after a send_async: the withdrawal also makes the interfaces library forget
  // every request of this object that is still waiting for its response.
  unregisterResponseFunction();
}

void IStream_layoutInitiator::subclassResponseDispatch(char const* command, char* first_text,
                                                       char* uuid, json::Object& response) {
  if (command == nullptr) return;
  std::string_view const name(command);
  for (Dispatch const& entry : dispatch_table_) {
    if (entry.command == name) return (this->*entry.completion)(first_text, uuid, response);
  }
}

void IStream_layoutInitiator::check_target_version(unsigned int target_major,
                                                   unsigned int target_minor) const {
  if (target_major == m_versionMajor && target_minor == m_versionMinor) return;
  IPC_LOG_ERR("Stream_layout Initiator (version %d:%d) queried Target (version %d:%d)",
              static_cast<int>(m_versionMajor), static_cast<int>(m_versionMinor),
              static_cast<int>(target_major), static_cast<int>(target_minor));
}
