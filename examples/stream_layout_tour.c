/*
 * A tour of the stream_layout client library: every command, in its synchronous, non-blocking
 * and asynchronous forms. Run it against a target, e.g. the simulated one:
 *
 *   stream-layout-target &          (prints "ready")
 *   stream_layout_tour [TARGET [FAULTY_TARGET]]
 *
 * With FAULTY_TARGET it also shows how an application tells failures apart, against a
 * simulated target started to fail on purpose:
 *
 *   stream-layout-target --name FAULTY_TARGET --fail Set_roi=9 --delay Get_num_roi=2000 --trace
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "nelko_api_stream_layout.h"
#include "nelko_core.h"

static char const *target = "stream_layout";

/* Completions run on the library's I/O thread; the main thread waits for them here. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int completed = 0;

static void signal_completion(void) {
  pthread_mutex_lock(&lock);
  ++completed;
  pthread_cond_signal(&changed);
  pthread_mutex_unlock(&lock);
}

static void wait_for_completions(int n) {
  pthread_mutex_lock(&lock);
  while (completed < n) pthread_cond_wait(&changed, &lock);
  pthread_mutex_unlock(&lock);
}

static int check(char const *what, nelko_core_status status) {
  if (status != NELKO_CORE_STATUS_NO_ERROR) {
    printf("  %-44s failed: %s\n", what, nelko_core_status_to_string(status));
  }
  return status == NELKO_CORE_STATUS_NO_ERROR;
}

/* What an application does about each status; the statuses are the library's and the target's. */
static char const *advice(nelko_core_status status) {
  switch (status) {
    case NELKO_CORE_STATUS_NO_ERROR:
      return "done";
    case NELKO_CORE_STATUS_INVALID_PARAMS:
      return "refused: fix the request (index, stream, value), do not retry as is";
    case NELKO_CORE_STATUS_IPC_FAILED:
      return "no answer in time or no connection: the target may be busy or gone, retry later";
    case NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION:
      return "the target does not know the command: it runs another interface version";
    case NELKO_CORE_STATUS_REMOTE_FUNCTION_FAILURE:
      return "the target failed to carry it out: report it, maybe retry";
    default:
      return "unexpected: report it";
  }
}

/* Requests to a target that fails on purpose (see the top of this file). */
static void error_handling(void *handle, char const *faulty) {
  printf("\nerror handling, against %s:\n", faulty);
  nelko_core_status status =
      nelko_api_stream_layout_set_roi_send(handle, faulty, 0, kRoiPendingSet, 10, 0, 0, 60);
  printf("  Set_roi: %s: %s\n", nelko_core_status_to_string(status), advice(status));
  unsigned int rois = 0;
  status = nelko_api_stream_layout_get_num_roi_send_with_timeout(handle, faulty, 500, &rois);
  printf("  Get_num_roi, waiting 500 ms: %s: %s\n", nelko_core_status_to_string(status),
         advice(status));
  double pan = 0, tilt = 0, roll = 0, vfov = 0;
  status = nelko_api_stream_layout_get_roi_send(handle, faulty, 0, kRoiActiveSet, &pan, &tilt,
                                                &roll, &vfov);
  printf("  Get_roi, meanwhile answered at once: %s\n", nelko_core_status_to_string(status));
}

static void print_list(char const *name, unsigned int **list) {
  printf("    %-40s", name);
  for (unsigned int **cell = list; cell != NULL && *cell != NULL; ++cell) printf(" %u", **cell);
  printf("\n");
}

static void on_roi(char *answered_by, nelko_core_status status, double pan, double tilt,
                   double roll, double vfov, void *user_data) {
  printf("  async Get_roi %s from %s: pan %g tilt %g roll %g vfov %g\n", (char *)user_data,
         answered_by, pan, tilt, roll, vfov);
  (void)status;
  signal_completion();
}

static void on_point(char *answered_by, nelko_core_status status, double pan, double tilt,
                     void *user_data) {
  (void)user_data;
  printf("  async Stream_point_to_pan_tilt from %s: status %d, pan %.2f tilt %.2f\n", answered_by,
         (int)status, pan, tilt);
  signal_completion();
}

static void on_layout(char *answered_by, nelko_core_status status, unsigned int **sx,
                      unsigned int **sy, unsigned int **sw, unsigned int **sh,
                      unsigned int **facet, unsigned int **dx, unsigned int **dy,
                      unsigned int **dw, unsigned int **dh, void *user_data) {
  (void)user_data, (void)sx, (void)sy, (void)sw, (void)sh, (void)dx, (void)dy, (void)dw, (void)dh;
  /* The lists are released when this function returns: copy what you keep. */
  printf("  async Get_stream_layout from %s: status %d\n", answered_by, (int)status);
  print_list("destination_type", facet);
  signal_completion();
}

/* A list of n values, in the platform's list form. */
static unsigned int **make_list(unsigned int n, unsigned int const *values) {
  unsigned int **list = nelko_core_alloc_uint_array(n);
  for (unsigned int i = 0; list != NULL && i < n; ++i) *list[i] = values[i];
  return list;
}

int main(int argc, char **argv) {
  if (argc > 1) target = argv[1];

  void *log = NULL, *handle = NULL;
  nelko_core_logging_init("stream_layout_tour", &log);
  if (!check("initiator_init", nelko_api_stream_layout_initiator_init(NULL, log, &handle, 0,
                                                                      "stream_layout_tour"))) {
    return 1;
  }

  unsigned int major = 0, minor = 0;
  nelko_api_stream_layout_get_initiator_version(handle, &major, &minor);
  printf("initiator version %u.%u, target \"%s\"\n", major, minor, target);

  printf("\nsynchronous forms (wait for the response):\n");
  if (check("__get_target_version__", nelko_api_stream_layout___get_target_version___send(
                                          handle, target, &major, &minor))) {
    printf("  target version %u.%u\n", major, minor);
  }
  unsigned int rois = 0;
  if (check("Get_num_roi", nelko_api_stream_layout_get_num_roi_send(handle, target, &rois))) {
    printf("  %u ROIs in each set\n", rois);
  }
  if (check("Set_roi", nelko_api_stream_layout_set_roi_send_with_timeout(
                           handle, target, 1000, 1, kRoiPendingSet, 30.0, -10.0, 0.0, 60.0))) {
    printf("  ROI 1 of the pending set: pan 30 tilt -10 roll 0 vfov 60\n");
  }

  /* Two placements side by side: the whole left cube face in the stream's left half, the whole
   * right face in its right half. Source rectangles are in the facet's own image, destination
   * rectangles in the stream, both in millipercent. */
  unsigned int const zero[] = {0, 0}, full[] = {100000, 100000}, x[] = {0, 50000},
                     half[] = {50000, 50000},
                     facets[] = {kStreamLayoutFacetCubeFaceLeft, kStreamLayoutFacetCubeFaceRight};
  unsigned int **in[9] = {make_list(2, zero), make_list(2, zero),   make_list(2, full),
                          make_list(2, full), make_list(2, facets), make_list(2, x),
                          make_list(2, zero), make_list(2, half),   make_list(2, full)};
  if (check("Set_stream_layout", nelko_api_stream_layout_set_stream_layout_send(
                                     handle, target, 1, in[0], in[1], in[2], in[3], in[4], in[5],
                                     in[6], in[7], in[8]))) {
    printf("  stream 1: two placements set\n");
  }
  for (int i = 0; i < 9; ++i) nelko_core_free_uint_array(in[i]);

  unsigned int **out[9] = {NULL};
  if (check("Get_stream_layout",
            nelko_api_stream_layout_get_stream_layout_send(handle, target, 1, &out[0], &out[1],
                                                           &out[2], &out[3], &out[4], &out[5],
                                                           &out[6], &out[7], &out[8]))) {
    static char const *const names[9] = {"source_upper_left_x_millipercent",
                                         "source_upper_left_y_millipercent",
                                         "source_width_millipercent",
                                         "source_height_millipercent",
                                         "destination_type",
                                         "destination_upper_left_x_millipercent",
                                         "destination_upper_left_y_millipercent",
                                         "destination_width_millipercent",
                                         "destination_height_millipercent"};
    printf("  stream 1 layout:\n");
    for (int i = 0; i < 9; ++i) print_list(names[i], out[i]);
  }
  for (int i = 0; i < 9; ++i) nelko_core_free_uint_array(out[i]);

  double pan = 0, tilt = 0;
  if (check("Stream_point_to_pan_tilt", nelko_api_stream_layout_stream_point_to_pan_tilt_send(
                                            handle, target, 0, 75000, 25000, &pan, &tilt))) {
    printf("  stream 0, point (75%%, 25%%): pan %.2f tilt %.2f\n", pan, tilt);
  }

  printf("\nnon-blocking forms (send now, collect later):\n");
  void *uuid = NULL;
  if (check("Get_roi non_blocking_send", nelko_api_stream_layout_get_roi_non_blocking_send(
                                             handle, target, &uuid, 1, kRoiPendingSet))) {
    printf("  request %s sent\n", (char *)uuid);
    double roll = 0, vfov = 0;
    if (check("Get_roi receive", nelko_api_stream_layout_get_roi_receive(
                                     handle, 1, target, uuid, &pan, &tilt, &roll, &vfov))) {
      printf("  ROI 1: pan %g tilt %g roll %g vfov %g\n", pan, tilt, roll, vfov);
      uuid = NULL; /* released by the successful receive */
    }
  }
  nelko_api_stream_layout_free_uuid(uuid);

  printf("\nasynchronous forms (a function is called on the library's thread):\n");
  static char name_a[] = "(request a)", name_b[] = "(request b)";
  check("Get_roi send_async", nelko_api_stream_layout_get_roi_send_async(
                                  handle, target, 1, kRoiPendingSet, on_roi, name_a));
  check("Get_roi send_async", nelko_api_stream_layout_get_roi_send_async(
                                  handle, target, 0, kRoiActiveSet, on_roi, name_b));
  check("Stream_point_to_pan_tilt send_async",
        nelko_api_stream_layout_stream_point_to_pan_tilt_send_async(handle, target, 1, 25000,
                                                                    50000, on_point, NULL));
  check("Get_stream_layout send_async", nelko_api_stream_layout_get_stream_layout_send_async(
                                            handle, target, 1, on_layout, NULL));
  wait_for_completions(4);
  /* Completed requests stay registered until they are withdrawn. */
  nelko_api_stream_layout_get_roi_cancel_async(handle, on_roi, name_a);
  nelko_api_stream_layout_get_roi_cancel_async(handle, on_roi, name_b);
  nelko_api_stream_layout_stream_point_to_pan_tilt_cancel_async(handle, on_point, NULL);
  nelko_api_stream_layout_get_stream_layout_cancel_async(handle, on_layout, NULL);

  printf("\nerrors are statuses:\n");
  nelko_core_status status =
      nelko_api_stream_layout_get_roi_send(handle, target, 99, kRoiActiveSet, &pan, &tilt, &pan,
                                           &tilt);
  printf("  Get_roi of ROI 99: %s\n", nelko_core_status_to_string(status));
  status = nelko_api_stream_layout_get_num_roi_send_with_timeout(handle, "no_such_target", 200,
                                                                 &rois);
  printf("  Get_num_roi of a target that does not exist: %s\n",
         nelko_core_status_to_string(status));

  if (argc > 2) error_handling(handle, argv[2]);

  nelko_api_stream_layout_initiator_deinit(handle);
  nelko_core_logging_deinit(log);
  return 0;
}
