// Turns what the settings, configuration and debug functions throw into statuses, so that nothing
// throws across the C interface.
#ifndef NELKO_CORE_SETTINGS_C_BOUNDARY_H
#define NELKO_CORE_SETTINGS_C_BOUNDARY_H

#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "nelko_core_logging.h"
#include "nelko_core_types.h"

namespace nelko::core::settings {

// A file or a change that the store will not accept (a symbolic link, a file too large, a file in
// use by another process): the status the caller gets and the line that explains it in the log.
class Refusal : public std::runtime_error {
 public:
  Refusal(nelko_core_status status, std::string const& reason)
      : std::runtime_error(reason), status_(status) {}
  nelko_core_status status() const noexcept { return status_; }

 private:
  nelko_core_status status_;
};

// File system failures are I/O failures, reported as NELKO_CORE_STATUS_IPC_FAILED like the core
// library's other I/O. A refusal is logged once, here, with the default log handle: the settings
// functions take none.
template <class Function>
nelko_core_status status_of(Function&& function) noexcept {
  try {
    return function();
  } catch (Refusal const& refusal) {
    nelko_core_logging_log(nullptr, NELKO_CORE_LOG_PRIORITY_ERR, "settings: %s", refusal.what());
    return refusal.status();
  } catch (std::bad_alloc const&) {
    return NELKO_CORE_STATUS_ALLOC_FAILED;
  } catch (std::system_error const&) {
    return NELKO_CORE_STATUS_IPC_FAILED;
  } catch (...) {
    return NELKO_CORE_STATUS_INTERNAL_EXCEPTION_CAUGHT;
  }
}

// For the functions that answer with a pointer or a truth value: null or false for any failure.
template <class Function>
auto value_or_empty(Function&& function) noexcept -> decltype(function()) {
  try {
    return function();
  } catch (...) {
    return {};
  }
}

}  // namespace nelko::core::settings

#endif
