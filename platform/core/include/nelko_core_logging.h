/*
 * nelko_core_logging.h - logging through log handles.
 */
#ifndef NELKO_CORE_LOGGING_H
#define NELKO_CORE_LOGGING_H

#include <stdarg.h>

#include "nelko_core_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Logging ---------------------------------------------------------------------------- */

nelko_core_status nelko_core_logging_init(char const *ident, void **log_handle);
nelko_core_status nelko_core_logging_deinit(void *log_handle);
nelko_core_status nelko_core_logging_is_priority_active(void *log_handle,
                                                        nelko_core_log_priority priority,
                                                        unsigned int *active);
nelko_core_status nelko_core_logging_log(void *log_handle, nelko_core_log_priority priority,
                                         char const *format, ...)
    __attribute__((format(printf, 3, 4)));
nelko_core_status nelko_core_logging_logv(void *log_handle, nelko_core_log_priority priority,
                                          char const *format, va_list args)
    __attribute__((format(printf, 3, 0)));

#ifdef __cplusplus
}
#endif

#endif
