/*
 * nelko_core_arrays.h - core arrays, the platform's list form.
 *
 * A core array of capacity n is a block of n + 1 pointer slots; slot n is always null and ends
 * the array. Readers stop at the first null slot, so an array may hold fewer elements than its
 * capacity.
 *
 *   kind    array type        slot i (i < n) after allocation
 *   bool    unsigned char **  a separately calloc'ed 1-byte cell holding 0
 *   uint    unsigned int **   a separately calloc'ed 4-byte cell holding 0
 *   int     int **            a separately calloc'ed 4-byte cell holding 0
 *   double  double **         a separately calloc'ed 8-byte cell holding 0.0
 *   string  char **           null; the caller stores texts it allocated with malloc/strdup
 *
 * Ownership: the array and everything its slots point to belong to whoever holds the array, and
 * are released together by the free function of the same kind. That function accepts null (and
 * then does nothing), releases with free() every element before the first null slot, then the
 * block of slots. A caller that replaces a cell or a text releases the old one itself.
 *
 * Allocation: each alloc function returns null when memory runs out or when n + 1 slots cannot
 * be counted in an unsigned int (n = UINT_MAX); nothing is left allocated then. Capacity 0 gives
 * a non-null array holding only the terminating slot.
 *
 *   unsigned int **ids = nelko_core_alloc_uint_array(2);
 *   if (ids) { *ids[0] = 7; *ids[1] = 9; use(ids); nelko_core_free_uint_array(ids); }
 *
 * All functions are thread-safe; an array itself is not synchronised.
 */
#ifndef NELKO_CORE_ARRAYS_H
#define NELKO_CORE_ARRAYS_H


#ifdef __cplusplus
extern "C" {
#endif

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
