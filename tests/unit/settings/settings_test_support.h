// What the settings and configuration tests share: a scratch directory, a fixture with an open
// settings file, and adapters that pass C++ values through the C functions of every value kind.
#ifndef NELKO_SETTINGS_TEST_SUPPORT_H
#define NELKO_SETTINGS_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <filesystem>
#include <string>
#include <vector>

#include "nelko_core_arrays.h"
#include "nelko_core_settings.h"
#include "scratch_directory.h"

namespace settings_test {

// A scratch directory that knows which of its files the settings store owns.
class ScratchDirectory : public nelko::test::ScratchDirectory {
 public:
  ScratchDirectory() : nelko::test::ScratchDirectory("nelko-settings") {}
  // The names of the files in the directory other than the settings file and its lock.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> others;
    for (std::string const& name : names()) {
      if (name != "settings.json" && name != "settings.json.lock") others.push_back(name);
    }
    return others;
  }
};

using nelko::test::read_file;
using nelko::test::write_file;

// Each test starts with a settings file of its own, open.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(nelko_core_settings_init(path_.c_str()), 0); }
  void TearDown() override { nelko_core_settings_deinit(); }
  void reopen() {
    ASSERT_EQ(nelko_core_settings_deinit(), 0);
    ASSERT_EQ(nelko_core_settings_init(path_.c_str()), 0);
  }

  ScratchDirectory directory_;
  std::string path_ = directory_.file("settings.json");
};

// Texts, numbers and arrays in and out of the C functions; outputs are released here.
struct TextCodec {
  using Value = std::string;
  template <class Set>
  static nelko_core_status set(Set c_set, char const* key, Value const& value) {
    return c_set(key, value.c_str());
  }
  template <class Get>
  static nelko_core_status get(Get c_get, char const* key, Value& value) {
    char* text = nullptr;
    nelko_core_status status = c_get(key, &text);
    if (text) value = text;
    free(text);
    return status;
  }
};

template <class T>
struct ScalarCodec {
  using Value = T;
  template <class Set>
  static nelko_core_status set(Set c_set, char const* key, Value const& value) {
    return c_set(key, value);
  }
  template <class Get>
  static nelko_core_status get(Get c_get, char const* key, Value& value) {
    return c_get(key, &value);
  }
};

inline void free_array(char** array) {
  nelko_core_free_string_array(array);
}
inline void free_array(int** array) {
  nelko_core_free_int_array(array);
}
inline void free_array(unsigned char** array) {
  nelko_core_free_bool_array(array);
}
inline void free_array(double** array) {
  nelko_core_free_double_array(array);
}

template <class Cell>
struct ArrayCodec {
  static constexpr bool kTexts = std::is_same_v<Cell, char>;
  using Element = std::conditional_t<kTexts, std::string, Cell>;
  using Value = std::vector<Element>;

  template <class Set>
  static nelko_core_status set(Set c_set, char const* key, Value const& value) {
    Value cells = value;  // the setters take non-const arrays
    std::vector<Cell*> slots;
    for (Element& cell : cells) {
      if constexpr (kTexts)
        slots.push_back(cell.data());
      else
        slots.push_back(&cell);
    }
    slots.push_back(nullptr);
    return c_set(key, slots.data());
  }
  template <class Get>
  static nelko_core_status get(Get c_get, char const* key, Value& value) {
    Cell** array = nullptr;
    int count = -1;
    nelko_core_status status = c_get(key, &array, &count);
    if (array) {
      value.clear();
      for (Cell** slot = array; *slot; ++slot) {
        if constexpr (kTexts)
          value.emplace_back(*slot);
        else
          value.push_back(**slot);
      }
      EXPECT_EQ(count, static_cast<int>(value.size()));
    }
    free_array(array);
    return status;
  }
};

inline std::vector<std::string> take_keys(char** keys) {
  std::vector<std::string> names;
  for (char** slot = keys; slot && *slot; ++slot) names.emplace_back(*slot);
  nelko_core_free_string_array(keys);
  return names;
}

}  // namespace settings_test

#endif
