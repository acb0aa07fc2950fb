/*
 * nelko_core_arrays.h - core arrays, the platform's list form.
 */
#ifndef NELKO_CORE_ARRAYS_H
#define NELKO_CORE_ARRAYS_H


#ifdef __cplusplus
extern "C" {
#endif

/* ---- Core arrays ------------------------------------------------------------------------ */

/* A core array of capacity n is n + 1 pointer slots, the last one null. Slots 0..n-1 of the
 * bool, uint, int and double kinds point to separately allocated, zeroed cells; those of the
 * string kind are null until the caller stores strdup'ed texts into them. Each alloc function
 * returns null when it cannot allocate. Each free function accepts null, releases every element
 * before the first null slot with free(), then the array. */
unsigned char **nelko_core_alloc_bool_array(unsigned int n);
unsigned int **nelko_core_alloc_uint_array(unsigned int n);
int **nelko_core_alloc_int_array(unsigned int n);
char **nelko_core_alloc_string_array(unsigned int n);
double **nelko_core_alloc_double_array(unsigned int n);
void nelko_core_free_bool_array(unsigned char **array);
void nelko_core_free_uint_array(unsigned int **array);
void nelko_core_free_int_array(int **array);
void nelko_core_free_string_array(char **array);
void nelko_core_free_double_array(double **array);

#ifdef __cplusplus
}
#endif

#endif
