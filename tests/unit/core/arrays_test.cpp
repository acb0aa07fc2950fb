#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
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

TEST(CoreArrays, CellKindsHoldZeroedWritableCellsAndATerminator) {
  unsigned char** flags = nelko_core_alloc_bool_array(3);
  expect_zeroed_cells(flags, 3);
  unsigned int** counts = nelko_core_alloc_uint_array(4);
  expect_zeroed_cells(counts, 4);
  *counts[3] = 0xFFFFFFFFu;
  int** values = nelko_core_alloc_int_array(2);
  expect_zeroed_cells(values, 2);
  double** reals = nelko_core_alloc_double_array(5);
  expect_zeroed_cells(reals, 5);
  // Distinct cells: writing one leaves the others alone.
  *reals[0] = 2.5;
  EXPECT_EQ(*reals[1], 0.0);
  nelko_core_free_bool_array(flags);
  nelko_core_free_uint_array(counts);
  nelko_core_free_int_array(values);
  nelko_core_free_double_array(reals);
}

TEST(CoreArrays, StringSlotsStartNullAndOwnStoredTexts) {
  char** texts = nelko_core_alloc_string_array(3);
  ASSERT_NE(texts, nullptr);
  for (int i = 0; i <= 3; ++i) EXPECT_EQ(texts[i], nullptr);
  texts[0] = strdup("a");
  texts[1] = strdup("bc");
  nelko_core_free_string_array(texts);  // leak checkers verify both texts are released
}

TEST(CoreArrays, FreeStopsAtTheFirstNullSlot) {
  unsigned int** counts = nelko_core_alloc_uint_array(3);
  ASSERT_NE(counts, nullptr);
  // A holder that shortened the array releases what it took out itself.
  std::free(counts[1]);
  std::free(counts[2]);
  counts[1] = nullptr;
  nelko_core_free_uint_array(counts);
}

TEST(CoreArrays, CapacityZeroIsATerminatorOnly) {
  unsigned char** flags = nelko_core_alloc_bool_array(0);
  ASSERT_NE(flags, nullptr);
  EXPECT_EQ(flags[0], nullptr);
  char** texts = nelko_core_alloc_string_array(0);
  ASSERT_NE(texts, nullptr);
  EXPECT_EQ(texts[0], nullptr);
  nelko_core_free_bool_array(flags);
  nelko_core_free_string_array(texts);
}

TEST(CoreArrays, CapacityWithoutRoomForTheTerminatorIsRefused) {
  EXPECT_EQ(nelko_core_alloc_bool_array(UINT_MAX), nullptr);
  EXPECT_EQ(nelko_core_alloc_uint_array(UINT_MAX), nullptr);
  EXPECT_EQ(nelko_core_alloc_int_array(UINT_MAX), nullptr);
  EXPECT_EQ(nelko_core_alloc_double_array(UINT_MAX), nullptr);
  EXPECT_EQ(nelko_core_alloc_string_array(UINT_MAX), nullptr);
}

TEST(CoreArrays, FreeAcceptsNull) {
  nelko_core_free_bool_array(nullptr);
  nelko_core_free_uint_array(nullptr);
  nelko_core_free_int_array(nullptr);
  nelko_core_free_double_array(nullptr);
  nelko_core_free_string_array(nullptr);
}

TEST(CoreGeneral, StatusNamesCoverTheDefinedValuesOnly) {
  EXPECT_STREQ(nelko_core_status_to_string(NELKO_CORE_STATUS_NO_ERROR),
               "NELKO_CORE_STATUS_NO_ERROR");
  EXPECT_STREQ(nelko_core_status_to_string(NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION),
               "NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION");
  EXPECT_STREQ(nelko_core_status_to_string(NELKO_CORE_STATUS_DISABLED_TARGET),
               "NELKO_CORE_STATUS_DISABLED_TARGET");
  EXPECT_STREQ(nelko_core_status_to_string(static_cast<nelko_core_status>(11)),
               "NELKO_CORE_STATUS_UNKNOWN");
  EXPECT_STREQ(nelko_core_status_to_string(static_cast<nelko_core_status>(-1)),
               "NELKO_CORE_STATUS_UNKNOWN");
  EXPECT_EQ(nelko_core_init(), NELKO_CORE_STATUS_NO_ERROR);
  EXPECT_EQ(nelko_core_init(), NELKO_CORE_STATUS_NO_ERROR);
  EXPECT_EQ(nelko_core_deinit(), NELKO_CORE_STATUS_NO_ERROR);
}

}  // namespace
