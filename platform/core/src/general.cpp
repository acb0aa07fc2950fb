#include "nelko_core.h"

extern "C" {

char const* nelko_core_status_to_string(nelko_core_status status) {
  static constexpr char const* kNames[] = {
      "NELKO_CORE_STATUS_NO_ERROR",
      "NELKO_CORE_STATUS_INVALID_PARAMS",
      "NELKO_CORE_STATUS_ALLOC_FAILED",
      "NELKO_CORE_STATUS_MULTI_THREAD_ACCESS",
      "NELKO_CORE_STATUS_IPC_FAILED",
      "NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE",
      "NELKO_CORE_STATUS_SETTING_NOT_PRESENT",
      "NELKO_CORE_STATUS_INTERNAL_EXCEPTION_CAUGHT",
      "NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION",
      "NELKO_CORE_STATUS_REMOTE_FUNCTION_FAILURE",
      "NELKO_CORE_STATUS_DISABLED_TARGET",
  };
  // Through unsigned so that a negative value from a cast-in integer is out of range too.
  auto index = static_cast<unsigned>(status);
  return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "NELKO_CORE_STATUS_UNKNOWN";
}

nelko_core_status nelko_core_init(void) {
  return NELKO_CORE_STATUS_NO_ERROR;
}
nelko_core_status nelko_core_deinit(void) {
  return NELKO_CORE_STATUS_NO_ERROR;
}

}  // extern "C"
