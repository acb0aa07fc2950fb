#include <climits>
#include <cstdlib>

#include "nelko_core_arrays.h"

namespace {

// Slots first, then one cell per slot; a failed cell allocation releases what was made so far.
template <typename Cell>
Cell** alloc_cell_array(unsigned int n) {
  if (n == UINT_MAX) return nullptr;
  auto** slots = static_cast<Cell**>(std::calloc(static_cast<std::size_t>(n) + 1, sizeof(Cell*)));
  if (slots == nullptr) return nullptr;
  for (unsigned int i = 0; i < n; ++i) {
    slots[i] = static_cast<Cell*>(std::calloc(1, sizeof(Cell)));
    if (slots[i] == nullptr) {
      for (unsigned int j = 0; j < i; ++j) std::free(slots[j]);
      std::free(slots);
      return nullptr;
    }
  }
  return slots;
}

template <typename Element>
void free_array(Element** array) {
  if (array == nullptr) return;
  for (Element** slot = array; *slot != nullptr; ++slot) std::free(*slot);
  std::free(array);
}

}  // namespace

extern "C" {

unsigned char** nelko_core_alloc_bool_array(unsigned int n) {
  return alloc_cell_array<unsigned char>(n);
}
unsigned int** nelko_core_alloc_uint_array(unsigned int n) {
  return alloc_cell_array<unsigned int>(n);
}
int** nelko_core_alloc_int_array(unsigned int n) {
  return alloc_cell_array<int>(n);
}
double** nelko_core_alloc_double_array(unsigned int n) {
  return alloc_cell_array<double>(n);
}

char** nelko_core_alloc_string_array(unsigned int n) {
  if (n == UINT_MAX) return nullptr;
  return static_cast<char**>(std::calloc(static_cast<std::size_t>(n) + 1, sizeof(char*)));
}

void nelko_core_free_bool_array(unsigned char** array) {
  free_array(array);
}
void nelko_core_free_uint_array(unsigned int** array) {
  free_array(array);
}
void nelko_core_free_int_array(int** array) {
  free_array(array);
}
void nelko_core_free_string_array(char** array) {
  free_array(array);
}
void nelko_core_free_double_array(double** array) {
  free_array(array);
}

}  // extern "C"
