/*
 * nelko_core_ipc.h - IPC channels between initiators and targets.
 */
#ifndef NELKO_CORE_IPC_H
#define NELKO_CORE_IPC_H

#include "nelko_core_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- IPC -------------------------------------------------------------------------------- */

/* Delivers one response on the channel's I/O thread: (first, interface, uuid, payload, user).
 * The texts belong to the core and are valid during the call only; a callee may take one over
 * by setting the pointer it points at to NULL, and then releases it with free(). */
typedef void (*initiator_response_receive_callback)(char **, char **, char **, char **, void *);
/* Delivers one event on the channel's I/O thread: (target, event, payload, user). */
typedef void (*initiator_event_receive_callback)(char **, char **, char **, void *);
/* Delivers one command on the target channel's I/O thread: (reply_to, uuid, payload, user). */
typedef void (*target_command_receive_callback)(char **, char **, char **, void *);

nelko_core_status nelko_core_ipc_initiator_init(void *log_handle, char const *initiator_name,
                                                void **ipc_handle);
nelko_core_status nelko_core_ipc_target_init(void *log_handle, char const *target_name,
                                             char const *interface_name,
                                             char const *interface_version, void **ipc_handle);
nelko_core_status nelko_core_ipc_deinit(void *ipc_handle);

nelko_core_status nelko_core_ipc_initiator_command_send(void *ipc_handle, char const *target,
                                                        char const *interface_name,
                                                        char const *uuid, char const *payload);
nelko_core_status nelko_core_ipc_initiator_response_receive(void *ipc_handle, int timeout_ms,
                                                            char **first, char **interface_name,
                                                            char **uuid, char **payload);
nelko_core_status nelko_core_ipc_initiator_response_receive_callback(
    void *ipc_handle, initiator_response_receive_callback callback, void *user_data);
nelko_core_status nelko_core_ipc_initiator_event_receive_callback(
    void *ipc_handle, initiator_event_receive_callback callback, void *user_data);
nelko_core_status nelko_core_ipc_initiator_event_subscribe(void *ipc_handle, char const *target);
nelko_core_status nelko_core_ipc_initiator_event_unsubscribe(void *ipc_handle, char const *target);

nelko_core_status nelko_core_ipc_target_command_receive(void *ipc_handle, unsigned int timeout_ms,
                                                        char **reply_to, char **uuid,
                                                        char **payload);
nelko_core_status nelko_core_ipc_target_command_receive_callback(
    void *ipc_handle, target_command_receive_callback callback, void *user_data);
nelko_core_status nelko_core_ipc_target_response_send(void *ipc_handle, char const *reply_to,
                                                      char const *uuid, char const *payload);
nelko_core_status nelko_core_ipc_target_event_send(void *ipc_handle, char const *payload);

#ifdef __cplusplus
}
#endif

#endif
