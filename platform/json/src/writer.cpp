#include <rapidjson/writer.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "json/text.h"

namespace json {
namespace {

// Output stream for the writer: appends to a caller's string.
class StringSink {
 public:
  using Ch = char;
  explicit StringSink(std::string& out) : out_(out) {}
  void Put(char c) { out_.push_back(c); }
  void Flush() {}

 private:
  std::string& out_;
};

constexpr unsigned kWriteFlags =
    rapidjson::kWriteValidateEncodingFlag | rapidjson::kWriteNanAndInfFlag;
using Writer = rapidjson::Writer<StringSink, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                 rapidjson::MemoryPoolAllocator<>, kWriteFlags>;

// Every integer up to this magnitude has an exact double.
constexpr double kMaxExactInteger = 9007199254740992.0;  // 2^53

void Check(bool written) {
  // Numbers and structure always write; only a string that is not UTF-8 is refused.
  if (!written) throw Exception("JSON string is not valid UTF-8");
}

rapidjson::SizeType TextLength(std::string const& text) {
  if (text.size() > std::numeric_limits<rapidjson::SizeType>::max()) {
    throw Exception("JSON string too long");
  }
  return static_cast<rapidjson::SizeType>(text.size());
}

void WriteNumber(Writer& writer, double value) {
  bool const integral = std::fabs(value) <= kMaxExactInteger && std::trunc(value) == value &&
                        !(value == 0 && std::signbit(value));
  Check(integral ? writer.Int64(static_cast<std::int64_t>(value)) : writer.Double(value));
}

void WriteElement(Writer& writer, UnknownElement const& element);

void WriteObject(Writer& writer, Object const& object) {
  Check(writer.StartObject());
  for (auto const& member : object) {
    Check(writer.Key(member.name.data(), TextLength(member.name)));
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
      Check(writer.String(text.data(), TextLength(text)));
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
