#include <rapidjson/writer.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

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
    if (at_ == std::end(buffer_)) FlushSlowly();
    *at_++ = c;
  }
  void Append(char const* text, std::size_t length) {
    if (length > Room()) return AppendSlowly(text, length);
    detail::CopyBytes(at_, text, length);
    at_ += length;
  }
  // `text` between double quotes, with one test for room instead of three.
  void AppendQuoted(char const* text, std::size_t length) {
    if (length + 2 > Room()) return AppendQuotedSlowly(text, length);
    *at_ = '"';
    detail::CopyBytes(at_ + 1, text, length);
    at_[length + 1] = '"';
    at_ += length + 2;
  }
  // The same for `text` of `length` bytes given also as its first and its last word, which
  // overlap: both are stored as they are (or the text copied when the buffer has no room).
  template <typename Word>
  void AppendQuoted(Word first, Word last, char const* text, std::size_t length) {
    if (length + 2 > Room()) return AppendQuotedSlowly(text, length);
    *at_ = '"';
    std::memcpy(at_ + 1, &first, sizeof first);
    std::memcpy(at_ + 1 + length - sizeof last, &last, sizeof last);
    at_[length + 1] = '"';
    at_ += length + 2;
  }
  // The writer flushes at the end of the text, and so does WriteInto.
  void Flush() {
    if (at_ != buffer_) FlushSlowly();
  }

 private:
  // The cases that flush, out of line so that the common ones save fewer registers.
  __attribute__((noinline)) void FlushSlowly() {
    out_.append(buffer_, static_cast<std::size_t>(at_ - buffer_));
    at_ = buffer_;
  }
  __attribute__((noinline)) void AppendSlowly(char const* text, std::size_t length) {
    Flush();
    if (length > sizeof buffer_) return (void)out_.append(text, length);
    detail::CopyBytes(at_, text, length);
    at_ += length;
  }
  __attribute__((noinline)) void AppendQuotedSlowly(char const* text, std::size_t length) {
    Put('"');
    Append(text, length);
    Put('"');
  }

  std::size_t Room() const { return static_cast<std::size_t>(std::end(buffer_) - at_); }

  std::string& out_;
  char buffer_[256];
  char* at_ = buffer_;
};

constexpr unsigned kWriteFlags =
    rapidjson::kWriteValidateEncodingFlag | rapidjson::kWriteNanAndInfFlag;
// Memory for the writer's nesting stack, which a thread keeps with its writer from call to call
// (see WriteInto). Unlike the library's own allocators it throws std::bad_alloc when there is
// none, instead of handing the stack a null pointer.
class StackMemory {
 public:
  [[maybe_unused]] static constexpr bool kNeedFree = true;
  void* Malloc(std::size_t size) { return Realloc(nullptr, 0, size); }
  void* Realloc(void* original, std::size_t, std::size_t size) {
    if (size == 0) {
      std::free(original);
      return nullptr;
    }
    void* const memory = std::realloc(original, size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
  }
  static void Free(void* memory) { std::free(memory); }
};

using BaseWriter =
    rapidjson::Writer<StringSink, rapidjson::UTF8<>, rapidjson::UTF8<>, StackMemory, kWriteFlags>;

// The writer, with names and strings that need neither escaping nor an encoding check (printable
// ASCII without '"' and '\\', nearly all of them) appended whole instead of byte by byte.
class Writer : public BaseWriter {
 public:
  using BaseWriter::BaseWriter;

  // Integer and Text write a value as the library's Int64 and String would. kInContainer: the
  // value is known to be inside an array or object, so it cannot end the text, and the test for
  // the end (which flushes the text) is left out.

  // Digits right to left in a small buffer, appended at once. A magnitude that fits 32 bits
  // (nearly all) is divided as such: on a 32-bit core a 64-bit division is a call into the
  // runtime library.
  template <bool kInContainer = false>
  bool Integer(std::int64_t value) {
    char digits[20];  // "-9223372036854775808" at most
    char* const end = std::end(digits);
    char* p = end;
    std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    while (magnitude > UINT32_MAX) {
      *--p = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    }
    auto small = static_cast<std::uint32_t>(magnitude);
    do {
      *--p = static_cast<char>('0' + small % 10);
      small /= 10;
    } while (small != 0);
    if (value < 0) *--p = '-';
    Prefix(rapidjson::kNumberType);
    os_->Append(p, static_cast<std::size_t>(end - p));
    return kInContainer || EndValue(true);
  }

  // A string of four to sixteen bytes (nearly every name and string) is read as two words that
  // overlap, which are tested and then stored as they are.
  template <bool kInContainer = false>
  bool Text(char const* text, std::size_t length) {
    if (length - 4 <= 16 - 4) {
      if (length >= 8) {
        std::uint64_t const first = detail::Load64(text);
        std::uint64_t const last = detail::Load64(text + length - 8);
        if (!IsPlainWords(first, last)) return Escaped(text, length);
        Prefix(rapidjson::kStringType);
        os_->AppendQuoted(first, last, text, length);
      } else {
        std::uint32_t const first = detail::Load32(text);
        std::uint32_t const last = detail::Load32(text + length - 4);
        if (!IsPlainWords(first, last)) return Escaped(text, length);
        Prefix(rapidjson::kStringType);
        os_->AppendQuoted(first, last, text, length);
      }
      return kInContainer || EndValue(true);
    }
    if (!IsPlain(text, length)) return Escaped(text, length);
    Prefix(rapidjson::kStringType);
    os_->AppendQuoted(text, length);
    return kInContainer || EndValue(true);
  }

  // Whether the nesting stack has grown past its first capacity (a deeply nested text).
  bool StackGrew() const { return level_stack_.GetCapacity() > kDefaultLevelDepth * sizeof(Level); }

 private:
  static constexpr std::size_t kPadding = 4;  // more than a UTF-8 character's continuation bytes

  // A string that needs escaping or an encoding check, through the library's general path. Out of
  // line, so that the common case in Text saves fewer registers.
  __attribute__((noinline)) bool Escaped(char const* text, std::size_t length) {
    if (length > std::numeric_limits<rapidjson::SizeType>::max() - kPadding) {
      throw Exception("JSON string too long");
    }
    // The encoding check takes the continuation bytes that a character's first byte announces
    // without looking for the end of the text, so a string ending in a cut character would be
    // read past its end. It reads a copy followed by NUL bytes, which end such a character as
    // invalid.
    std::string padded;
    padded.reserve(length + kPadding);
    padded.assign(text, length);
    padded.append(kPadding, '\0');
    return String(padded.data(), static_cast<rapidjson::SizeType>(length));
  }

  // Eight bytes at a time: a word is plain when none of its bytes is below 0x20, 0x7F or above,
  // '"' or '\\'. The last bytes are read as a word that overlaps the ones before it (or, below
  // eight bytes, as two overlapping halves), which tests some bytes twice but never one outside
  // the text.
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

  // Each term sets the high bit of a byte that fails its test: 0x7F or above (the byte itself or
  // the byte plus one), below 0x20 (minus 0x20 borrows), '"' or '\\' (the byte XOR it, minus one,
  // borrows). A failing byte also carries into or borrows from the bytes above it, which may set
  // their high bits too; but the lowest failing byte is reached by no carry or borrow, so the
  // word as a whole fails exactly when one of its bytes does.
  template <typename Word>
  static Word Failing(Word word) {
    constexpr Word kOnes = static_cast<Word>(0x0101010101010101u);
    return word | (word + kOnes) | (word - 0x20 * kOnes) | ((word ^ ('"' * kOnes)) - kOnes) |
           ((word ^ ('\\' * kOnes)) - kOnes);
  }
  static bool IsPlainWord(std::uint64_t word) { return (Failing(word) & 0x8080808080808080u) == 0; }
  // Two words of a text, or the two halves of one when they are 32 bits wide.
  static bool IsPlainWords(std::uint64_t first, std::uint64_t last) {
    return ((Failing(first) | Failing(last)) & 0x8080808080808080u) == 0;
  }
  static bool IsPlainWords(std::uint32_t first, std::uint32_t last) {
    return IsPlainWord(first | std::uint64_t{last} << 32);
  }
};

// Every integer up to this magnitude has an exact double.
constexpr double kMaxExactInteger = 9007199254740992.0;  // 2^53

void Check(bool written) {
  // Numbers and structure always write; only a string that is not UTF-8 is refused.
  if (!written) throw Exception("JSON string is not valid UTF-8");
}

// Out of line, so that WriteNumber's common case saves fewer registers.
__attribute__((noinline)) void WriteDouble(Writer& writer, double value) {
  Check(writer.Double(value));
}

// Integers within +-2^53 (except -0) as integers, everything else (NaN too) as a double.
// kInContainer: see Writer::Integer.
template <bool kInContainer = false>
[[gnu::always_inline]] inline void WriteNumber(Writer& writer, double value) {
  if (value >= -kMaxExactInteger && value <= kMaxExactInteger) {
    auto const integer = static_cast<std::int64_t>(value);
    if (static_cast<double>(integer) == value && !(integer == 0 && std::signbit(value))) {
      Check(writer.Integer<kInContainer>(integer));
      return;
    }
  }
  WriteDouble(writer, value);
}

// Inlined where names and strings are written: as a call it would save and restore more registers
// than it spends on a short name.
template <bool kInContainer = false>
[[gnu::always_inline]] inline void WriteText(Writer& writer, std::string const& text) {
  Check(writer.Text<kInContainer>(text.data(), text.size()));
}

void WriteElement(Writer& writer, UnknownElement const& element);

// Strings and numbers, nearly every member's value, are written here; other values through
// WriteElement.
void WriteObject(Writer& writer, Object const& object) {
  Check(writer.StartObject());
  for (auto const& member : object) {
    WriteText<true>(writer, member.name);
    UnknownElement const& element = member.element;
    if (element.Is<String>()) {
      WriteText<true>(writer, static_cast<String const&>(element));
    } else if (element.Is<Number>()) {
      WriteNumber<true>(writer, static_cast<Number const&>(element));
    } else {
      WriteElement(writer, element);
    }
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
    case UnknownElement::Kind::String:
      WriteText(writer, static_cast<String const&>(element));
      break;
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

// Each thread keeps its writer between calls: making one (its nesting stack, the stack's first
// memory, and freeing both) costs more than writing a small request. A call takes the writer out
// while it writes, so that a call made meanwhile on the same thread makes its own. Only a pointer
// and a flag live in the thread's static TLS block, reached without a call into the dynamic
// linker (initial-exec).
struct KeptWriter {
  Writer* idle;  // null when there is none, or while a call uses it
  bool ended;    // the thread is exiting: writers are no longer kept
};
__attribute__((tls_model("initial-exec"))) thread_local KeptWriter kept_writer;

// Frees the kept writer when the thread ends; registered with the thread's first writer.
struct WriterReleaser {
  ~WriterReleaser() {
    KeptWriter& kept = kept_writer;
    kept.ended = true;
    delete kept.idle;
    kept.idle = nullptr;
  }
};

StackMemory stack_memory;  // stateless

// A writer for a call that finds none kept: the thread's first call, a call made while another
// one writes, or the call after a deeply nested text. Out of line: it is rare.
__attribute__((noinline)) Writer* MakeWriter() {
  thread_local WriterReleaser releaser;
  (void)releaser;
  return new Writer(&stack_memory);
}

// Takes back the writer of a call that has ended. One whose stack grew is freed rather than kept,
// so that one deeply nested text does not hold memory for the rest of the thread's life.
void KeepWriter(Writer* writer) noexcept {
  KeptWriter& kept = kept_writer;
  if (kept.idle == nullptr && !kept.ended && !writer->StackGrew()) {
    kept.idle = writer;
    return;
  }
  delete writer;
}

// Runs `emit` on a writer that appends to `out`; restores `out` when it throws.
template <typename Emit>
void WriteInto(std::string& out, Emit emit) {
  std::size_t const old_size = out.size();
  StringSink sink(out);
  KeptWriter& kept = kept_writer;
  Writer* const writer = kept.idle != nullptr ? kept.idle : MakeWriter();
  kept.idle = nullptr;
  writer->Reset(sink);
  try {
    emit(*writer);
    sink.Flush();
  } catch (...) {
    KeepWriter(writer);
    out.resize(old_size);
    throw;
  }
  KeepWriter(writer);
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
