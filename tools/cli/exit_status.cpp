#include "exit_status.h"

namespace nelko::cli {

int exit_status_for_core_status(unsigned int status) {
  if (status == 0) return kExitSuccess;
  // The defined statuses end at 10 (NELKO_CORE_STATUS_DISABLED_TARGET); a target may still pass
  // on any number, which must not wrap around into another meaning modulo 256.
  if (status <= 10) return kExitStatusBase + static_cast<int>(status);
  return kExitUnknownStatus;
}

}  // namespace nelko::cli
