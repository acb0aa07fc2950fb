// Turns what the settings, configuration and debug functions throw into statuses, so that nothing
// throws across the C interface.
#ifndef NELKO_CORE_SETTINGS_C_BOUNDARY_H
#define NELKO_CORE_SETTINGS_C_BOUNDARY_H

#include <new>
#include <system_error>

#include "nelko_core_types.h"

namespace nelko::core::settings {

// File system failures are I/O failures, reported as NELKO_CORE_STATUS_IPC_FAILED like the core
// library's other I/O.
template <class Function>
nelko_core_status status_of(Function&& function) noexcept {
  try {
    return function();
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
