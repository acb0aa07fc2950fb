#include <string>
#include <vector>

#include "settings_test_support.h"

namespace settings_test {
namespace {

class ConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(path_, R"({
      "name": "cam-1", "enabled": true, "fps": 25, "gain": 1.5, "big": 4294967296,
      "labels": ["a", "b"], "flags": [true, false], "ports": [80, 443], "weights": [1, 0.5],
      "none": [], "mixed": [1, "a"], "rois": {"max": 4}, "nothing": null
    })");
    ASSERT_EQ(nelko_core_configuration_init(path_.c_str()), 0);
  }
  void TearDown() override { nelko_core_configuration_deinit(); }

  ScratchDirectory directory_;
  std::string path_ = directory_.file("configuration.json");
};

TEST_F(ConfigurationTest, KindsAreInferredAndGettersKeepToThem) {
  std::vector<std::pair<char const*, nelko_core_settings_type>> const expected = {
      {"name", NELKO_CORE_SETTING_TYPE_STRING},
      {"enabled", NELKO_CORE_SETTING_TYPE_BOOL},
      {"fps", NELKO_CORE_SETTING_TYPE_INT},
      {"gain", NELKO_CORE_SETTING_TYPE_DOUBLE},
      {"big", NELKO_CORE_SETTING_TYPE_DOUBLE},
      {"labels", NELKO_CORE_SETTING_TYPE_ARRAYOFSTRING},
      {"flags", NELKO_CORE_SETTING_TYPE_ARRAYOFBOOL},
      {"ports", NELKO_CORE_SETTING_TYPE_ARRAYOFINT},
      {"weights", NELKO_CORE_SETTING_TYPE_ARRAYOFDOUBLE},
      {"none", NELKO_CORE_SETTING_TYPE_UNKNOWN},
      {"mixed", NELKO_CORE_SETTING_TYPE_JSON},
      {"rois", NELKO_CORE_SETTING_TYPE_JSON},
      {"nothing", NELKO_CORE_SETTING_TYPE_JSON}};
  for (auto const& [key, type] : expected) {
    nelko_core_settings_type found = NELKO_CORE_SETTING_TYPE_UNKNOWN;
    EXPECT_EQ(nelko_core_configuration_get_type(key, &found), 0) << key;
    EXPECT_EQ(found, type) << key;
  }
  EXPECT_EQ(take_keys(nelko_core_configuration_get_all_keys()).size(), expected.size());

  double number = 0;
  EXPECT_EQ(nelko_core_configuration_get_double_value("fps", &number), 0);
  EXPECT_EQ(number, 25.0);
  std::string text;
  EXPECT_EQ(TextCodec::get(nelko_core_configuration_get_json_value, "mixed", text), 0);
  EXPECT_EQ(text, R"([1,"a"])");

  int integer = 0;
  EXPECT_EQ(nelko_core_configuration_get_int_value("gain", &integer),
            NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE);
  EXPECT_EQ(nelko_core_configuration_get_int_value("missing", &integer),
            NELKO_CORE_STATUS_SETTING_NOT_PRESENT);
}

TEST_F(ConfigurationTest, LifecycleAndInvalidFiles) {
  EXPECT_EQ(nelko_core_configuration_init(path_.c_str()), NELKO_CORE_STATUS_MULTI_THREAD_ACCESS);
  ASSERT_EQ(nelko_core_configuration_deinit(), 0);
  EXPECT_EQ(nelko_core_configuration_get_all_keys(), nullptr);
  for (char const* invalid : {"[1, 2]", "{\"a\": }"}) {
    write_file(path_, invalid);
    EXPECT_EQ(nelko_core_configuration_init(path_.c_str()), NELKO_CORE_STATUS_IPC_FAILED)
        << invalid;
  }
}

}  // namespace
}  // namespace settings_test
