/*
 * nelko_api_stream_layout.h - client ("initiator") library of the stream_layout service.
 *
 * The stream_layout service (the "target", another process) decides how the camera image is cut
 * into facets and placed into each output stream, keeps two sets of regions of interest (ROIs)
 * and converts a point of a stream into pan and tilt. This library turns function calls into
 * requests to that service and its responses back into plain values. C99 and C++.
 *
 *   void *log = NULL, *h = NULL;
 *   nelko_core_logging_init("my_app", &log);
 *   nelko_api_stream_layout_initiator_init(NULL, log, &h, 0, "my_app");
 *   unsigned int num = 0;
 *   if (nelko_api_stream_layout_get_num_roi_send(h, "stream_layout", &num) == 0) ...
 *   nelko_api_stream_layout_initiator_deinit(h);
 *
 * STATUS. Every function returns a nelko_core_status (only nelko_api_stream_layout_free_uuid
 * returns nothing); 0 is success. Nothing throws. The statuses:
 *   1 INVALID_PARAMS  a null handle (deinit and _get_initiator_version accept one) or a null
 *                     out-pointer (R, uuid_out, init's handle, the version's major and minor):
 *                     refused before anything is sent, received or stored; a null layout list
 *                     passed to "Set_stream_layout" (logged as a warning; nothing is sent); a
 *                     target name that the core library refuses (see TARGET); an identifier of
 *                     another command passed to a receive form; a layout variable that is not
 *                     NULL (see LAYOUT LISTS); or the target refused the values (bad stream
 *                     index, out-of-range values).
 *   2 ALLOC_FAILED    init could not build the handle (also when its IPC channel cannot be
 *                     opened: the core library logs why, then init logs one error line);
 *                     memory ran out.
 *   3 MULTI_THREAD_ACCESS  two threads receive the same identifier at the same time (the
 *                     second is refused).
 *   4 IPC_FAILED      the request could not be sent; no response came within the time-out; the
 *                     connection to the target dropped while the request waited (at once, not
 *                     at the end of the time-out); a receive with an identifier that is unknown
 *                     or whose response was already taken (at once); or an internal error was
 *                     caught (never a crash).
 *   8 UNSUPPORTED_FUNCTION  the target does not know the command.
 *   any other         passed on unchanged from the core library or from the target's "status".
 *
 * TARGET. `target` names the service instance to talk to (the simulated service and the device
 * both serve "stream_layout" by default); it is passed on unchanged, never examined here. The
 * core library refuses with 1, sending nothing, a NULL name and one that is not a file name in
 * the IPC directory (empty, holding '/', "." or "..", or making a socket path too long).
 *
 * TIME-OUTS are in milliseconds: 0 takes a response that has already arrived and otherwise
 * returns 4 at once; a negative value waits without limit. No call waits much longer than its
 * time-out, also when the target hangs or is gone. A _send_with_timeout with 0 still sends the
 * request, which the target carries out: it nearly always returns 4 all the same.
 * A response that arrives while nobody waits for it is kept for a receive form for 30 s from
 * its arrival, then dropped with a log line; a receive after that returns 4. So the answers to
 * requests given up on (a _send or _send_with_timeout that returned 4, an identifier released
 * with nelko_api_stream_layout_free_uuid) cost memory for 30 s only. Likewise a request whose
 * receive returned 4 on its time-out, and whose response has not come 30 s later, is forgotten
 * with a log line (a target that never answers cannot make them pile up): a receive after that
 * returns 4 at once, and a response that comes later still is dropped with the core library's
 * log line for an answer to a request that is not outstanding ("... given up and forgotten").
 * A request that nobody ever waited for (an asynchronous one cancelled before its response came,
 * a non-blocking one whose identifier was released without a receive) keeps about 300 bytes
 * until its response comes, its connection closes or the handle is deinitialized.
 *
 * CALL FORMS. Each of the seven commands comes in these forms (P: the command's parameters, R:
 * its results, both listed with the command below; every pointer in R must be non-NULL):
 *
 *   _send(handle, target, P, R)
 *       Sends and waits up to 5000 ms for the response. On 0, R is written; on any other status
 *       R is left untouched, except when reading a response that arrived fails part-way: what
 *       was read before the failure stays written (see LAYOUT LISTS). The request identifier is
 *       made and released inside; the caller never sees it.
 *   _send_with_timeout(handle, target, timeout, P, R)
 *       The same with the caller's time-out.
 *   _non_blocking_send(handle, target, uuid_out, P)
 *       Sends and returns at once. Whatever the status (uuid_out itself must not be NULL),
 *       *uuid_out is set: to the request identifier, a 36-character text allocated by the
 *       library, or to NULL when none was made (a null handle, no memory). The identifier
 *       belongs to the caller, also when the send failed: pass it to a receive form or release
 *       it with nelko_api_stream_layout_free_uuid.
 *   _receive(handle, blocking, target, uuid, R)
 *   _receive_with_timeout(handle, target, timeout, uuid, R)
 *       Collects the response of a _non_blocking_send of the same handle and command: waits
 *       5000 ms when `blocking` is non-zero, takes only a response already there when it is 0,
 *       or waits `timeout`. Who owns `uuid` afterwards:
 *         0: the call released it; it must not be used again.
 *         any other status: it is still the caller's, who releases it when done with it. After
 *           a time-out (4, no response yet) a receive may be called again: the response is kept
 *           for 30 s from its arrival, and a request without one for 30 s from the time-out (see
 *           TIME-OUTS). An identifier of another command returns 1 and leaves that response for
 *           the right receive. Once a response has been taken (the target's non-zero status, or
 *           a failure reading the response), a further receive with it returns 4 at once.
 *         "__get_target_version__" releases its identifier as soon as a response with status 0
 *           has been taken, before reading it: after such a response the identifier is gone
 *           whatever the call returns (0, or 4 when reading failed). After any other status it
 *           is the caller's, as above.
 *   _send_async(handle, target, P, callback, user_data)
 *       Sends and returns at once; `callback` is called once for each response to the request
 *       (see CALLBACKS). The returned status says whether the request went out. The request
 *       stays registered until _cancel_async withdraws it (a completed request is NOT removed):
 *       a client sends, gets its callbacks, then cancels the pairs it no longer expects. A
 *       request whose status is not 0 may be registered all the same: cancel it likewise.
 *   _cancel_async(handle, callback, user_data)
 *       Withdraws every pending request of this command on this handle whose callback AND
 *       user_data both equal the given ones; returns 0, also when nothing matched. When it
 *       returns, none of the withdrawn callbacks is running or will ever run.
 *
 * CALLBACKS. This is all a callback may do; nothing else is promised.
 * It runs on the I/O thread of the handle's channel (never on a thread of the caller), once per
 * request: for its response, or with status 4 when the connection to the target dropped before
 * the response came. A response that cannot be read (not JSON, no numeric "status", or with
 * status 0 a result that is missing or of the wrong kind) calls nothing, and its request stays
 * without an answer: it is logged as an error "Threw an exception in function ...", except one
 * that is not JSON, which is dropped without a line. (The synchronous forms return 4 for the
 * first two, and read a missing or mistyped result as 0 or an empty list.)
 * No lock of the library is held while a callback runs. Its arguments: first_text, the name of
 * the target that answered (valid during the call only); status, the target's status, or 4 as
 * above; the results, 0 / NULL unless the status is 0 (layout lists are released when the
 * callback returns: copy what you keep); user_data. It should return promptly: nothing else of
 * its channel is delivered meanwhile. From a callback one may
 *   - call _send_async and _cancel_async of any command on any handle, its own included (a
 *     callback that cancels its own pair does not wait for itself);
 *   - deinit its own handle: deinit returns 0 at once, and no other callback of the handle runs.
 *     The handle is destroyed as soon as this callback has returned (a channel the handle opened
 *     itself is then closed by a thread of the library). Until the callback returns, only
 *     _cancel_async may still be called on that handle (_send_async returns 1);
 *   - deinit another handle of the same channel: as from any thread, nothing of that handle runs
 *     once deinit has returned;
 *   - call the synchronous and non-blocking forms; but a call that would have to wait for a
 *     response on the SAME channel cannot get it, since that response is delivered by the
 *     thread the callback holds: it takes a response already there, or returns 4 at once. Use
 *     _send_async there, or a handle on another channel.
 * Two calls wait for a running callback: _cancel_async of that callback's own pair (from
 * another thread) and deinit of its handle. So a callback must not wait for a thread that is
 * making such a call, and must not deinit, or cancel the running pair of, a handle of ANOTHER
 * channel whose callbacks may do the same to its own handle: the two I/O threads would wait for
 * each other.
 *
 * LAYOUT LISTS ("unsigned int **"). A list of n values is an array of n + 1 pointers; the first n
 * point to separately allocated unsigned ints, the last is NULL. Make and release them with
 * nelko_core_alloc_uint_array / nelko_core_free_uint_array (libnelko-core). Lists passed to
 * _set_stream_layout_* are only read. Lists returned by _get_stream_layout_send/_receive belong to
 * the caller (release each with nelko_core_free_uint_array); the nine `unsigned int **` variables
 * that R points at must hold NULL on entry (status 1 otherwise, logged as "...:failed
 * converting UINT array (1)"; this is found only when the response is read, so the request has
 * gone out and its response is spent). When reading a response fails part-way (status 1, 2 or
 * 4 after the response arrived), the lists converted before the failure are already in their
 * variables: release every variable that is not NULL.
 *
 * THREADS. All functions may be called from several threads on one handle at the same time,
 * except _initiator_init and _initiator_deinit, which must not overlap any other call on that
 * handle (for deinit from a callback see CALLBACKS). Several handles may share one IPC channel.
 * Sync, non-blocking and async requests may be mixed on one handle and on one channel: each
 * response reaches the request that sent it. The requests of one thread reach the service in
 * the order they were sent; those of different threads may be served in any order.
 */
#ifndef NELKO_API_STREAM_LAYOUT_H
#define NELKO_API_STREAM_LAYOUT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Also defined, identically, by the core library's header. */
#ifndef NELKO_CORE_STATUS_DEFINED
#define NELKO_CORE_STATUS_DEFINED
typedef enum nelko_core_status {
  NELKO_CORE_STATUS_NO_ERROR = 0,
  NELKO_CORE_STATUS_INVALID_PARAMS = 1,
  NELKO_CORE_STATUS_ALLOC_FAILED = 2,
  NELKO_CORE_STATUS_MULTI_THREAD_ACCESS = 3,
  NELKO_CORE_STATUS_IPC_FAILED = 4,
  NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE = 5,
  NELKO_CORE_STATUS_SETTING_NOT_PRESENT = 6,
  NELKO_CORE_STATUS_INTERNAL_EXCEPTION_CAUGHT = 7,
  NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION = 8,
  NELKO_CORE_STATUS_REMOTE_FUNCTION_FAILURE = 9,
  NELKO_CORE_STATUS_DISABLED_TARGET = 10
} nelko_core_status;
#endif

/* The facet a placement produces: the values of the "destination_type" layout list. Values 23 to
 * 47 are not facets. */
typedef enum StreamLayoutFacet {
  kStreamLayoutFacetFullFrame = 0,
  kStreamLayoutFacetCubeFaceFront = 1,
  kStreamLayoutFacetCubeFaceBack = 2,
  kStreamLayoutFacetCubeFaceLeft = 3,
  kStreamLayoutFacetCubeFaceRight = 4,
  kStreamLayoutFacetCubeFaceUp = 5,
  kStreamLayoutFacetCubeFaceDown = 6,
  /* Cell (x, y) of a 4 x 4 grid is 7 + x + 4 * y. */
  kStreamLayoutFacetGridXY00 = 7,
  kStreamLayoutFacetGridXY10 = 8,
  kStreamLayoutFacetGridXY20 = 9,
  kStreamLayoutFacetGridXY30 = 10,
  kStreamLayoutFacetGridXY01 = 11,
  kStreamLayoutFacetGridXY11 = 12,
  kStreamLayoutFacetGridXY21 = 13,
  kStreamLayoutFacetGridXY31 = 14,
  kStreamLayoutFacetGridXY02 = 15,
  kStreamLayoutFacetGridXY12 = 16,
  kStreamLayoutFacetGridXY22 = 17,
  kStreamLayoutFacetGridXY32 = 18,
  kStreamLayoutFacetGridXY03 = 19,
  kStreamLayoutFacetGridXY13 = 20,
  kStreamLayoutFacetGridXY23 = 21,
  kStreamLayoutFacetGridXY33 = 22,
  /* Equirectangular projections 0..F. */
  kStreamLayoutFacetEquirect0 = 48,
  kStreamLayoutFacetEquirect1 = 49,
  kStreamLayoutFacetEquirect2 = 50,
  kStreamLayoutFacetEquirect3 = 51,
  kStreamLayoutFacetEquirect4 = 52,
  kStreamLayoutFacetEquirect5 = 53,
  kStreamLayoutFacetEquirect6 = 54,
  kStreamLayoutFacetEquirect7 = 55,
  kStreamLayoutFacetEquirect8 = 56,
  kStreamLayoutFacetEquirect9 = 57,
  kStreamLayoutFacetEquirectA = 58,
  kStreamLayoutFacetEquirectB = 59,
  kStreamLayoutFacetEquirectC = 60,
  kStreamLayoutFacetEquirectD = 61,
  kStreamLayoutFacetEquirectE = 62,
  kStreamLayoutFacetEquirectF = 63,
  /* Immersive projections 0..F. */
  kStreamLayoutFacetImmersive0 = 64,
  kStreamLayoutFacetImmersive1 = 65,
  kStreamLayoutFacetImmersive2 = 66,
  kStreamLayoutFacetImmersive3 = 67,
  kStreamLayoutFacetImmersive4 = 68,
  kStreamLayoutFacetImmersive5 = 69,
  kStreamLayoutFacetImmersive6 = 70,
  kStreamLayoutFacetImmersive7 = 71,
  kStreamLayoutFacetImmersive8 = 72,
  kStreamLayoutFacetImmersive9 = 73,
  kStreamLayoutFacetImmersiveA = 74,
  kStreamLayoutFacetImmersiveB = 75,
  kStreamLayoutFacetImmersiveC = 76,
  kStreamLayoutFacetImmersiveD = 77,
  kStreamLayoutFacetImmersiveE = 78,
  kStreamLayoutFacetImmersiveF = 79,
  kStreamLayoutFacetMetadata = 80
} StreamLayoutFacet;

/* Which of the two ROI sets is addressed: the pending one, or the one in effect. */
typedef enum RoiSet { kRoiPendingSet = 0, kRoiActiveSet = 1 } RoiSet;

/* ---- Lifecycle ---------------------------------------------------------------------------- */

/* Makes a handle. ipc_handle: a channel of the core library to use (borrowed: never closed by
 * this library), or NULL to open a channel of its own named initiator_name (closed again by
 * deinit). log_handle: from nelko_core_logging_init, or NULL for the default logger; every log
 * line of this handle goes through it, so it must outlive the handle and a channel the handle
 * opened. reserved: ignored. Nothing is sent to the target.
 * Returns 0 and stores the handle; 1 when handle is NULL, or ipc_handle and initiator_name
 * both are; 2 when the handle cannot be built (an
 * own channel that cannot be opened logs one error line); *handle is untouched on failure. */
nelko_core_status nelko_api_stream_layout_initiator_init(void* ipc_handle, void* log_handle,
                                                         void** handle, unsigned char reserved,
                                                         char const* initiator_name);

/* Destroys a handle (NULL is accepted) and returns 0. Pending async requests are dropped without
 * a call; when it returns no callback of this handle runs or will run, also when the channel is
 * borrowed and stays open (from a callback of the handle itself, see CALLBACKS). A channel the
 * handle opened itself is closed. Identifiers that its _non_blocking_send forms handed out stay
 * the caller's: release them with nelko_api_stream_layout_free_uuid. */
nelko_core_status nelko_api_stream_layout_initiator_deinit(void* handle);

/* Stores this library's interface version, 0.9; 1 when major or minor is NULL. */
nelko_core_status nelko_api_stream_layout_get_initiator_version(void* handle, unsigned int* major,
                                                                unsigned int* minor);

/* Releases a request identifier handed out by a _non_blocking_send form and not released by a
 * receive form (see _receive); NULL does nothing. */
void nelko_api_stream_layout_free_uuid(void* uuid);

/* ---- Commands ----------------------------------------------------------------------------- */

/* "__get_target_version__": asks the target for its interface version, sending this library's
 * own (0.9). P: none. R: target_major, target_minor. A version other than 0.9 is logged as an
 * error line "Stream_layout Initiator (version 0:9) queried Target (version M:N)" and is not an
 * error: the status stays 0. No _send_with_timeout / _receive_with_timeout forms. */
typedef void (*nelko_api_stream_layout___get_target_version___method_callback_func_ptr)(
    char* first_text, nelko_core_status status, unsigned int target_major,
    unsigned int target_minor, void* user_data);
nelko_core_status nelko_api_stream_layout___get_target_version___send(void* handle,
                                                                      char const* target,
                                                                      unsigned int* target_major,
                                                                      unsigned int* target_minor);
nelko_core_status nelko_api_stream_layout___get_target_version___non_blocking_send(
    void* handle, char const* target, void** uuid_out);
nelko_core_status nelko_api_stream_layout___get_target_version___receive(
    void* handle, unsigned char blocking, char const* target, void* uuid,
    unsigned int* target_major, unsigned int* target_minor);
nelko_core_status nelko_api_stream_layout___get_target_version___send_async(
    void* handle, char const* target,
    nelko_api_stream_layout___get_target_version___method_callback_func_ptr callback,
    void* user_data);
nelko_core_status nelko_api_stream_layout___get_target_version___cancel_async(
    void* handle, nelko_api_stream_layout___get_target_version___method_callback_func_ptr callback,
    void* user_data);

/* "Get_stream_layout": reads the layout of output stream stream_index. P: stream_index.
 * R: the nine layout lists (see LAYOUT LISTS), in this order: the source rectangle (upper-left x,
 * upper-left y, width, height), the facet (a StreamLayoutFacet), the destination rectangle in the
 * stream (upper-left x, upper-left y, width, height); rectangles in millipercent of the full
 * extent (100000 = all of it). Entry i of every list belongs to placement i. */
typedef void (*nelko_api_stream_layout_get_stream_layout_method_callback_func_ptr)(
    char* first_text, nelko_core_status status, unsigned int** source_upper_left_x_millipercent,
    unsigned int** source_upper_left_y_millipercent, unsigned int** source_width_millipercent,
    unsigned int** source_height_millipercent, unsigned int** destination_type,
    unsigned int** destination_upper_left_x_millipercent,
    unsigned int** destination_upper_left_y_millipercent,
    unsigned int** destination_width_millipercent, unsigned int** destination_height_millipercent,
    void* user_data);
nelko_core_status nelko_api_stream_layout_get_stream_layout_send(
    void* handle, char const* target, unsigned int stream_index,
    unsigned int*** source_upper_left_x_millipercent,
    unsigned int*** source_upper_left_y_millipercent, unsigned int*** source_width_millipercent,
    unsigned int*** source_height_millipercent, unsigned int*** destination_type,
    unsigned int*** destination_upper_left_x_millipercent,
    unsigned int*** destination_upper_left_y_millipercent,
    unsigned int*** destination_width_millipercent,
    unsigned int*** destination_height_millipercent);
nelko_core_status nelko_api_stream_layout_get_stream_layout_send_with_timeout(
    void* handle, char const* target, int timeout, unsigned int stream_index,
    unsigned int*** source_upper_left_x_millipercent,
    unsigned int*** source_upper_left_y_millipercent, unsigned int*** source_width_millipercent,
    unsigned int*** source_height_millipercent, unsigned int*** destination_type,
    unsigned int*** destination_upper_left_x_millipercent,
    unsigned int*** destination_upper_left_y_millipercent,
    unsigned int*** destination_width_millipercent,
    unsigned int*** destination_height_millipercent);
nelko_core_status nelko_api_stream_layout_get_stream_layout_non_blocking_send(
    void* handle, char const* target, void** uuid_out, unsigned int stream_index);
nelko_core_status nelko_api_stream_layout_get_stream_layout_receive(
    void* handle, unsigned char blocking, char const* target, void* uuid,
    unsigned int*** source_upper_left_x_millipercent,
    unsigned int*** source_upper_left_y_millipercent, unsigned int*** source_width_millipercent,
    unsigned int*** source_height_millipercent, unsigned int*** destination_type,
    unsigned int*** destination_upper_left_x_millipercent,
    unsigned int*** destination_upper_left_y_millipercent,
    unsigned int*** destination_width_millipercent,
    unsigned int*** destination_height_millipercent);
nelko_core_status nelko_api_stream_layout_get_stream_layout_receive_with_timeout(
    void* handle, char const* target, int timeout, void* uuid,
    unsigned int*** source_upper_left_x_millipercent,
    unsigned int*** source_upper_left_y_millipercent, unsigned int*** source_width_millipercent,
    unsigned int*** source_height_millipercent, unsigned int*** destination_type,
    unsigned int*** destination_upper_left_x_millipercent,
    unsigned int*** destination_upper_left_y_millipercent,
    unsigned int*** destination_width_millipercent,
    unsigned int*** destination_height_millipercent);
nelko_core_status nelko_api_stream_layout_get_stream_layout_send_async(
    void* handle, char const* target, unsigned int stream_index,
    nelko_api_stream_layout_get_stream_layout_method_callback_func_ptr callback, void* user_data);
nelko_core_status nelko_api_stream_layout_get_stream_layout_cancel_async(
    void* handle, nelko_api_stream_layout_get_stream_layout_method_callback_func_ptr callback,
    void* user_data);

/* "Set_stream_layout": replaces the layout of output stream stream_index. P: stream_index and the
 * nine lists, as for "Get_stream_layout"; none may be NULL (status 1, logged as a warning naming
 * the first null list; nothing is sent). An empty list (only the NULL terminator) is fine.
 * R: none. */
typedef void (*nelko_api_stream_layout_set_stream_layout_method_callback_func_ptr)(
    char* first_text, nelko_core_status status, void* user_data);
nelko_core_status nelko_api_stream_layout_set_stream_layout_send(
    void* handle, char const* target, unsigned int stream_index,
    unsigned int** source_upper_left_x_millipercent,
    unsigned int** source_upper_left_y_millipercent, unsigned int** source_width_millipercent,
    unsigned int** source_height_millipercent, unsigned int** destination_type,
    unsigned int** destination_upper_left_x_millipercent,
    unsigned int** destination_upper_left_y_millipercent,
    unsigned int** destination_width_millipercent, unsigned int** destination_height_millipercent);
nelko_core_status nelko_api_stream_layout_set_stream_layout_send_with_timeout(
    void* handle, char const* target, int timeout, unsigned int stream_index,
    unsigned int** source_upper_left_x_millipercent,
    unsigned int** source_upper_left_y_millipercent, unsigned int** source_width_millipercent,
    unsigned int** source_height_millipercent, unsigned int** destination_type,
    unsigned int** destination_upper_left_x_millipercent,
    unsigned int** destination_upper_left_y_millipercent,
    unsigned int** destination_width_millipercent, unsigned int** destination_height_millipercent);
nelko_core_status nelko_api_stream_layout_set_stream_layout_non_blocking_send(
    void* handle, char const* target, void** uuid_out, unsigned int stream_index,
    unsigned int** source_upper_left_x_millipercent,
    unsigned int** source_upper_left_y_millipercent, unsigned int** source_width_millipercent,
    unsigned int** source_height_millipercent, unsigned int** destination_type,
    unsigned int** destination_upper_left_x_millipercent,
    unsigned int** destination_upper_left_y_millipercent,
    unsigned int** destination_width_millipercent, unsigned int** destination_height_millipercent);
nelko_core_status nelko_api_stream_layout_set_stream_layout_receive(void* handle,
                                                                    unsigned char blocking,
                                                                    char const* target, void* uuid);
nelko_core_status nelko_api_stream_layout_set_stream_layout_receive_with_timeout(void* handle,
                                                                                 char const* target,
                                                                                 int timeout,
                                                                                 void* uuid);
nelko_core_status nelko_api_stream_layout_set_stream_layout_send_async(
    void* handle, char const* target, unsigned int stream_index,
    unsigned int** source_upper_left_x_millipercent,
    unsigned int** source_upper_left_y_millipercent, unsigned int** source_width_millipercent,
    unsigned int** source_height_millipercent, unsigned int** destination_type,
    unsigned int** destination_upper_left_x_millipercent,
    unsigned int** destination_upper_left_y_millipercent,
    unsigned int** destination_width_millipercent, unsigned int** destination_height_millipercent,
    nelko_api_stream_layout_set_stream_layout_method_callback_func_ptr callback, void* user_data);
nelko_core_status nelko_api_stream_layout_set_stream_layout_cancel_async(
    void* handle, nelko_api_stream_layout_set_stream_layout_method_callback_func_ptr callback,
    void* user_data);

/* "Stream_point_to_pan_tilt": the pan and tilt, in degrees, that the point (x, y) of stream
 * stream_index shows; x and y in millipercent of the stream. P: stream_index, x, y. R: pan,
 * tilt. */
typedef void (*nelko_api_stream_layout_stream_point_to_pan_tilt_method_callback_func_ptr)(
    char* first_text, nelko_core_status status, double pan, double tilt, void* user_data);
nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_send(void* handle,
                                                                        char const* target,
                                                                        unsigned int stream_index,
                                                                        double x, double y,
                                                                        double* pan, double* tilt);
nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_send_with_timeout(
    void* handle, char const* target, int timeout, unsigned int stream_index, double x, double y,
    double* pan, double* tilt);
nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_non_blocking_send(
    void* handle, char const* target, void** uuid_out, unsigned int stream_index, double x,
    double y);
nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_receive(void* handle,
                                                                           unsigned char blocking,
                                                                           char const* target,
                                                                           void* uuid, double* pan,
                                                                           double* tilt);
nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_receive_with_timeout(
    void* handle, char const* target, int timeout, void* uuid, double* pan, double* tilt);
nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_send_async(
    void* handle, char const* target, unsigned int stream_index, double x, double y,
    nelko_api_stream_layout_stream_point_to_pan_tilt_method_callback_func_ptr callback,
    void* user_data);
nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_cancel_async(
    void* handle,
    nelko_api_stream_layout_stream_point_to_pan_tilt_method_callback_func_ptr callback,
    void* user_data);

/* "Get_num_roi": the number of ROIs in each ROI set. P: none. R: num. */
typedef void (*nelko_api_stream_layout_get_num_roi_method_callback_func_ptr)(
    char* first_text, nelko_core_status status, unsigned int num, void* user_data);
nelko_core_status nelko_api_stream_layout_get_num_roi_send(void* handle, char const* target,
                                                           unsigned int* num);
nelko_core_status nelko_api_stream_layout_get_num_roi_send_with_timeout(void* handle,
                                                                        char const* target,
                                                                        int timeout,
                                                                        unsigned int* num);
nelko_core_status nelko_api_stream_layout_get_num_roi_non_blocking_send(void* handle,
                                                                        char const* target,
                                                                        void** uuid_out);
nelko_core_status nelko_api_stream_layout_get_num_roi_receive(void* handle, unsigned char blocking,
                                                              char const* target, void* uuid,
                                                              unsigned int* num);
nelko_core_status nelko_api_stream_layout_get_num_roi_receive_with_timeout(void* handle,
                                                                           char const* target,
                                                                           int timeout, void* uuid,
                                                                           unsigned int* num);
nelko_core_status nelko_api_stream_layout_get_num_roi_send_async(
    void* handle, char const* target,
    nelko_api_stream_layout_get_num_roi_method_callback_func_ptr callback, void* user_data);
nelko_core_status nelko_api_stream_layout_get_num_roi_cancel_async(
    void* handle, nelko_api_stream_layout_get_num_roi_method_callback_func_ptr callback,
    void* user_data);

/* "Get_roi": ROI roi_index of set roi_set (a RoiSet). P: roi_index, roi_set. R: pan, tilt, roll,
 * vfov (the target's units, degrees on the simulated target). */
typedef void (*nelko_api_stream_layout_get_roi_method_callback_func_ptr)(char* first_text,
                                                                         nelko_core_status status,
                                                                         double pan, double tilt,
                                                                         double roll, double vfov,
                                                                         void* user_data);
nelko_core_status nelko_api_stream_layout_get_roi_send(void* handle, char const* target,
                                                       unsigned int roi_index, unsigned int roi_set,
                                                       double* pan, double* tilt, double* roll,
                                                       double* vfov);
nelko_core_status nelko_api_stream_layout_get_roi_send_with_timeout(
    void* handle, char const* target, int timeout, unsigned int roi_index, unsigned int roi_set,
    double* pan, double* tilt, double* roll, double* vfov);
nelko_core_status nelko_api_stream_layout_get_roi_non_blocking_send(void* handle,
                                                                    char const* target,
                                                                    void** uuid_out,
                                                                    unsigned int roi_index,
                                                                    unsigned int roi_set);
nelko_core_status nelko_api_stream_layout_get_roi_receive(void* handle, unsigned char blocking,
                                                          char const* target, void* uuid,
                                                          double* pan, double* tilt, double* roll,
                                                          double* vfov);
nelko_core_status nelko_api_stream_layout_get_roi_receive_with_timeout(void* handle,
                                                                       char const* target,
                                                                       int timeout, void* uuid,
                                                                       double* pan, double* tilt,
                                                                       double* roll, double* vfov);
nelko_core_status nelko_api_stream_layout_get_roi_send_async(
    void* handle, char const* target, unsigned int roi_index, unsigned int roi_set,
    nelko_api_stream_layout_get_roi_method_callback_func_ptr callback, void* user_data);
nelko_core_status nelko_api_stream_layout_get_roi_cancel_async(
    void* handle, nelko_api_stream_layout_get_roi_method_callback_func_ptr callback,
    void* user_data);

/* "Set_roi": sets ROI roi_index of set roi_set. P: roi_index, roi_set, pan, tilt, roll, vfov.
 * R: none. */
typedef void (*nelko_api_stream_layout_set_roi_method_callback_func_ptr)(char* first_text,
                                                                         nelko_core_status status,
                                                                         void* user_data);
nelko_core_status nelko_api_stream_layout_set_roi_send(void* handle, char const* target,
                                                       unsigned int roi_index, unsigned int roi_set,
                                                       double pan, double tilt, double roll,
                                                       double vfov);
nelko_core_status nelko_api_stream_layout_set_roi_send_with_timeout(
    void* handle, char const* target, int timeout, unsigned int roi_index, unsigned int roi_set,
    double pan, double tilt, double roll, double vfov);
nelko_core_status nelko_api_stream_layout_set_roi_non_blocking_send(
    void* handle, char const* target, void** uuid_out, unsigned int roi_index, unsigned int roi_set,
    double pan, double tilt, double roll, double vfov);
nelko_core_status nelko_api_stream_layout_set_roi_receive(void* handle, unsigned char blocking,
                                                          char const* target, void* uuid);
nelko_core_status nelko_api_stream_layout_set_roi_receive_with_timeout(void* handle,
                                                                       char const* target,
                                                                       int timeout, void* uuid);
nelko_core_status nelko_api_stream_layout_set_roi_send_async(
    void* handle, char const* target, unsigned int roi_index, unsigned int roi_set, double pan,
    double tilt, double roll, double vfov,
    nelko_api_stream_layout_set_roi_method_callback_func_ptr callback, void* user_data);
nelko_core_status nelko_api_stream_layout_set_roi_cancel_async(
    void* handle, nelko_api_stream_layout_set_roi_method_callback_func_ptr callback,
    void* user_data);
#ifdef __cplusplus
}
#endif

#endif
