/* The Lua call-overhead baseline: a SWIG-generated wrapper of a C function shaped like
 * nelko_api_stream_layout_get_initiator_version (a handle in; a status returned, two unsigned
 * outputs through typemaps.i's OUTPUT), doing nothing. Built by the benchmarks only. */
%module nelko_bench_swig

%include <typemaps.i>

%{
static int bench_handle_cell;
void *bench_handle(void) { return &bench_handle_cell; }
int bench_version(void *handle, unsigned int *major, unsigned int *minor) {
  if (handle == 0) return 1;
  *major = 0;
  *minor = 9;
  return 0;
}
%}

void *bench_handle(void);
int bench_version(void *handle, unsigned int *OUTPUT, unsigned int *OUTPUT);
