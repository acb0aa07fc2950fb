/* A tiny SWIG-generated module that shares the Lua state with nelko_api_stream_layout in the
 * interop spec: it hands out and takes pointers of types that the module also uses. */
%module nelko_swig_peer

%{
#include "nelko_core_arrays.h"

/* A "void **" cell that a function of the other module can store into. */
static void *peer_slot_value;
void **peer_slot(void) { return &peer_slot_value; }
void *peer_slot_read(void **slot) { return slot ? *slot : 0; }

unsigned int **peer_uint_array(unsigned int n) { return nelko_core_alloc_uint_array(n); }
void peer_set_cell(unsigned int **array, unsigned int i, unsigned int value) { *array[i] = value; }
unsigned int peer_cell(unsigned int **array, unsigned int i) { return *array[i]; }
void peer_free_uint_array(unsigned int **array) { nelko_core_free_uint_array(array); }
int peer_same(void *a, void *b) { return a == b; }
%}

void **peer_slot(void);
void *peer_slot_read(void **slot);
unsigned int **peer_uint_array(unsigned int n);
void peer_set_cell(unsigned int **array, unsigned int i, unsigned int value);
unsigned int peer_cell(unsigned int **array, unsigned int i);
void peer_free_uint_array(unsigned int **array);
int peer_same(void *a, void *b);
