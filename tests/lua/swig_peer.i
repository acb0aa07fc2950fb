/* A tiny SWIG-generated module that shares the Lua state with nelko_api_stream_layout in the
 * suites: it hands out and takes pointers of types that the module also uses, and provides C
 * completion functions that record what the core library's thread delivered to them. */
%module nelko_swig_peer

%{
#include <pthread.h>
#include <time.h>

#include "nelko_api_stream_layout.h"
#include "nelko_core.h"

/* A "void **" cell that a function of the other module can store into. */
static void *peer_slot_value;
void **peer_slot(void) { return &peer_slot_value; }
void *peer_slot_read(void **slot) { return slot ? *slot : 0; }

unsigned int **peer_uint_array(unsigned int n) { return nelko_core_alloc_uint_array(n); }
void peer_set_cell(unsigned int **array, unsigned int i, unsigned int value) { *array[i] = value; }
unsigned int peer_cell(unsigned int **array, unsigned int i) { return *array[i]; }
void peer_free_uint_array(unsigned int **array) { nelko_core_free_uint_array(array); }
int peer_same(void *a, void *b) { return a == b; }

/* Completions run on the core library's thread; the script waits for them here. */
static pthread_mutex_t peer_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t peer_changed = PTHREAD_COND_INITIALIZER;
static int peer_calls;
static int peer_last_status = -1;
static unsigned int peer_last_num;
static void *peer_last_user_data;

static void peer_record(nelko_core_status status, unsigned int num, void *user_data) {
  pthread_mutex_lock(&peer_lock);
  ++peer_calls;
  peer_last_status = (int)status;
  peer_last_num = num;
  peer_last_user_data = user_data;
  pthread_cond_broadcast(&peer_changed);
  pthread_mutex_unlock(&peer_lock);
}
static void peer_on_num_roi(char *first, nelko_core_status status, unsigned int num, void *user) {
  (void)first;
  peer_record(status, num, user);
}
static void peer_on_set(char *first, nelko_core_status status, void *user) {
  (void)first;
  peer_record(status, 0, user);
}

/* Waits until `calls` completions have arrived in all, or timeout_ms passed; returns the count. */
int peer_wait_calls(int calls, int timeout_ms) {
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += timeout_ms / 1000;
  until.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) { until.tv_sec += 1; until.tv_nsec -= 1000000000L; }
  pthread_mutex_lock(&peer_lock);
  while (peer_calls < calls && pthread_cond_timedwait(&peer_changed, &peer_lock, &until) == 0) {}
  int seen = peer_calls;
  pthread_mutex_unlock(&peer_lock);
  return seen;
}
int peer_last_status_value(void) { return peer_last_status; }
unsigned int peer_last_num_value(void) { return peer_last_num; }
void *peer_last_user_data_value(void) { return peer_last_user_data; }
%}

%constant void (*peer_get_num_roi_done)(char *, enum nelko_core_status, unsigned int, void *) =
    peer_on_num_roi;
%constant void (*peer_set_done)(char *, enum nelko_core_status, void *) = peer_on_set;
int peer_wait_calls(int calls, int timeout_ms);
int peer_last_status_value(void);
unsigned int peer_last_num_value(void);
void *peer_last_user_data_value(void);

void **peer_slot(void);
void *peer_slot_read(void **slot);
unsigned int **peer_uint_array(unsigned int n);
void peer_set_cell(unsigned int **array, unsigned int i, unsigned int value);
unsigned int peer_cell(unsigned int **array, unsigned int i);
void peer_free_uint_array(unsigned int **array);
int peer_same(void *a, void *b);
