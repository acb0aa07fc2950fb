#include "json/text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>

namespace {

double read_number(std::string const& text) {
  json::UnknownElement element;
  json::Read(element, text);
  return static_cast<json::Number const&>(element);
}

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

// What `read` throws as a ParseException, or "" when it reads.
template <class Read>
std::string parse_error(Read read) {
  try {
    read();
  } catch (json::ParseException const& error) {
    return error.what();
  }
  return "";
}

// Reads `text` with Read and with ReadInPlace: the same object or the same error, and after an
// error both objects as empty as they were.
void expect_in_place_agrees(std::string const& text) {
  json::Object copied, in_place;
  std::string buffer = text;
  std::string const error = parse_error([&] { json::Read(copied, text); });
  EXPECT_EQ(error, parse_error([&] { json::ReadInPlace(in_place, buffer); })) << text;
  EXPECT_EQ(copied, in_place) << text;
  EXPECT_TRUE(error.empty() || (copied.Empty() && in_place.Empty())) << text;
}

TEST(NumberText, WritesIntegersWithoutFractionAndReadsBackExactly) {
  double const values[] = {3.7,  -5,    4294967296.0, 1e300, 9007199254740992.0, -0.0, 5e-324, 0.1,
                           kInf, -kInf, 1.5e-7,       -1e21};
  json::Array array;
  for (double value : values) array.Insert(value);
  std::string const text = json::Write(json::UnknownElement(array));
  EXPECT_EQ(
      "[3.7,-5,4294967296,1e300,9007199254740992,-0.0,5e-324,0.1,Infinity,-Infinity,1.5e-7,"
      "-1e21]",
      text);

  json::UnknownElement back;
  json::Read(back, text);
  json::Array const& numbers = back;
  ASSERT_EQ(std::size(values), numbers.Size());
  for (std::size_t i = 0; i < numbers.Size(); ++i) {
    EXPECT_TRUE(same_bits(values[i], static_cast<json::Number const&>(numbers[i]))) << i;
  }
  EXPECT_TRUE(std::isnan(read_number(json::Write(std::numeric_limits<double>::quiet_NaN()))));
  EXPECT_EQ(-kInf, read_number("-Inf"));

  // Integers of every length up to 2^53, both signs, next to a carry into another digit.
  for (std::int64_t power = 1; power <= 9007199254740992; power *= 10) {
    for (std::int64_t integer : {power - 1, power, power + 1, 9007199254740992 - power}) {
      for (std::int64_t value : {integer, -integer}) {
        EXPECT_EQ(std::to_string(value), json::Write(json::UnknownElement(value))) << value;
      }
    }
  }
}

TEST(NumberText, RandomDoublesRoundTripBitForBit) {
  std::mt19937_64 random(20240501);
  json::Array array;
  while (array.Size() < 20000) {
    std::uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isnan(value)) array.Insert(value);
  }
  json::UnknownElement back;
  json::Read(back, json::Write(json::UnknownElement(array)));
  json::Array const& numbers = back;
  for (std::size_t i = 0; i < array.Size(); ++i) {
    double const written = static_cast<json::Number const&>(array[i]);
    double const read = static_cast<json::Number const&>(numbers[i]);
    ASSERT_TRUE(same_bits(written, read)) << written << " read back as " << read;
  }
}

TEST(NumberText, ReadsEveryNumberAsCorrectlyRoundedDouble) {
  EXPECT_EQ(18446744073709551616.0, read_number("18446744073709551615"));
  EXPECT_EQ(9007199254740992.0, read_number("9007199254740993"));  // ties to even
  EXPECT_EQ(-2147483648.0, read_number("-2147483648"));
  EXPECT_EQ(std::numeric_limits<double>::max(), read_number("1.7976931348623157e308"));
  EXPECT_EQ(0.0, read_number("1e-400"));
  EXPECT_TRUE(std::signbit(read_number("-1e-400")));
  // An exponent near INT_MIN after fraction digits used to overflow inside the parser.
  EXPECT_EQ(0.0, read_number("0.00000000000e-2147483639"));
  EXPECT_EQ(0.0, read_number("1e-99999999999999999999"));
}

// Decimals as people and programs write them: up to 17 digits, a point anywhere, an exponent
// or none. Short ones take the reader's own conversion, long ones strtod; both must agree with
// strtod to the bit.
TEST(NumberText, ShortAndLongDecimalsReadAsStrtodReadsThem) {
  // Sixteen digits just above 2^53: rounded to a double before the division, they round twice.
  for (char const* text : {"9007199254740993e-2", "-9007199254740993e-6", "90071992547409.93"})
    EXPECT_TRUE(same_bits(std::strtod(text, nullptr), read_number(text))) << text;
  std::mt19937 random(20261206);
  auto pick = [&random](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text = pick(0, 1) ? "-" : "";
    int const digits = pick(1, 17);
    int const point = pick(0, digits);
    std::string mantissa;
    for (int d = 0; d < digits; ++d) mantissa += static_cast<char>('0' + pick(d == 0 ? 1 : 0, 9));
    text += point == 0 ? "0" : mantissa.substr(0, static_cast<std::size_t>(point));
    if (point < digits) text += "." + mantissa.substr(static_cast<std::size_t>(point));
    if (pick(0, 1)) text += "e" + std::to_string(pick(-40, 40));
    double const expected = std::strtod(text.c_str(), nullptr);
    ASSERT_TRUE(same_bits(expected, read_number(text))) << text;
  }
}

TEST(StringText, EscapesWhatJsonRequiresAndPassesUtf8Through) {
  std::string const value =
      "q\"b\\s/\b\f\n\r\t\x01\x1f G\xC3\xBC\xC3\x9F\x65 \xE2\x82\xAC\xF0\x9D\x84\x9E";
  std::string const text = json::Write(json::UnknownElement(value));
  EXPECT_EQ(
      "\"q\\\"b\\\\s/\\b\\f\\n\\r\\t\\u0001\\u001F G\xC3\xBC\xC3\x9F\x65 "
      "\xE2\x82\xAC\xF0\x9D\x84\x9E\"",
      text);
  json::UnknownElement back;
  json::Read(back, text);
  EXPECT_EQ(json::UnknownElement(value), back);

  // Every byte in every position of names of every length up to one checked as three words: what
  // needs an escape gets one (the text reads back), a byte that is not UTF-8 is refused.
  for (std::size_t length = 1; length <= 17; ++length) {
    for (int c = 1; c < 0x100; ++c) {
      for (std::size_t at = 0; at < length; ++at) {
        std::string name(length, 'a');
        name[at] = static_cast<char>(c);
        json::Object object;
        object[name] = 1;
        if (c >= 0x80) {
          EXPECT_THROW(json::Write(object), json::Exception) << c << " at " << at << "/" << length;
          continue;
        }
        json::Object read;
        json::Read(read, json::Write(object));
        EXPECT_EQ(object, read) << c << " at " << at << "/" << length;
      }
    }
  }

  json::Read(back, R"("\u00fc\uD834\uDD1E\/")");
  EXPECT_EQ("\xC3\xBC\xF0\x9D\x84\x9E/", static_cast<json::String const&>(back).Value());
}

TEST(ObjectText, WritesMembersInInsertionOrderAndAppends) {
  json::Object request;
  request["command"] = "Set_roi";
  request["roi_index"] = 3u;
  request["roi_set"] = 1u;
  request["pan"] = -12.5;
  request["note"] = std::string(300, 'n');  // longer than the text the writer gathers at once
  request["list"] = json::Array();
  request["flags"][1] = true;
  // Members that follow a nested object belong to the one around it.
  request["inner"]["a"]["b"] = 1.0;
  request["inner"]["c"][std::size_t{0}]["d"] = 2.0;
  request["none"] = json::Null();
  std::string buffer = "<";
  json::Write(request, buffer);
  EXPECT_EQ(R"(<{"command":"Set_roi","roi_index":3,"roi_set":1,"pan":-12.5,"note":")" +
                std::string(300, 'n') +
                R"(","list":[],"flags":[null,true],"inner":{"a":{"b":1},"c":[{"d":2}]},)"
                R"("none":null})",
            buffer);

  json::Object back;
  json::Read(back, buffer.substr(1));
  EXPECT_EQ(request, back);
  std::string text = buffer.substr(1);
  json::ReadInPlace(back, text);
  EXPECT_EQ(request, back);

  // A string that is not UTF-8 fails the write and leaves the buffer as it was.
  std::string const written = buffer;
  request["target"] = "\xC3\x28";
  EXPECT_THROW(json::Write(request, buffer), json::Exception);
  EXPECT_EQ(written, buffer);
}

// Lookup, the reader's duplicate check, the writer and comparison all tell names of every length
// apart by any one byte, and only a name given twice is a duplicate.
TEST(ObjectText, NamesDifferingInAnyOneByteAreDifferentMembers) {
  for (std::size_t length = 1; length <= 20; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      std::string const name(length, 'n');
      std::string other = name;
      other[at] = 'o';
      json::Object object;
      object[name] = 1.0;
      object[other] = 2.0;
      ASSERT_EQ(2u, object.Size()) << at << "/" << length;
      EXPECT_EQ(1.0, json::Number(object[name])) << at << "/" << length;
      EXPECT_EQ(2.0, json::Number(object[other])) << at << "/" << length;
      EXPECT_EQ(object.end(), object.Find(name.substr(1))) << at << "/" << length;
      json::Object renamed;  // the same values in the same places, under each other's names
      renamed[other] = 1.0;
      renamed[name] = 2.0;
      EXPECT_FALSE(object == renamed) << at << "/" << length;

      json::Object read;
      json::Read(read, json::Write(object));
      EXPECT_EQ(object, read) << at << "/" << length;
      EXPECT_THROW(json::Read(read, "{\"" + name + "\":1,\"" + name + "\":2}"),
                   json::ParseException)
          << length;
    }
  }
}

TEST(Rejection, MalformedTextsThrowParseException) {
  // clang-format off
  std::string const bad[] = {
      "",        "{}{}",       "[1,]",        "{'a':1}",         "01",
      "+1",      "nan",        "-Infinit",    "1.",              "[1e400]",
      "\"a\nb\"", "\"\\x\"",   "\"\xED\xA0\x80\"", "\"\xC0\xAF\"",  "\"\\uD800\"",
      "{\"\\uDC00\":1}", "{\"a\":1,\"a\":2}", std::string("{}\0", 3)};
  // clang-format on
  for (std::string const& text : bad) {
    json::UnknownElement out = "untouched";
    EXPECT_THROW(json::Read(out, text), json::ParseException) << text;
    EXPECT_EQ(json::UnknownElement("untouched"), out) << text;
  }
  // The object overload takes only an object.
  json::Object kept;
  kept["kept"] = 1.0;
  json::Object const before = kept;
  EXPECT_THROW(json::Read(kept, "[1]"), json::ParseException);
  EXPECT_EQ(before, kept);

  // An escaped lone surrogate anywhere in a name or a string of any length, read from a copy or
  // in place.
  for (std::size_t before = 0; before < 12; ++before) {
    for (std::size_t after = 0; after < 4; ++after) {
      std::string const escaped =
          "\"" + std::string(before, 'a') + "\\uDC00" + std::string(after, 'b') + "\"";
      for (std::string text : {"{" + escaped + ":1}", "{\"s\":" + escaped + "}"}) {
        json::Object out;
        EXPECT_THROW(json::Read(out, text), json::ParseException) << text;
        EXPECT_THROW(json::ReadInPlace(out, text), json::ParseException) << text;
      }
    }
  }
}

// A name given twice is refused in an object at any depth, also when another object or array
// comes between the two, and in objects too large for comparing every pair of names; the same
// name in different objects is no duplicate.
TEST(Rejection, DuplicateNamesAreFoundInEveryObject) {
  std::string many = "{";
  for (int i = 0; i < 20; ++i) many += "\"m" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  std::string const distinct = many + "\"m20\":20}";
  std::string const repeated = many + "\"m3\":20}";
  for (std::string const& text :
       {std::string(R"({"a":{"b":1},"a":2})"), std::string(R"({"a":1,"a":{}})"),
        std::string(R"({"x":[{"b":1},[]],"x":3})"), std::string(R"({"o":{"b":1,"b":2}})"),
        std::string(R"([{"c":1},{"b":1,"b":2}])"), repeated}) {
    json::Object out;
    EXPECT_THROW(json::Read(out, "{\"v\":" + text + "}"), json::ParseException) << text;
    std::string buffer = "{\"v\":" + text + "}";
    EXPECT_THROW(json::ReadInPlace(out, buffer), json::ParseException) << text;
  }
  json::Object out;
  std::string text = R"({"a":{"a":{"a":1},"b":[{"a":1},{"a":2}]},"b":)" + distinct + "}";
  ASSERT_NO_THROW(json::ReadInPlace(out, text));
  EXPECT_EQ(21u, static_cast<json::Object const&>(out["b"]).Size());
}

TEST(Limits, NestingAndSizeAreBoundedWithoutExhaustingTheStack) {
  auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  json::UnknownElement out;
  EXPECT_NO_THROW(json::Read(out, nested(64)));
  EXPECT_THROW(json::Read(out, nested(65)), json::ParseException);
  std::string const deep = parse_error([&] { json::Read(out, std::string(100000, '[')); });
  EXPECT_NE(std::string::npos, deep.find("Nesting deeper than 64 levels.")) << deep;
  json::Limits shallow;
  shallow.max_depth = 1;
  EXPECT_NO_THROW(json::Read(out, R"({"a":[]})", json::Limits{}));
  EXPECT_THROW(json::Read(out, R"({"a":[]})", shallow), json::ParseException);

  // The size is checked before parsing.
  std::string text = "{}" + std::string((1u << 20) - 2, ' ');
  EXPECT_NO_THROW(json::Read(out, text));
  text += ' ';
  EXPECT_THROW(json::Read(out, text), json::ParseException);
  json::Limits small;
  small.max_bytes = 8;
  EXPECT_THROW(json::Read(out, R"({"a":100})", small), json::ParseException);
}

// Every prefix and many single-byte corruptions of a real response either read or throw
// ParseException, alike when read in place; run under the sanitizers this is what "never
// crashes" rests on.
TEST(Rejection, TruncatedAndCorruptedTextsNeverCrash) {
  std::string const good =
      R"({"status":0,"source_width_millipercent":[100000,50000.5,-1e-3,12345678901234567e-3],)"
      R"("name":"G\u00fc\"\n","ok":true,"none":null,"nested":{"x":[[],{}]},"inf":-Infinity})";
  json::Object out;
  ASSERT_NO_THROW(json::Read(out, good));
  expect_in_place_agrees(good);
  for (std::size_t length = 0; length < good.size(); ++length) {
    EXPECT_THROW(json::Read(out, good.substr(0, length)), json::ParseException) << length;
    expect_in_place_agrees(good.substr(0, length));
  }
  char const replacements[] = {'\0', '"', '\\', '[', '{', '}', ',', '-', 'e', '\xff', '\xed'};
  for (std::size_t at = 0; at < good.size(); ++at) {
    for (char replacement : replacements) {
      std::string corrupt = good;
      corrupt[at] = replacement;
      expect_in_place_agrees(corrupt);
    }
  }
  // In place, a number is followed by the rest of the text, which strtod would read on.
  expect_in_place_agrees(R"({"a":NaN(1)})");
  expect_in_place_agrees(R"({"a":123456789012345678(9)})");
  // A multi-byte character's first byte at the end, whose continuation bytes would lie past it.
  expect_in_place_agrees("{\"a\":[[[[[[[[[[[[[[[[[[[[[[[[[[[\"\\\\t\xf1}");
}

}  // namespace
