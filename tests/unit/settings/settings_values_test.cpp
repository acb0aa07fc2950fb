#include <climits>
#include <cmath>
#include <functional>
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

// One probe per kind, to try every kind's functions on a key of every kind.
struct Probe {
  nelko_core_settings_type type;
  std::function<nelko_core_status(char const*)> set, get, get_default, copy_to_fresh_key;
};

template <class... Kinds>
std::vector<Probe> probes_of(std::tuple<Kinds...>*) {
  return {Probe{Kinds::type, [](char const* key) { return Kinds::set(key, Kinds::first()); },
                [](char const* key) {
                  typename Kinds::Value value;
                  return Kinds::get(key, value);
                },
                [](char const* key) {
                  typename Kinds::Value value;
                  return Kinds::get_default(key, value);
                },
                [](char const* key) { return Kinds::copy(key, "fresh"); }}...};
}

std::vector<Probe> all_probes() {
  return probes_of(
      static_cast<std::tuple<StringCase, JsonCase, IntCase, BoolCase, DoubleCase, ArrayOfStringCase,
                             ArrayOfIntCase, ArrayOfBoolCase, ArrayOfDoubleCase>*>(nullptr));
}

using SettingsValuesTest = SettingsTest;

TEST_F(SettingsValuesTest, KindsNeverMixAndMissingKeysAreNotPresent) {
  std::vector<Probe> probes = all_probes();
  for (Probe const& owner : probes) {
    std::string key = "key." + std::to_string(owner.type);
    ASSERT_EQ(owner.set(key.c_str()), 0);
    EXPECT_EQ(owner.get_default(key.c_str()), NELKO_CORE_STATUS_SETTING_NOT_PRESENT);
    for (Probe const& other : probes) {
      auto expected = owner.type == other.type ? NELKO_CORE_STATUS_NO_ERROR
                                               : NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE;
      SCOPED_TRACE(testing::Message()
                   << "key of kind " << owner.type << ", functions of kind " << other.type);
      EXPECT_EQ(other.get(key.c_str()), expected);
      EXPECT_EQ(other.set(key.c_str()), expected);
      EXPECT_EQ(other.copy_to_fresh_key(key.c_str()), expected);
    }
    ASSERT_EQ(nelko_core_settings_delete_key("fresh"), 0);
    EXPECT_EQ(owner.get("missing"), NELKO_CORE_STATUS_SETTING_NOT_PRESENT);
    EXPECT_EQ(owner.get_default("missing"), NELKO_CORE_STATUS_SETTING_NOT_PRESENT);
    EXPECT_EQ(owner.copy_to_fresh_key("missing"), NELKO_CORE_STATUS_SETTING_NOT_PRESENT);
  }
  nelko_core_settings_type type;
  EXPECT_EQ(nelko_core_settings_get_type("missing", &type), NELKO_CORE_STATUS_SETTING_NOT_PRESENT);
  EXPECT_EQ(nelko_core_settings_delete_key("missing"), NELKO_CORE_STATUS_SETTING_NOT_PRESENT);
}

TEST_F(SettingsValuesTest, NullArgumentsAndUnstorableValuesAreRefused) {
  for (Probe const& probe : all_probes()) {
    EXPECT_EQ(probe.get(nullptr), NELKO_CORE_STATUS_INVALID_PARAMS);
    EXPECT_EQ(probe.set(nullptr), NELKO_CORE_STATUS_INVALID_PARAMS);
  }
  ASSERT_EQ(nelko_core_settings_set_int_value("i", 1), 0);
  EXPECT_EQ(nelko_core_settings_get_int_value("i", nullptr), NELKO_CORE_STATUS_INVALID_PARAMS);
  int count;
  EXPECT_EQ(nelko_core_settings_get_arrayofint_value("i", nullptr, &count),
            NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_EQ(nelko_core_settings_set_string_value("s", nullptr), NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_EQ(nelko_core_settings_set_arrayofint_value("a", nullptr),
            NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_EQ(nelko_core_settings_set_double_value("d", NAN), NELKO_CORE_STATUS_INVALID_PARAMS);
  double infinite = INFINITY;
  double* cells[] = {&infinite, nullptr};
  EXPECT_EQ(nelko_core_settings_set_arrayofdouble_value("d", cells),
            NELKO_CORE_STATUS_INVALID_PARAMS);
  for (char const* bad_json : {"", "{", "{} {}", "{'a': 1}", "[1,]", "nul"})
    EXPECT_EQ(nelko_core_settings_set_json_value("j", bad_json), NELKO_CORE_STATUS_INVALID_PARAMS)
        << bad_json;
  EXPECT_FALSE(nelko_core_settings_does_key_exist("s"));
  EXPECT_FALSE(nelko_core_settings_does_key_exist("d"));
  EXPECT_FALSE(nelko_core_settings_does_key_exist("j"));
}

TEST_F(SettingsValuesTest, JsonIsStoredAsJsonAndReturnedCompact) {
  ASSERT_EQ(nelko_core_settings_set_json_value("j", " { \"a\" : [ 1, 2.50, true ] ,\n\"b\":{} } "),
            0);
  std::string text;
  ASSERT_EQ(TextCodec::get(nelko_core_settings_get_json_value, "j", text), 0);
  EXPECT_EQ(text, R"({"a":[1,2.5,true],"b":{}})");
  EXPECT_NE(read_text(path_).find("\"b\": {}"), std::string::npos) << "nested in the file as JSON";

  std::string nested_64 = std::string(64, '[') + std::string(64, ']');
  EXPECT_EQ(nelko_core_settings_set_json_value("deep", nested_64.c_str()), 0);
  std::string nested_65 = std::string(65, '[') + std::string(65, ']');
  EXPECT_EQ(nelko_core_settings_set_json_value("deep", nested_65.c_str()),
            NELKO_CORE_STATUS_INVALID_PARAMS);
  reopen();  // the deepest value allowed still makes a file that can be read again
  EXPECT_TRUE(nelko_core_settings_does_key_exist("deep"));
}

TEST_F(SettingsValuesTest, AnyNonZeroBoolIsTrue) {
  ASSERT_EQ(nelko_core_settings_set_bool_value("b", 0x80), 0);
  unsigned char value = 0;
  ASSERT_EQ(nelko_core_settings_get_bool_value("b", &value), 0);
  EXPECT_EQ(value, 1);
}

}  // namespace
}  // namespace settings_test
