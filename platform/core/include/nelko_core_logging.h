/*
 * nelko_core_logging.h - logging through log handles.
 *
 * A log handle names the program in each line it writes. Every line goes to standard error as
 *
 *   <ident>[<pid>]: <PRIORITY>: <message>\n
 *
 * where <PRIORITY> is EMERG, ALERT, CRIT, ERR, WARNING, NOTICE, INFO, DEBUG, AUDIT or NOTSET and
 * <message> is the printf-formatted text, whole (long messages are not cut). Each line is written
 * with a single write(2), so lines logged by several threads or processes at once never mix.
 *
 * A line is always one line of text that a terminal only shows: in <ident> and <message>, control
 * bytes (0x00-0x1f, 0x7f and the C1 controls U+0080-U+009F), bytes that are not part of
 * well-formed UTF-8 and the backslash are written as \xNN (lower-case hex), so that texts from
 * peers can neither end a line, forge another one nor send escape sequences to a terminal.
 * Printable UTF-8 is kept as it is; the C text "a\nb\\" comes out as a\x0ab\x5c.
 *
 * Threshold: a message is written when its priority value is at or below the threshold, i.e.
 * at least as important. The default threshold is NELKO_CORE_LOG_PRIORITY_INFO (6): DEBUG, AUDIT
 * and NOTSET are dropped. The environment variable NELKO_LOG_LEVEL, read when a handle is made
 * (and once for the default handle), sets it to a number 0..9 or a priority name ("debug" and
 * "DEBUG" alike); an unreadable value keeps the default.
 *
 * The null handle is valid wherever a log handle is taken and stands for a default logger with
 * ident "nelko". Deinit of the null handle does nothing and succeeds.
 *
 * Thread safety: every function may be called from any thread, with one exception: a handle
 * must not be used while or after it is deinit'ed. Objects that borrow a handle (IPC channels,
 * initiators) must be closed before it.
 *
 *   void *log = NULL;
 *   nelko_core_logging_init("camera-app", &log);
 *   nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_WARNING, "retrying %s", name);
 *   nelko_core_logging_deinit(log);
 *
 * Statuses: 0 on success; 1 for a null out-pointer, a null format or a priority outside 0..9;
 * 2 when init cannot allocate the handle.
 */
#ifndef NELKO_CORE_LOGGING_H
#define NELKO_CORE_LOGGING_H

#include <stdarg.h>

#include "nelko_core_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Makes a handle that logs under `ident` (copied; null means "nelko"). */
nelko_core_status nelko_core_logging_init(char const *ident, void **log_handle);
/* Releases a handle made by nelko_core_logging_init. */
nelko_core_status nelko_core_logging_deinit(void *log_handle);
/* Sets *active to 1 when a message of `priority` would be written, else 0. */
nelko_core_status nelko_core_logging_is_priority_active(void *log_handle,
                                                        nelko_core_log_priority priority,
                                                        unsigned int *active);
/* Writes one line if `priority` passes the threshold; a dropped message still returns 0. */
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
