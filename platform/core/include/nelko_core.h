/*
 * nelko_core.h - the platform's core services library (libnelko-core).
 *
 * This is the C interface of the core library as the stream layout initiator and its Lua module
 * use it: IPC channels between processes (nelko_core_ipc.h), logging (nelko_core_logging.h),
 * settings and read-only configuration (nelko_core_settings.h) and the platform's core arrays
 * (nelko_core_arrays.h). On the device the platform's own library provides these functions; in
 * this tree a stand-in with the same C interface implements them, so that everything builds,
 * runs and is tested for real.
 *
 * Conventions of every function below:
 *  - The result is a nelko_core_status; 0 (NELKO_CORE_STATUS_NO_ERROR) is success.
 *  - A null handle, a null required text or a null out-pointer gives
 *    NELKO_CORE_STATUS_INVALID_PARAMS (1), never a crash.
 *  - Texts handed out through `char **` out-parameters are allocated with malloc/strdup and
 *    belong to the caller, who releases them with free().
 *  - Every function may be called from any thread unless its documentation says otherwise.
 */
#ifndef NELKO_CORE_H
#define NELKO_CORE_H

#include "nelko_core_types.h"
#include "nelko_core_arrays.h"
#include "nelko_core_ipc.h"
#include "nelko_core_logging.h"
#include "nelko_core_settings.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The name of a status: "NELKO_CORE_STATUS_NO_ERROR" ... "NELKO_CORE_STATUS_DISABLED_TARGET"
 * for 0..10, "NELKO_CORE_STATUS_UNKNOWN" for any other value. A static text, never null. */
char const *nelko_core_status_to_string(nelko_core_status status);

/* Process-wide set-up and tear-down. Every module of this library sets itself up on first use,
 * so both functions do nothing, may be called any number of times in any order and return 0.
 * Programs written for the platform call them around their use of the library. */
nelko_core_status nelko_core_init(void);
nelko_core_status nelko_core_deinit(void);

#ifdef __cplusplus
}
#endif

#endif
