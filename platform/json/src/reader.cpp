#include <boost/container/small_vector.hpp>
#include <locale.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stream.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "bytes.h"
#include "json/text.h"

namespace json {
namespace {

// Numbers reach the builder as text (kParseNumbersAsStringsFlag) and are converted here: the
// library's own decimal-to-double conversion overflows a signed int on exponents near INT_MIN
// ("0.0000000000e-2147483639"), and strtod_l rounds correctly in any process locale.
locale_t CLocale() {
  static locale_t const c_locale = newlocale(LC_ALL_MASK, "C", locale_t());
  if (!c_locale) throw Exception("cannot create the C locale");
  return c_locale;
}

// Exact powers of ten: every one up to 10^22 is a double.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The common number, whose digits make an integer below 2^53 and whose decimal exponent is
// small, converted without strtod: the integer is exact as a double, and one multiplication or
// division by an exact power of ten rounds correctly (IEEE arithmetic rounds a single operation
// on exact operands correctly). False for anything else, which strtod then converts. `text` is
// a number the reader has already checked against the JSON grammar (or NaN, Infinity and the
// like), so it is not empty and its digits are where the grammar puts them.
bool ReadSimpleNumber(char const* text, std::size_t length, double& value) {
#if FLT_EVAL_METHOD != 0
  return false;  // intermediate results of extra precision would round twice
#endif
  // Below this, digits * 10 + 9 stays below 2^53.
  constexpr std::uint64_t kDigitsLimit = (std::uint64_t{1} << 53) / 10;
  auto digit_at = [](char const* at) { return static_cast<unsigned char>(*at) - unsigned{'0'}; };
  char const* p = text;
  char const* const end = text + length;
  bool const negative = *p == '-';
  if (negative) ++p;
  std::uint64_t digits = 0;
  int exponent = 0;
  for (unsigned digit; p != end && (digit = digit_at(p)) <= 9; ++p) {
    if (digits >= kDigitsLimit) return false;
    digits = digits * 10 + digit;
  }
  if (p != end && *p == '.') {
    for (unsigned digit; ++p != end && (digit = digit_at(p)) <= 9;) {
      if (digits >= kDigitsLimit) return false;
      digits = digits * 10 + digit;
      --exponent;
    }
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool const negative_exponent = p != end && *p == '-';
    if (p != end && (*p == '-' || *p == '+')) ++p;
    int written = 0;
    for (unsigned digit; p != end && (digit = digit_at(p)) <= 9; ++p) {
      if (written > 1000) return false;  // far beyond any double either way
      written = written * 10 + static_cast<int>(digit);
    }
    exponent += negative_exponent ? -written : written;
  }
  if (p != end) return false;  // NaN, Infinity and the like
  double result = static_cast<double>(digits);
  if (digits != 0) {
    if (exponent < -22 || exponent > 22) return false;
    result = exponent < 0 ? result / kExactPowersOfTen[-exponent]
                          : result * kExactPowersOfTen[exponent];
  }
  value = negative ? -result : result;
  return true;
}

// Text of ASCII characters only is valid UTF-8 by itself; the reader then skips its per-byte
// encoding check.
bool IsAscii(std::string_view text) {
  return detail::IsAsciiText(text.data(), text.size());
}

}  // namespace

namespace detail {

// A bit for each member name among 32, from its length and its first and last bytes (up to four
// of each). Two names with different bits differ; two with the same bit may or may not. The
// multiplier gives the names of each of this library's responses bits of their own, except the
// x and y of a layout, which differ only in the middle.
inline std::uint32_t NameBit(char const* name, std::size_t length) {
  std::uint32_t key;
  if (length >= 4) {
    key = Load32(name) + Load32(name + length - 4);
  } else if (length > 0) {
    auto byte = [name](std::size_t at) {
      return std::uint32_t{static_cast<unsigned char>(name[at])};
    };
    key = byte(0) | byte(length / 2) << 8 | byte(length - 1) << 16;
  } else {
    key = 0;
  }
  key += static_cast<std::uint32_t>(length);
  return std::uint32_t{1} << ((key * 0x27D4EB2Fu) >> 27);
}

// Receives the reader's events and builds the document in place. The innermost open container
// is described by members_ (its members when it is an object) or array_ (when it is an array);
// the containers around it wait on open_, outermost first. Only the innermost one grows, so the
// pointers stay valid.
class DomBuilder {
 public:
  using SizeType = rapidjson::SizeType;

  // Builds the text's value in `root`, a Null element; or, when `object` is not null and the
  // value is an object, in *object, an empty object (ObjectRead() tells which).
  DomBuilder(UnknownElement& root, Object* object, unsigned max_depth)
      : root_(root), object_(object), max_depth_(max_depth) {}

  // Why the builder stopped the reader; empty when it did not.
  std::string Error() const {
    if (too_deep_) return "Nesting deeper than " + std::to_string(max_depth_) + " levels.";
    return error_ != nullptr ? error_ : "";
  }
  // Whether the value, an object, was built in the object given to the constructor.
  bool ObjectRead() const { return object_read_; }

  bool Null() { return Add(json::Null()), true; }
  bool Bool(bool value) { return Add(Boolean(value)), true; }
  // Unused under kParseNumbersAsStringsFlag, but the reader's interface requires them.
  bool Int(int value) { return Add(Number(value)), true; }
  bool Uint(unsigned value) { return Add(Number(value)), true; }
  bool Int64(int64_t value) { return Add(Number(static_cast<double>(value))), true; }
  bool Uint64(uint64_t value) { return Add(Number(static_cast<double>(value))), true; }
  bool Double(double value) { return Add(Number(value)), true; }

  // The reader hands over a NUL-terminated copy of the number's text (`copy`), or, reading in
  // place, the number where it stands in the text, followed by whatever comes next.
  bool RawNumber(char const* text, SizeType length, bool copy) {
    double simple;
    if (ReadSimpleNumber(text, length, simple)) {
      Add(Number(simple));
      return true;
    }
    return ReadOtherNumber(text, length, copy);
  }

  bool String(char const* text, SizeType length, bool) {
    if (HasSurrogate(text, length)) return Fail("Escape of a lone surrogate.");
    Add(json::String(std::string(text, length)));
    return true;
  }

  // Read in place (`copy` false), the name stays where it stands until the document is built;
  // a copy handed over by the reader is gone at the next string, so it is kept in key_copy_.
  // Each name sets its bit in names_; one whose bit was set already may repeat an earlier name,
  // which EndObject then checks.
  bool Key(char const* text, SizeType length, bool copy) {
    if (HasSurrogate(text, length)) return Fail("Escape of a lone surrogate.");
    std::uint32_t const bit = NameBit(text, length);
    shared_bit_ |= (names_ & bit) != 0;
    names_ |= bit;
    if (copy) {
      key_copy_.assign(text, length);
      key_ = key_copy_;
    } else {
      key_ = std::string_view(text, length);
    }
    return true;
  }

  bool StartObject() { return Open<Object>(); }
  bool StartArray() { return Open<Array>(); }

  bool EndObject(SizeType) {
    bool const duplicate = shared_bit_ && HasDuplicateName(*members_);
    Close();
    if (!duplicate) return true;
    return Fail("Duplicate member name.");
  }

  bool EndArray(SizeType) {
    Close();
    return true;
  }

 private:
  // RawNumber's rare case, out of line so that its common one saves fewer registers.
  __attribute__((noinline)) bool ReadOtherNumber(char const* text, SizeType length, bool copy) {
    if (copy) return ReadAnyNumber(text, length);
    return ReadAnyNumber(std::string(text, length).c_str(), length);
  }

  // strtod for what ReadSimpleNumber does not take; `text` is NUL-terminated.
  bool ReadAnyNumber(char const* text, SizeType length) {
    char* end = nullptr;
    errno = 0;
    double const value = strtod_l(text, &end, CLocale());
    if (end != text + length) return Fail("Invalid number.");
    if (errno == ERANGE && std::isinf(value)) return Fail("Number too big to be stored in double.");
    Add(Number(value));  // an underflow reads as the nearest subnormal or zero
    return true;
  }

  bool Fail(char const* reason) {
    error_ = reason;
    return false;
  }

  // What describes a container around the innermost one while it waits.
  struct Outer {
    Object::Members* members;
    Array* array;
    std::uint32_t names;
    bool shared_bit;
  };

  template <typename Container>
  bool Open() {
    if (open_.size() >= max_depth_) {
      too_deep_ = true;
      return false;
    }
    Container* container;
    if (open_.empty()) {
      container = RootContainer<Container>();
    } else {
      container = &static_cast<Container&>(Add(Container()));
    }
    open_.push_back(Outer{members_, array_, names_, shared_bit_});
    if constexpr (std::is_same_v<Container, Object>) {
      members_ = &container->members_;
      array_ = nullptr;
      names_ = 0;
      shared_bit_ = false;
    } else {
      members_ = nullptr;
      array_ = container;
    }
    return true;
  }

  // The outermost container: the object given to the constructor, or the root element made
  // that container where it is, without a temporary to move from.
  template <typename Container>
  Container* RootContainer() {
    if constexpr (std::is_same_v<Container, Object>) {
      if (object_ != nullptr) {
        object_read_ = true;
        return object_;
      }
    }
    return &static_cast<Container&>(root_);
  }

  void Close() {
    Outer const& outer = open_.back();
    members_ = outer.members;
    array_ = outer.array;
    names_ = outer.names;
    shared_bit_ = outer.shared_bit;
    open_.pop_back();
  }

  // Places a complete value: as the member named key_, as the next element or as the root. The
  // element is built where it goes, from the value of its own kind.
  template <typename Value>
  UnknownElement& Add(Value&& value) {
    if (members_ != nullptr) {
      members_->emplace_back(kNameInPlace, key_, std::forward<Value>(value));
      return members_->back().element;
    }
    if (array_ != nullptr) return *array_->Insert(UnknownElement(std::forward<Value>(value)));
    return root_ = UnknownElement(std::forward<Value>(value));
  }

  // Validated UTF-8 cannot hold a surrogate (0xED 0xA0..0xBF ...), but the reader encodes an
  // escaped low surrogate without a preceding high one as if it were a character.
  static bool HasSurrogate(char const* text, SizeType length) {
    return !IsAsciiText(text, length) && HasSurrogateIn(text, length);  // nearly all are ASCII
  }

  // HasSurrogate's rare case, out of line so that the reader's string code saves fewer registers.
  __attribute__((noinline)) static bool HasSurrogateIn(char const* text, SizeType length) {
    char const* end = text + length;
    for (char const* p = text; (p = static_cast<char const*>(std::memchr(p, '\xED', end - p)));) {
      ++p;
      if (p != end && (static_cast<unsigned char>(*p) & 0xE0) == 0xA0) return true;
    }
    return false;
  }

  // Sorting keeps a hostile object with many members from costing quadratic time. Out of line:
  // it runs only for objects with two names of the same bit.
  __attribute__((noinline)) static bool HasDuplicateName(Object::Members const& members) {
    if (members.size() <= 16) {
      for (auto a = members.begin(); a != members.end(); ++a) {
        for (auto b = std::next(a); b != members.end(); ++b) {
          if (SameName(a->name, b->name)) return true;
        }
      }
      return false;
    }
    std::vector<std::string_view> names;
    names.reserve(members.size());
    for (auto const& member : members) names.emplace_back(member.name);
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) != names.end();
  }

  UnknownElement& root_;
  Object* const object_;
  unsigned const max_depth_;
  bool object_read_ = false;
  bool too_deep_ = false;
  char const* error_ = nullptr;
  // The innermost open container, and for an object the bits of its names so far (NameBit) and
  // whether two of them were the same.
  Object::Members* members_ = nullptr;
  Array* array_ = nullptr;
  std::uint32_t names_ = 0;
  bool shared_bit_ = false;
  boost::container::small_vector<Outer, 16> open_;  // no allocation when shallow
  std::string_view key_;
  std::string key_copy_;
};

}  // namespace detail

namespace {

// Reads `text` as DomBuilder(root, object, ...) builds it: from a copy of each string and number
// (a MemoryStream), or in place (an InsituStringStream over `text`, NUL-terminated at its end;
// ASCII text only, see ReadInPlace). Returns whether the value went into *object.
template <unsigned kExtraFlags, typename Stream>
bool Parse(UnknownElement& root, Object* object, std::string_view text, bool ascii, Stream& stream,
           Limits const& limits) {
  if (text.size() > limits.max_bytes) {
    throw ParseException("JSON text of " + std::to_string(text.size()) +
                             " bytes exceeds the limit of " + std::to_string(limits.max_bytes),
                         limits.max_bytes);
  }
  constexpr unsigned kFlags =
      rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseNanAndInfFlag | kExtraFlags;
  constexpr unsigned kValidatingFlags = kFlags | rapidjson::kParseValidateEncodingFlag;
  // The reader's scratch stack (copies of strings and numbers) starts in this buffer instead of
  // the heap. Reading in place copies nothing, so that reader goes without the allocator and
  // saves setting one up and releasing it; its stack would make an allocator of its own if it
  // ever needed one.
  alignas(8) char scratch[1024];
  std::optional<rapidjson::MemoryPoolAllocator<>> pool;
  if constexpr ((kExtraFlags & rapidjson::kParseInsituFlag) == 0)
    pool.emplace(scratch, sizeof scratch);
  rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>>
      reader(pool ? &*pool : nullptr);

  detail::DomBuilder builder(root, object, limits.max_depth);
  rapidjson::ParseResult result;
  if constexpr ((kExtraFlags & rapidjson::kParseInsituFlag) != 0) {
    result = reader.Parse<kFlags>(stream, builder);
  } else {
    result = ascii ? reader.Parse<kFlags>(stream, builder)
                   : reader.Parse<kValidatingFlags>(stream, builder);
  }
  if (result.IsError()) {
    std::string reason = builder.Error();
    if (reason.empty()) reason = rapidjson::GetParseError_En(result.Code());
    throw ParseException(
        "JSON parse error at offset " + std::to_string(result.Offset()) + ": " + reason,
        result.Offset());
  }
  // The stream reads a NUL byte as the end of the text.
  if (stream.Tell() != text.size()) {
    throw ParseException("JSON parse error at offset " + std::to_string(stream.Tell()) +
                             ": NUL character in the text.",
                         stream.Tell());
  }
  return builder.ObjectRead();
}

// Parse for a text that must hold an object, read into `out`. An empty `out` is built where it is
// (emptied again when reading fails, so it is left as it was); otherwise a new object is built
// and moved into it.
template <unsigned kExtraFlags, typename Stream>
void ParseObject(Object& out, std::string_view text, bool ascii, Stream& stream,
                 Limits const& limits) {
  if (!out.Empty()) {
    Object read;
    ParseObject<kExtraFlags>(read, text, ascii, stream, limits);
    out = std::move(read);
    return;
  }
  UnknownElement other;  // the value when it is not an object
  bool object_read;
  try {
    object_read = Parse<kExtraFlags>(other, &out, text, ascii, stream, limits);
  } catch (...) {
    out.Clear();
    throw;
  }
  if (!object_read) throw ParseException("JSON text is not an object", 0);
}

}  // namespace

void Read(UnknownElement& out, std::string_view text, Limits const& limits) {
  rapidjson::MemoryStream stream(text.data(), text.size());
  UnknownElement root;
  Parse<0>(root, nullptr, text, IsAscii(text), stream, limits);
  out = std::move(root);
}

void Read(Object& out, std::string_view text, Limits const& limits) {
  rapidjson::MemoryStream stream(text.data(), text.size());
  ParseObject<0>(out, text, IsAscii(text), stream, limits);
}

void ReadInPlace(Object& out, std::string& text, Limits const& limits) {
  // The encoding check takes the bytes that a multi-byte character's first byte announces without
  // looking for the end, which in place is only the terminating NUL: it would read past the
  // buffer. Text that needs the check (any byte above 0x7F) is read from a copy.
  if (!IsAscii(text)) return Read(out, text, limits);
  rapidjson::InsituStringStream stream(text.data());
  ParseObject<rapidjson::kParseInsituFlag>(out, text, true, stream, limits);
}

}  // namespace json
