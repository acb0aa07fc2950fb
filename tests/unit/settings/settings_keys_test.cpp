#include <string>
#include <vector>

#include "settings_test_support.h"

namespace settings_test {
namespace {

using Keys = std::vector<std::string>;
using SettingsKeysTest = SettingsTest;

TEST_F(SettingsKeysTest, ListsKeysInByteOrderAndByPrefix) {
  EXPECT_EQ(take_keys(nelko_core_settings_get_all_keys()), Keys{});
  for (char const* key : {"video.fps", "audio.rate", "video.label", "videox", "Video"})
    ASSERT_EQ(nelko_core_settings_set_int_value(key, 1), 0);

  EXPECT_EQ(take_keys(nelko_core_settings_get_all_keys()),
            (Keys{"Video", "audio.rate", "video.fps", "video.label", "videox"}));
  EXPECT_EQ(take_keys(nelko_core_settings_get_keys_starting_with("video.")),
            (Keys{"video.fps", "video.label"}));
  char** none = nelko_core_settings_get_keys_starting_with("zoom");
  ASSERT_NE(none, nullptr) << "no match is an empty array, not a failure";
  nelko_core_free_string_array(none);
}

TEST_F(SettingsKeysTest, CopyMakesTheTargetAnExactCopy) {
  ASSERT_EQ(nelko_core_settings_set_int_value("from", 5), 0);
  ASSERT_EQ(nelko_core_settings_set_default_int_value("from", 1), 0);
  ASSERT_EQ(nelko_core_settings_copy_int_key("from", "to"), 0);
  int value = 0;
  ASSERT_EQ(nelko_core_settings_get_int_value("to", &value), 0);
  EXPECT_EQ(value, 5);
  ASSERT_EQ(nelko_core_settings_get_default_int_value("to", &value), 0);
  EXPECT_EQ(value, 1);

  // A source without a value takes the target's value away.
  ASSERT_EQ(nelko_core_settings_set_default_int_value("only_default", 9), 0);
  ASSERT_EQ(nelko_core_settings_copy_int_key("only_default", "to"), 0);
  ASSERT_EQ(nelko_core_settings_get_int_value("to", &value), 0);
  EXPECT_EQ(value, 9);

  reopen();
  ASSERT_EQ(nelko_core_settings_get_int_value("to", &value), 0);
  EXPECT_EQ(value, 9);
}

TEST_F(SettingsKeysTest, DeleteRemovesValueAndDefaultForGood) {
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 5), 0);
  ASSERT_EQ(nelko_core_settings_set_default_int_value("k", 1), 0);
  ASSERT_EQ(nelko_core_settings_delete_key("k"), 0);
  EXPECT_FALSE(nelko_core_settings_does_key_exist("k"));
  reopen();
  EXPECT_FALSE(nelko_core_settings_does_key_exist("k"));
  ASSERT_EQ(nelko_core_settings_set_string_value("k", "now a text"), 0)
      << "a deleted key may come back with another kind";
}

}  // namespace
}  // namespace settings_test
