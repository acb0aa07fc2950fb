// Making and destroying handles, the initiator's version and releasing request identifiers.
#include <cstdlib>

#include "base/export.h"
#include "initiator/i_stream_layout_initiator.h"
#include "nelko_api_stream_layout.h"

extern "C" {

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_initiator_init(
    void* ipc_handle, void* log_handle, void** handle, unsigned char /*reserved*/,
    char const* initiator_name) {
  if (handle == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  // Without a channel of the caller's, one is opened under this name, so it must be given.
  if (ipc_handle == nullptr && initiator_name == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  try {
    *handle = new IStream_layoutInitiator(ipc_handle, log_handle, initiator_name);
    return NELKO_CORE_STATUS_NO_ERROR;
  } catch (...) {
    return NELKO_CORE_STATUS_ALLOC_FAILED;
  }
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_initiator_deinit(void* handle) {
  nelkoInitiatorInterfaces::destroy(static_cast<IStream_layoutInitiator*>(handle));
  return NELKO_CORE_STATUS_NO_ERROR;
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_initiator_version(void* handle,
                                                                             unsigned int* major,
                                                                             unsigned int* minor) {
  if (major == nullptr || minor == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  // Every handle carries the same constant version, so the handle itself is not dereferenced.
  (void)handle;
  *major = IStream_layoutInitiator::kVersionMajor;
  *minor = IStream_layoutInitiator::kVersionMinor;
  return NELKO_CORE_STATUS_NO_ERROR;
}

NELKO_EXPORT void nelko_api_stream_layout_free_uuid(void* uuid) { std::free(uuid); }

}  // extern "C"
