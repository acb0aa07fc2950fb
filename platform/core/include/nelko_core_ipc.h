/*
 * nelko_core_ipc.h - IPC channels between initiators and targets.
 *
 * A target is a service process that serves one interface under a name; initiators send it
 * commands and it answers each with a response carrying the command's uuid. A target may also
 * send events to the initiators that subscribed to it.
 *
 *   initiator                                     target "camera" (interface "stream_layout")
 *   command_send("camera", "stream_layout",  --->  command callback / command_receive:
 *                uuid, payload)                     (reply_to, uuid, payload)
 *   response callback / response_receive:    <---  response_send(reply_to, uuid, payload)
 *   ("camera", "stream_layout", uuid, payload)
 *
 * Payloads are opaque texts to this library (JSON objects, by the platform's convention).
 *
 * EVERY COMMAND ENDS IN ONE RESPONSE
 * A command counts as outstanding on the connection it went out on until its response arrives.
 * A response that answers nothing outstanding on its connection (an identifier never sent there,
 * or answered already) is dropped with a log line. When a connection closes (the target died or
 * broke the framing), the core answers every command still outstanding on it itself, in the
 * order sent, with the payload {"status":4} (outcome unknown, as for any transport failure), so
 * that nobody waits for an answer that cannot come.
 *
 * CHANNELS AND THREADS
 * Each channel, initiator or target, owns one I/O thread, started by its init function and
 * joined by nelko_core_ipc_deinit. That thread ("the core library's thread") reads the sockets
 * of the channel and makes every callback of the channel, one at a time, in arrival order per
 * connection. An initiator channel keeps up to four connections to each target, one per lane;
 * each thread's commands go out on the connection of its lane (threads get lanes in turn), so
 * commands of one thread reach the target in the order sent, while those of different threads
 * may be served in any order. Events come on one connection per target. Thread hops: a send
 * writes directly from the calling thread when the socket takes the frame at once (the usual
 * case); only what the socket cannot take is queued and written by the I/O thread later, behind
 * which later sends of that connection queue up. A response pull
 * crosses no thread either: while no response callback is registered, a thread waiting in
 * nelko_core_ipc_initiator_response_receive reads the channel's sockets itself (one such
 * thread at a time; the others take what it queues), and events, as well as responses once a
 * callback is registered, are still handed to the I/O thread. While an initiator has no
 * callback of either kind, what arrives after a pull may wait in its socket until the next pull
 * reads it (a poll with 0 reads too); a closed or broken connection is noticed at once all the
 * same. A target's commands cross from the I/O thread to a puller through a queue.
 * Sends never wait for the peer: a peer that stops reading lets at most 4 MiB wait per
 * connection, after which sends to it fail with NELKO_CORE_STATUS_IPC_FAILED.
 *
 * Callbacks run on the I/O thread and should return promptly; while one runs, nothing else of
 * that channel is delivered. From a callback one may send, register and unregister (also the
 * running callback itself); a pull there never waits (it polls); deinit of the channel itself
 * returns NELKO_CORE_STATUS_MULTI_THREAD_ACCESS and does nothing.
 *
 * SOCKETS AND WHO MAY USE THEM
 * A target listens at <dir>/<target name>, where <dir> is $NELKO_IPC_DIR if set, else
 * $XDG_RUNTIME_DIR/nelko-ipc, else /tmp/nelko-ipc-<uid>. A target name is one path component
 * (not empty, no '/', not "." or ".."). A socket file left by a target that died is replaced; a
 * name in use by a running target is refused. Two modes:
 *   private (default)  <dir> is made with mode 0700 when missing; it must be a directory (not a
 *                      symbolic link) owned by this process's effective uid that no one else
 *                      may enter. Socket files get mode 0600. Peers are admitted when they run
 *                      as the same uid or as root (uid 0).
 *   group-shared       $NELKO_IPC_GROUP names a group (by name or number) for devices whose
 *                      programs run as several users. <dir> is made with mode 2770 and that
 *                      group when missing; it must be a directory owned by this uid or root,
 *                      of that group, with mode 0770 (setgid and sticky bits allowed): create it
 *                      at boot, e.g. `install -d -o root -g camera -m 2770 /run/camera-ipc`,
 *                      and set NELKO_IPC_DIR to it in every program. Socket files get mode 0660
 *                      and that group. Members of the group (primary or supplementary) are
 *                      admitted as well.
 * Every rule holds whichever way <dir> was chosen; a directory that breaks one is refused at
 * init (NELKO_CORE_STATUS_IPC_FAILED, with a log line). Each side checks the other with the
 * kernel's credentials of the peer (SO_PEERCRED): a target closes a connection from a process
 * that is not admitted, and an initiator does not send to a target that is not; either logs one
 * line naming the peer's uid. So a process running as root talks only to root, its own uid and
 * the group, never to another user's target that got hold of a socket name.
 *
 * BOUNDS ON A TARGET
 * What initiators can make a target hold is limited: at most 128 connections (more are closed
 * at once, with a log line, while the others are served on); per connection one frame being
 * received (up to 1 MiB) and 4 MiB of frames waiting to be sent; for all connections together
 * 32 MiB of received frames beyond 16 KiB each and of frames waiting to be sent (a frame that
 * does not fit closes its connection, a send that does not fit fails with
 * NELKO_CORE_STATUS_IPC_FAILED); 4096 commands or 16 MiB of them waiting to be pulled (see
 * PULLING). A frame must arrive whole within 5 s of its first bytes, else the connection is
 * closed.
 *
 * LOG LINES
 * Texts that peers chose (names, identifiers) appear in log lines escaped (see
 * nelko_core_logging.h). A cause that repeats (a peer that never reads, refused connections,
 * broken frames) is logged once; its repeats are counted and reported in one line once the cause
 * has been quiet for 10 s (or, for a peer that does not read, when it reads again or leaves).
 *
 * FRAMING (stream sockets)
 *   frame = length:u32 body            length = size of body in bytes, 1 .. 1048576 (1 MiB)
 *   body  = kind:u8 text*              text   = size:u32 bytes (any bytes)
 * All integers are big-endian. Kinds and their texts, in order:
 *   1 hello        initiator -> target   initiator name (sent first on every connection)
 *   2 command      initiator -> target   interface name, uuid, payload
 *   3 response     target -> initiator   interface name, uuid, payload
 *   4 subscribe    initiator -> target   (none)
 *   5 unsubscribe  initiator -> target   (none)
 *   6 event        target -> initiator   interface name, payload
 * A frame with a length of 0 or over 1 MiB, an unknown kind, the wrong number of texts or texts
 * that do not exactly fill the body closes that connection (with a log line) before anything
 * of it is allocated or delivered. Frames of an unexpected kind are ignored. Texts are handed to
 * C code NUL-terminated; a text holding a NUL byte is seen cut at it. A send whose frame would
 * exceed 1 MiB fails with NELKO_CORE_STATUS_INVALID_PARAMS.
 * The initiator name of a hello is 1 to 255 bytes without control bytes (NUL included), '#' or
 * '/'; a target closes a connection whose hello breaks that (with a log line), and
 * nelko_core_ipc_initiator_init refuses such a name with NELKO_CORE_STATUS_INVALID_PARAMS. The
 * first hello of a connection names it for good; later ones are ignored. Commands that come
 * before a hello carry the reply address "#<connection number>".
 *
 * TEXTS AND OWNERSHIP
 * Callbacks receive `char **` that point to malloc'ed texts owned by the core and valid during
 * the call. A callee may take a text over by setting the pointed-to pointer to NULL (it then
 * releases the text with free()); it must not store another pointer there. Every callee of a
 * delivery sees complete texts: one taken over by an earlier callee is copied again for the
 * next. Receive functions hand out malloc'ed texts that the caller releases with free(); on a
 * failure their out-pointers are set to NULL.
 *
 * CALLBACK REGISTRATION (the same rules for the three registration functions)
 * Registering (callback, user) adds the pair; a pair already present is left as it is, at the
 * cost of a short scan (no allocation, no system call), so it may be repeated before every
 * request. Each delivery goes to every registered pair, in registration order. Registering a
 * NULL callback removes every pair with that `user` and returns only when no call to a removed
 * pair is running any more, so that `user` may be destroyed right after; called from the I/O
 * thread itself, it only removes (it cannot wait for itself).
 *
 * PULLING
 * While no callback of a kind is registered, its deliveries are kept in a queue, oldest first,
 * for the receive function (at most 4096, and for a target 16 MiB of texts; beyond that the
 * oldest is dropped with a warning). A text handed to C code ends at its first NUL byte.
 * The receive function returns the oldest one, waiting up to timeout_ms milliseconds: 0 polls,
 * a negative value (initiator side) waits without limit. Statuses: 0 with the texts;
 * NELKO_CORE_STATUS_IPC_FAILED (4) when the time-out passes with nothing to return;
 * NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION (8) at once while a callback of that kind is
 * registered, and also for a caller already waiting when a callback gets registered. What is
 * queued when a callback gets registered is delivered to it on the I/O thread, oldest first and
 * ahead of anything that arrives later, so a target may register its callback after init
 * without losing the commands that came in between.
 *
 * STATUSES common to all functions: 0 success; 1 (INVALID_PARAMS) for a null or wrong-kind
 * handle, a null text or out-pointer where one is required, an invalid target name, a frame over
 * 1 MiB; 2 (ALLOC_FAILED) when memory runs out; 4 (IPC_FAILED) for socket failures as stated
 * below; 7 (INTERNAL_EXCEPTION_CAUGHT) for anything unexpected. Nothing is thrown.
 *
 * A channel must not be used while or after it is deinit'ed, and the log handle given at init
 * must outlive the channel. All other functions may be called from any thread concurrently.
 *
 *   void *ipc;
 *   nelko_core_ipc_initiator_init(log, "my-app", &ipc);
 *   nelko_core_ipc_initiator_command_send(ipc, "camera", "stream_layout", uuid, "{...}");
 *   char *first, *interface_name, *id, *payload;
 *   if (nelko_core_ipc_initiator_response_receive(ipc, 5000, &first, &interface_name, &id,
 *                                                 &payload) == NELKO_CORE_STATUS_NO_ERROR) {
 *     use(payload); free(first); free(interface_name); free(id); free(payload);
 *   }
 *   nelko_core_ipc_deinit(ipc);
 */
#ifndef NELKO_CORE_IPC_H
#define NELKO_CORE_IPC_H

#include "nelko_core_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One response: (target name, interface name, uuid, payload, user). The target name is the one
 * the command was sent to; for a command to an interface the target does not serve, the core
 * of the target answers itself with the payload {"status":8}. */
typedef void (*initiator_response_receive_callback)(char **, char **, char **, char **, void *);
/* One event: (target name, interface name, payload, user). */
typedef void (*initiator_event_receive_callback)(char **, char **, char **, void *);
/* One command: (reply_to, uuid, payload, user). reply_to names the initiator's connection as
 * "<initiator name>#<connection number>" and is what nelko_core_ipc_target_response_send takes;
 * connection numbers are not reused within a channel, and a reply address is taken only whole,
 * exactly as handed out, so no initiator name can make it name another connection. */
typedef void (*target_command_receive_callback)(char **, char **, char **, void *);

/* Opens an initiator channel named `initiator_name` (sent to each target it connects to; see
 * FRAMING for what a name may hold, else 1). It connects to no target yet. log_handle may be
 * NULL (default logger). Fails with 4 when the socket directory is unusable. */
nelko_core_status nelko_core_ipc_initiator_init(void *log_handle, char const *initiator_name,
                                                void **ipc_handle);
/* Opens a target channel listening as `target_name` for commands to `interface_name`.
 * interface_version is informative and may be NULL. Fails with 1 for an invalid name and with 4
 * when the directory is unusable, the name is in use or the socket cannot be made. */
nelko_core_status nelko_core_ipc_target_init(void *log_handle, char const *target_name,
                                             char const *interface_name,
                                             char const *interface_version, void **ipc_handle);
/* Closes every connection (a target also removes its socket file), joins the I/O thread and
 * releases the channel; queued deliveries are dropped. No callback of the channel runs after it
 * returns. Returns 3 and does nothing when called on the channel's own I/O thread. */
nelko_core_status nelko_core_ipc_deinit(void *ipc_handle);

/* Sends one command to `target`, connecting first if this channel has no connection to it (a
 * connection that broke is replaced). 4 at once when no target listens under that name or its
 * backlog is full, when the target runs as a user that is not admitted (see SOCKETS), when the
 * connection breaks or when 4 MiB already wait for it. Success means the frame was written or
 * queued, not that the target got it. */
nelko_core_status nelko_core_ipc_initiator_command_send(void *ipc_handle, char const *target,
                                                        char const *interface_name,
                                                        char const *uuid, char const *payload);
/* Pulls the oldest response (see PULLING); the four texts are as in the response callback. */
nelko_core_status nelko_core_ipc_initiator_response_receive(void *ipc_handle, int timeout_ms,
                                                            char **first, char **interface_name,
                                                            char **uuid, char **payload);
nelko_core_status nelko_core_ipc_initiator_response_receive_callback(
    void *ipc_handle, initiator_response_receive_callback callback, void *user_data);
/* Events are only delivered to callbacks; with none registered they are dropped. */
nelko_core_status nelko_core_ipc_initiator_event_receive_callback(
    void *ipc_handle, initiator_event_receive_callback callback, void *user_data);
/* Asks `target` for all its events (connecting if needed; 4 when it cannot be reached). The
 * subscription is renewed on each new connection to that target, which is made by the next send
 * or subscribe after the target restarted. Unsubscribing a target that is not connected
 * succeeds. */
nelko_core_status nelko_core_ipc_initiator_event_subscribe(void *ipc_handle, char const *target);
nelko_core_status nelko_core_ipc_initiator_event_unsubscribe(void *ipc_handle, char const *target);

/* Pulls the oldest command (see PULLING); timeout_ms 0 polls, there is no unlimited wait. */
nelko_core_status nelko_core_ipc_target_command_receive(void *ipc_handle, unsigned int timeout_ms,
                                                        char **reply_to, char **uuid,
                                                        char **payload);
nelko_core_status nelko_core_ipc_target_command_receive_callback(
    void *ipc_handle, target_command_receive_callback callback, void *user_data);
/* Answers the command that came with reply_to and uuid; the response carries the target's
 * interface name. 4 when reply_to names no open connection (the initiator left). */
nelko_core_status nelko_core_ipc_target_response_send(void *ipc_handle, char const *reply_to,
                                                      char const *uuid, char const *payload);
/* Sends one event to every subscribed initiator; 0 with no subscriber, 4 when the send to at
 * least one subscriber failed (the others still get it). */
nelko_core_status nelko_core_ipc_target_event_send(void *ipc_handle, char const *payload);

#ifdef __cplusplus
}
#endif

#endif
