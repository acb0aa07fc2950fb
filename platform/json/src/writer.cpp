#include <rapidjson/writer.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

#include "bytes.h"
#include "json/text.h"

namespace json {
namespace {

// Output stream for the writer: gathers the text in a buffer of its own and appends it to a
// caller's string when it is full and at the end (Flush), so that a byte costs a store instead
// of a std::string::push_back.
class StringSink {
 public:
  using Ch = char;
  explicit StringSink(std::string& out) : out_(out) {}
  StringSink(StringSink const&) = delete;
  StringSink& operator=(StringSink const&) = delete;

  void Put(char c) {
    if (at_ == std::end(buffer_)) Flush();
    *at_++ = c;
  }
  void Append(char const* text, std::size_t length) {
    if (length > static_cast<std::size_t>(std::end(buffer_) - at_)) {
      Flush();
      if (length > sizeof buffer_) return (void)out_.append(text, length);
    }
    std::memcpy(at_, text, length);
    at_ += length;
  }
  void Flush() {
    out_.append(buffer_, static_cast<std::size_t>(at_ - buffer_));
    at_ = buffer_;
  }

 private:
  std::string& out_;
  char buffer_[256];
  char* at_ = buffer_;
};

constexpr unsigned kWriteFlags =
    rapidjson::kWriteValidateEncodingFlag | rapidjson::kWriteNanAndInfFlag;
using BaseWriter = rapidjson::Writer<StringSink, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                     rapidjson::MemoryPoolAllocator<>, kWriteFlags>;

// The writer, with names and strings that need neither escaping nor an encoding check (printable
// ASCII without '"' and '\\', nearly all of them) appended whole instead of byte by byte.
class Writer : public BaseWriter {
 public:
  using BaseWriter::BaseWriter;

  // What Int64 writes, formed without its general path: digits right to left in a small buffer.
  bool Integer(std::int64_t value) {
    char digits[20];  // "-9223372036854775808" at most
    char* const end = std::end(digits);
    char* p = end;
    std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
      *--p = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *--p = '-';
    Prefix(rapidjson::kNumberType);
    for (; p != end; ++p) os_->Put(*p);
    return EndValue(true);
  }

  bool Text(char const* text, std::size_t length) {
    if (!IsPlain(text, length)) {
      if (length > std::numeric_limits<rapidjson::SizeType>::max() - kPadding) {
        throw Exception("JSON string too long");
      }
      // The encoding check takes the continuation bytes that a character's first byte announces
      // without looking for the end of the text, so a string ending in a cut character would
      // be read past its end. It reads a copy followed by NUL bytes, which end such a character
      // as invalid.
      std::string padded;
      padded.reserve(length + kPadding);
      padded.assign(text, length);
      padded.append(kPadding, '\0');
      return String(padded.data(), static_cast<rapidjson::SizeType>(length));
    }
    Prefix(rapidjson::kStringType);
    os_->Put('"');
    os_->Append(text, length);
    os_->Put('"');
    return EndValue(true);
  }

 private:
  static constexpr std::size_t kPadding = 4;  // more than a UTF-8 character's continuation bytes

  // Eight bytes at a time: a word is plain when none of its bytes is below 0x20, 0x7F or above,
  // '"' or '\\' (each test is exact for the word as a whole). The last bytes are read as a word
  // that overlaps the ones before it (or, below eight bytes, as two overlapping halves), which
  // tests some bytes twice but never one outside the text.
  static bool IsPlain(char const* text, std::size_t length) {
    if (length >= 8) {
      std::size_t i = 0;
      for (; i + 8 < length; i += 8) {
        if (!IsPlainWord(detail::Load64(text + i))) return false;
      }
      return IsPlainWord(detail::Load64(text + length - 8));
    }
    if (length >= 4) {
      std::uint64_t const last = detail::Load32(text + length - 4);
      return IsPlainWord(detail::Load32(text) | last << 32);
    }
    for (std::size_t i = 0; i < length; ++i) {
      auto const c = static_cast<unsigned char>(text[i]);
      if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') return false;
    }
    return true;
  }

  static bool IsPlainWord(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighs = 0x8080808080808080u;
    // Once no byte has its high bit set, no test below carries from one byte into the next.
    auto has_zero_byte = [](std::uint64_t w) { return ((w - kOnes) & ~w & kHighs) != 0; };
    return ((word | (word + kOnes)) & kHighs) == 0 &&        // 0x7F or above
           ((word - 0x20 * kOnes) & ~word & kHighs) == 0 &&  // below 0x20
           !has_zero_byte(word ^ ('"' * kOnes)) && !has_zero_byte(word ^ ('\\' * kOnes));
  }
};

// Every integer up to this magnitude has an exact double.
constexpr double kMaxExactInteger = 9007199254740992.0;  // 2^53

void Check(bool written) {
  // Numbers and structure always write; only a string that is not UTF-8 is refused.
  if (!written) throw Exception("JSON string is not valid UTF-8");
}

// Integers within +-2^53 (except -0) as integers, everything else (NaN too) as a double.
void WriteNumber(Writer& writer, double value) {
  if (value >= -kMaxExactInteger && value <= kMaxExactInteger) {
    auto const integer = static_cast<std::int64_t>(value);
    if (static_cast<double>(integer) == value && !(integer == 0 && std::signbit(value))) {
      Check(writer.Integer(integer));
      return;
    }
  }
  Check(writer.Double(value));
}

void WriteElement(Writer& writer, UnknownElement const& element);

void WriteObject(Writer& writer, Object const& object) {
  Check(writer.StartObject());
  for (auto const& member : object) {
    Check(writer.Text(member.name.data(), member.name.size()));
    WriteElement(writer, member.element);
  }
  Check(writer.EndObject());
}

void WriteElement(Writer& writer, UnknownElement const& element) {
  switch (element.GetKind()) {
    case UnknownElement::Kind::Null:
      Check(writer.Null());
      break;
    case UnknownElement::Kind::Boolean:
      Check(writer.Bool(static_cast<Boolean const&>(element)));
      break;
    case UnknownElement::Kind::Number:
      WriteNumber(writer, static_cast<Number const&>(element));
      break;
    case UnknownElement::Kind::String: {
      std::string const& text = static_cast<String const&>(element);
      Check(writer.Text(text.data(), text.size()));
      break;
    }
    case UnknownElement::Kind::Array:
      Check(writer.StartArray());
      for (auto const& item : static_cast<Array const&>(element)) WriteElement(writer, item);
      Check(writer.EndArray());
      break;
    case UnknownElement::Kind::Object:
      WriteObject(writer, static_cast<Object const&>(element));
      break;
  }
}

// Runs `emit` on a writer that appends to `out`; restores `out` when it throws.
template <typename Emit>
void WriteInto(std::string& out, Emit emit) {
  std::size_t const old_size = out.size();
  StringSink sink(out);
  // The writer's nesting stack starts in this buffer instead of the heap.
  alignas(8) char scratch[1024];
  rapidjson::MemoryPoolAllocator<> pool(scratch, sizeof scratch);
  Writer writer(sink, &pool);
  try {
    emit(writer);
    sink.Flush();
  } catch (...) {
    out.resize(old_size);
    throw;
  }
}

}  // namespace

void Write(UnknownElement const& element, std::string& out) {
  WriteInto(out, [&element](Writer& writer) { WriteElement(writer, element); });
}

void Write(Object const& object, std::string& out) {
  WriteInto(out, [&object](Writer& writer) { WriteObject(writer, object); });
}

std::string Write(UnknownElement const& element) {
  std::string out;
  Write(element, out);
  return out;
}

std::string Write(Object const& object) {
  std::string out;
  Write(object, out);
  return out;
}

}  // namespace json
