/*
 * nelko_core.h - the platform's core services library (libnelko-core).
 *
 * This is the C interface of the core library as the stream layout initiator and its Lua module
 * use it: IPC channels between processes, logging, settings, read-only configuration and the
 * platform's "core arrays". On the device the platform's own library provides these functions;
 * in this tree a stand-in with the same C interface implements them, so that everything builds,
 * runs and is tested for real.
 *
 * Conventions of every function below:
 *  - The result is a nelko_core_status; 0 (NELKO_CORE_STATUS_NO_ERROR) is success.
 *  - A null out-pointer gives NELKO_CORE_STATUS_INVALID_PARAMS (1), never a crash.
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

/* ---- General ---------------------------------------------------------------------------- */

/* "NELKO_CORE_STATUS_NO_ERROR" ... for the defined values; a static text, never null. */
char const *nelko_core_status_to_string(nelko_core_status status);
nelko_core_status nelko_core_init(void);
nelko_core_status nelko_core_deinit(void);

#ifdef __cplusplus
}
#endif

#endif
