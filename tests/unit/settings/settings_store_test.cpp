// The settings store's values, defaults, keys and kinds, from several threads too, and the
// read-only configuration file.
#include <unistd.h>

#include <climits>
#include <cmath>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "settings_test_support.h"

namespace settings_test {
namespace {

// A kind's C functions, its type, and two values that tell its encoding apart.
#define NELKO_KIND_CASE(Case, kind, KIND, CodecType, ...)                                \
  struct Case {                                                                          \
    using Codec = CodecType;                                                             \
    using Value = Codec::Value;                                                          \
    static constexpr auto type = NELKO_CORE_SETTING_TYPE_##KIND;                         \
    static Value first() { return std::get<0>(std::tuple<Value, Value>{__VA_ARGS__}); }  \
    static Value second() { return std::get<1>(std::tuple<Value, Value>{__VA_ARGS__}); } \
    static nelko_core_status set(char const* key, Value const& value) {                  \
      return Codec::set(nelko_core_settings_set_##kind##_value, key, value);             \
    }                                                                                    \
    static nelko_core_status set_default(char const* key, Value const& value) {          \
      return Codec::set(nelko_core_settings_set_default_##kind##_value, key, value);     \
    }                                                                                    \
    static nelko_core_status get(char const* key, Value& value) {                        \
      return Codec::get(nelko_core_settings_get_##kind##_value, key, value);             \
    }                                                                                    \
    static nelko_core_status get_default(char const* key, Value& value) {                \
      return Codec::get(nelko_core_settings_get_default_##kind##_value, key, value);     \
    }                                                                                    \
    static nelko_core_status copy(char const* from, char const* to) {                    \
      return nelko_core_settings_copy_##kind##_key(from, to);                            \
    }                                                                                    \
  };

// Extremes, empties, quotes and non-ASCII text.
NELKO_KIND_CASE(StringCase, string, STRING, TextCodec, "front \"camera\" \u00e9\n", "")
NELKO_KIND_CASE(JsonCase, json, JSON, TextCodec, R"({"max":4,"names":["a","b"],"none":null})",
                "-2.5")
NELKO_KIND_CASE(IntCase, int, INT, ScalarCodec<int>, INT_MIN, INT_MAX)
NELKO_KIND_CASE(BoolCase, bool, BOOL, ScalarCodec<unsigned char>, 1, 0)
NELKO_KIND_CASE(DoubleCase, double, DOUBLE, ScalarCodec<double>, 0.1, -3.0)
NELKO_KIND_CASE(ArrayOfStringCase, arrayofstring, ARRAYOFSTRING, ArrayCodec<char>,
                Value{"a", "", "\u00fcber"}, Value{})
NELKO_KIND_CASE(ArrayOfIntCase, arrayofint, ARRAYOFINT, ArrayCodec<int>, Value{INT_MIN, 0, INT_MAX},
                Value{})
NELKO_KIND_CASE(ArrayOfBoolCase, arrayofbool, ARRAYOFBOOL, ArrayCodec<unsigned char>,
                Value{1, 0, 1}, Value{})
NELKO_KIND_CASE(ArrayOfDoubleCase, arrayofdouble, ARRAYOFDOUBLE, ArrayCodec<double>,
                Value{1e-300, -0.5, 3.0}, Value{})

using AllKinds =
    ::testing::Types<StringCase, JsonCase, IntCase, BoolCase, DoubleCase, ArrayOfStringCase,
                     ArrayOfIntCase, ArrayOfBoolCase, ArrayOfDoubleCase>;

template <class Kind>
class SettingsKindTest : public SettingsTest {};
TYPED_TEST_SUITE(SettingsKindTest, AllKinds);

TYPED_TEST(SettingsKindTest, ValueFallsBackToDefaultAndBothSurviveReopenAndCopy) {
  using Kind = TypeParam;
  typename Kind::Value value = Kind::second();
  EXPECT_EQ(Kind::get("k", value), NELKO_CORE_STATUS_SETTING_NOT_PRESENT);
  EXPECT_EQ(value, Kind::second()) << "a failed get stores nothing";
  ASSERT_EQ(Kind::set_default("k", Kind::first()), 0);
  ASSERT_EQ(Kind::get("k", value), 0);
  EXPECT_EQ(value, Kind::first());

  ASSERT_EQ(Kind::set("k", Kind::second()), 0);
  this->reopen();
  ASSERT_EQ(Kind::get("k", value), 0);
  EXPECT_EQ(value, Kind::second());
  ASSERT_EQ(Kind::copy("k", "copy"), 0);
  ASSERT_EQ(Kind::get_default("copy", value), 0);
  EXPECT_EQ(value, Kind::first());
  nelko_core_settings_type type = NELKO_CORE_SETTING_TYPE_UNKNOWN;
  ASSERT_EQ(nelko_core_settings_get_type("copy", &type), 0);
  EXPECT_EQ(type, Kind::type);
}

using SettingsValuesTest = SettingsTest;

// A change that == would call none is written all the same: -0.0 after 0.0.
TEST_F(SettingsValuesTest, NegativeZeroReplacesZero) {
  ASSERT_EQ(DoubleCase::set("d", 0.0), 0);
  ASSERT_EQ(DoubleCase::set("d", -0.0), 0);
  reopen();
  double value = 1;
  ASSERT_EQ(DoubleCase::get("d", value), 0);
  EXPECT_TRUE(value == 0 && std::signbit(value)) << value;
}

TEST_F(SettingsValuesTest, KindsNeverMixAndMissingKeysAreNotPresent) {
  ASSERT_EQ(IntCase::set("int", 1), 0);
  ASSERT_EQ(StringCase::set("text", "x"), 0);
  ASSERT_EQ(ArrayOfIntCase::set("ints", {1}), 0);
  std::string text;
  int number = 0;
  ArrayOfDoubleCase::Value doubles;
  EXPECT_EQ(StringCase::get("int", text), NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE);
  EXPECT_EQ(IntCase::get("text", number), NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE);
  EXPECT_EQ(ArrayOfDoubleCase::get("ints", doubles), NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE);
  EXPECT_EQ(DoubleCase::set("int", 1.0), NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE);
  EXPECT_EQ(IntCase::copy("text", "fresh"), NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE);
  // Nor onto a key of another kind.
  EXPECT_EQ(IntCase::copy("int", "text"), NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE);
  EXPECT_EQ(IntCase::get_default("int", number), NELKO_CORE_STATUS_SETTING_NOT_PRESENT);
  EXPECT_EQ(IntCase::get("missing", number), NELKO_CORE_STATUS_SETTING_NOT_PRESENT);
  EXPECT_EQ(IntCase::copy("missing", "fresh"), NELKO_CORE_STATUS_SETTING_NOT_PRESENT);
  EXPECT_EQ(nelko_core_settings_delete_key("missing"), NELKO_CORE_STATUS_SETTING_NOT_PRESENT);
  EXPECT_FALSE(nelko_core_settings_does_key_exist("fresh"));
}

TEST_F(SettingsValuesTest, NullArgumentsAndUnstorableValuesAreRefused) {
  EXPECT_EQ(IntCase::set(nullptr, 1), NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_EQ(nelko_core_settings_set_string_value("s", nullptr), NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_EQ(nelko_core_settings_set_double_value("d", NAN), NELKO_CORE_STATUS_INVALID_PARAMS);
  double infinite = INFINITY;
  double* cells[] = {&infinite, nullptr};
  EXPECT_EQ(nelko_core_settings_set_arrayofdouble_value("d", cells),
            NELKO_CORE_STATUS_INVALID_PARAMS);
  // Nesting deeper than the parser may recurse is refused before it is parsed, also after a
  // string holding an escaped quote.
  std::string const deep = std::string(100000, '[') + std::string(100000, ']');
  for (std::string bad_json :
       {std::string("{"), std::string("{} {}"), deep, "[\"\\\"\"," + deep + "]"})
    EXPECT_EQ(nelko_core_settings_set_json_value("j", bad_json.c_str()),
              NELKO_CORE_STATUS_INVALID_PARAMS)
        << bad_json.substr(0, 10);
  EXPECT_FALSE(nelko_core_settings_does_key_exist("s"));
  EXPECT_FALSE(nelko_core_settings_does_key_exist("d"));
  EXPECT_FALSE(nelko_core_settings_does_key_exist("j"));

  // The deepest value allowed, 64 levels, is kept and read back after a reopen.
  std::string const deepest = std::string(64, '[') + std::string(64, ']');
  ASSERT_EQ(nelko_core_settings_set_json_value("j", deepest.c_str()), 0);
  reopen();
  EXPECT_TRUE(nelko_core_settings_does_key_exist("j"));
}

using Keys = std::vector<std::string>;
using SettingsKeysTest = SettingsTest;

TEST_F(SettingsKeysTest, ListsKeysInByteOrderAndByPrefix) {
  EXPECT_EQ(take_keys(nelko_core_settings_get_all_keys()), Keys{});
  for (char const* key :
       {"video.fps", "audio.rate", "video.label", "videox", "Video", "old.video.fps"})
    ASSERT_EQ(nelko_core_settings_set_int_value(key, 1), 0);

  EXPECT_EQ(take_keys(nelko_core_settings_get_all_keys()),
            (Keys{"Video", "audio.rate", "old.video.fps", "video.fps", "video.label", "videox"}));
  EXPECT_EQ(take_keys(nelko_core_settings_get_keys_starting_with("video.")),
            (Keys{"video.fps", "video.label"}));
  char** none = nelko_core_settings_get_keys_starting_with("zoom");
  ASSERT_NE(none, nullptr) << "no match is an empty array, not a failure";
  nelko_core_free_string_array(none);
}

// A copy takes the source's value and default; a source without a value takes the target's
// value away. A delete removes value and default for good, and the key may come back as another
// kind.
TEST_F(SettingsKeysTest, CopyMakesAnExactCopyAndDeleteRemovesBoth) {
  ASSERT_EQ(nelko_core_settings_set_int_value("from", 5), 0);
  ASSERT_EQ(nelko_core_settings_set_default_int_value("from", 1), 0);
  ASSERT_EQ(nelko_core_settings_copy_int_key("from", "to"), 0);
  int value = 0;
  ASSERT_EQ(nelko_core_settings_get_int_value("to", &value), 0);
  EXPECT_EQ(value, 5);
  ASSERT_EQ(nelko_core_settings_get_default_int_value("to", &value), 0);
  EXPECT_EQ(value, 1);
  ASSERT_EQ(nelko_core_settings_set_default_int_value("only_default", 9), 0);
  ASSERT_EQ(nelko_core_settings_copy_int_key("only_default", "to"), 0);
  ASSERT_EQ(nelko_core_settings_get_int_value("to", &value), 0);
  EXPECT_EQ(value, 9);
  ASSERT_EQ(nelko_core_settings_delete_key("from"), 0);
  EXPECT_FALSE(nelko_core_settings_does_key_exist("from"));

  reopen();
  ASSERT_EQ(nelko_core_settings_get_int_value("to", &value), 0);
  EXPECT_EQ(value, 9);
  EXPECT_FALSE(nelko_core_settings_does_key_exist("from"));
  ASSERT_EQ(nelko_core_settings_set_string_value("from", "now a text"), 0);
}

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
  EXPECT_EQ(TextCodec::get(nelko_core_configuration_get_json_value, "fps", text),
            NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE);

  int integer = 0;
  EXPECT_EQ(nelko_core_configuration_get_int_value("gain", &integer),
            NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE);
  EXPECT_EQ(nelko_core_configuration_get_int_value("missing", &integer),
            NELKO_CORE_STATUS_SETTING_NOT_PRESENT);

  // Opened once at a time; a file that is not a JSON object is refused.
  EXPECT_EQ(nelko_core_configuration_init(path_.c_str()), NELKO_CORE_STATUS_MULTI_THREAD_ACCESS);
  ASSERT_EQ(nelko_core_configuration_deinit(), 0);
  EXPECT_EQ(nelko_core_configuration_get_all_keys(), nullptr);
  // A configuration reached through a symbolic link is read.
  std::string const link = directory_.file("link.json");
  ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
  EXPECT_EQ(nelko_core_configuration_init(link.c_str()), 0);
  ASSERT_EQ(nelko_core_configuration_deinit(), 0);
  for (char const* invalid : {"[1, 2]", "{\"a\": }"}) {
    write_file(path_, invalid);
    EXPECT_EQ(nelko_core_configuration_init(path_.c_str()), NELKO_CORE_STATUS_IPC_FAILED)
        << invalid;
  }
}

using SettingsConcurrencyTest = SettingsTest;
constexpr int kWriters = 6;
constexpr int kKeysEach = 15;

TEST_F(SettingsConcurrencyTest, ConcurrentWritersAndReadersLoseNothing) {
  ASSERT_EQ(nelko_core_settings_set_int_value("shared", -1), 0);
  std::vector<std::thread> threads;
  for (int writer = 0; writer < kWriters; ++writer) {
    threads.emplace_back([writer] {
      for (int i = 0; i < kKeysEach; ++i) {
        std::string key = "w" + std::to_string(writer) + "." + std::to_string(i);
        EXPECT_EQ(nelko_core_settings_set_int_value(key.c_str(), writer * 100 + i), 0);
        EXPECT_EQ(nelko_core_settings_set_int_value("shared", writer), 0);
      }
    });
    // Readers see whole changes only: the shared key always holds a writer's number.
    threads.emplace_back([] {
      for (int i = 0; i < kKeysEach; ++i) {
        int value = -2;
        EXPECT_EQ(nelko_core_settings_get_int_value("shared", &value), 0);
        EXPECT_GE(value, -1);
        EXPECT_LT(value, kWriters);
        nelko_core_free_string_array(nelko_core_settings_get_all_keys());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  reopen();
  EXPECT_EQ(take_keys(nelko_core_settings_get_all_keys()).size(), kWriters * kKeysEach + 1u);
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int i = 0; i < kKeysEach; ++i) {
      std::string key = "w" + std::to_string(writer) + "." + std::to_string(i);
      int value = -1;
      ASSERT_EQ(nelko_core_settings_get_int_value(key.c_str(), &value), 0);
      EXPECT_EQ(value, writer * 100 + i);
    }
  }
}

}  // namespace
}  // namespace settings_test
