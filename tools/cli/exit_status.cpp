#include "exit_status.h"

namespace stream_layout_cli {

int ExitStatusForCoreStatus(unsigned int status) {
  if (status == 0) return kExitSuccess;
  // The defined statuses end at 10 (NELKO_CORE_STATUS_DISABLED_TARGET); a target may still pass
  // on any number, which must not wrap around into another meaning modulo 256.
  if (status <= 10) return kExitStatusBase + static_cast<int>(status);
  return kExitUnknownStatus;
}

}  // namespace stream_layout_cli
