#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "nelko_core.h"

namespace {

template <typename Cell>
void expect_zeroed_cells(Cell** array, unsigned n) {
  ASSERT_NE(array, nullptr);
  for (unsigned i = 0; i < n; ++i) {
    ASSERT_NE(array[i], nullptr) << i;
    EXPECT_EQ(*array[i], Cell{}) << i;
  }
  EXPECT_EQ(array[n], nullptr);
}

TEST(CoreArrays, CellsAreZeroedDistinctAndTerminated) {
  unsigned char** flags = nelko_core_alloc_bool_array(0);
  expect_zeroed_cells(flags, 0);
  unsigned int** counts = nelko_core_alloc_uint_array(4);
  expect_zeroed_cells(counts, 4);
  double** reals = nelko_core_alloc_double_array(5);
  expect_zeroed_cells(reals, 5);
  *reals[0] = 2.5;
  EXPECT_EQ(*reals[1], 0.0);
  char** texts = nelko_core_alloc_string_array(3);
  ASSERT_NE(texts, nullptr);
  for (int i = 0; i <= 3; ++i) EXPECT_EQ(texts[i], nullptr);
  texts[0] = strdup("a");  // released by the free below (leak checkers verify)
  nelko_core_free_bool_array(flags);
  nelko_core_free_uint_array(counts);
  nelko_core_free_double_array(reals);
  nelko_core_free_string_array(texts);
}

TEST(CoreArrays, CapacityWithoutRoomForTheTerminatorIsRefused) {
  EXPECT_EQ(nelko_core_alloc_bool_array(UINT_MAX), nullptr);
  EXPECT_EQ(nelko_core_alloc_uint_array(UINT_MAX), nullptr);
  EXPECT_EQ(nelko_core_alloc_int_array(UINT_MAX), nullptr);
  EXPECT_EQ(nelko_core_alloc_double_array(UINT_MAX), nullptr);
  EXPECT_EQ(nelko_core_alloc_string_array(UINT_MAX), nullptr);
}

}  // namespace
