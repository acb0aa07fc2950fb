#include <climits>
#include <cmath>
#include <string>
#include <tuple>

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

TYPED_TEST(SettingsKindTest, ValueFallsBackToDefaultAndBothSurviveReopen) {
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
  ASSERT_EQ(Kind::get_default("k", value), 0);
  EXPECT_EQ(value, Kind::first());
  nelko_core_settings_type type = NELKO_CORE_SETTING_TYPE_UNKNOWN;
  ASSERT_EQ(nelko_core_settings_get_type("k", &type), 0);
  EXPECT_EQ(type, Kind::type);
}

using SettingsValuesTest = SettingsTest;

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
  for (char const* bad_json : {"{", "{} {}"})
    EXPECT_EQ(nelko_core_settings_set_json_value("j", bad_json), NELKO_CORE_STATUS_INVALID_PARAMS)
        << bad_json;
  EXPECT_FALSE(nelko_core_settings_does_key_exist("s"));
  EXPECT_FALSE(nelko_core_settings_does_key_exist("d"));
  EXPECT_FALSE(nelko_core_settings_does_key_exist("j"));
}

}  // namespace
}  // namespace settings_test
