#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "nelko_core.h"

namespace {

// Cells start zeroed and distinct, the list ends with a null cell, and the free releases what a
// caller put into a string cell (leak checkers verify).
TEST(CoreArrays, CellsAreZeroedDistinctAndTerminated) {
  double** reals = nelko_core_alloc_double_array(5);
  ASSERT_NE(reals, nullptr);
  for (unsigned i = 0; i < 5; ++i) {
    ASSERT_NE(reals[i], nullptr) << i;
    EXPECT_EQ(*reals[i], 0.0) << i;
  }
  EXPECT_EQ(reals[5], nullptr);
  *reals[0] = 2.5;
  EXPECT_EQ(*reals[1], 0.0);
  char** texts = nelko_core_alloc_string_array(3);
  ASSERT_NE(texts, nullptr);
  for (int i = 0; i <= 3; ++i) EXPECT_EQ(texts[i], nullptr);
  texts[0] = strdup("a");
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
