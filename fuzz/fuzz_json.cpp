// The JSON document model: any text either reads or throws json::ParseException; what reads
// writes, and what is written reads back to the same text. Lenient and strict access and the
// self-referencing assignments the header allows are exercised on what was read. Reading in
// place reads what reading a copy reads.
//
// Input: one byte of choices (the nesting limit), then the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "json/text.h"

namespace {

void require(bool condition, char const* what) {
  if (condition) return;
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

// Strict access on every member and element, then lenient access, which may only add or convert.
void walk(json::UnknownElement& element, unsigned depth) {
  json::UnknownElement const& strict = element;
  switch (element.GetKind()) {
    case json::UnknownElement::Kind::Object: {
      json::Object& object = element;
      for (auto& member : object) {
        require(&strict[member.name] == &member.element, "strict lookup found another member");
        if (depth < 8) walk(member.element, depth + 1);
      }
      try {
        (void)strict["\x01 absent"];
        require(false, "strict lookup of an absent member succeeded");
      } catch (json::Exception const&) {
      }
      break;
    }
    case json::UnknownElement::Kind::Array: {
      json::Array& array = element;
      for (std::size_t i = 0; i < array.Size(); ++i) {
        (void)strict[i];
        if (depth < 8) walk(array[i], depth + 1);
      }
      try {
        (void)strict[array.Size()];
        require(false, "strict index past the end succeeded");
      } catch (json::Exception const&) {
      }
      break;
    }
    default:
      try {
        (void)static_cast<json::Object const&>(strict);
        require(false, "a scalar converted strictly to an object");
      } catch (json::Exception const&) {
      }
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0) return 0;
  json::Limits limits;
  limits.max_depth = 1 + data[0] % 80;
  std::string_view const text(reinterpret_cast<char const*>(data + 1), size - 1);

  // Reading in place agrees with reading a copy: the same object, or the same error.
  {
    json::Object copied;
    json::Object in_place;
    std::string copied_error;
    std::string in_place_error;
    try {
      json::Read(copied, text, limits);
    } catch (json::ParseException const& error) {
      copied_error = error.what();
    }
    std::string buffer(text);
    try {
      json::ReadInPlace(in_place, buffer, limits);
    } catch (json::ParseException const& error) {
      in_place_error = error.what();
    }
    require(copied_error == in_place_error, "reading in place failed otherwise than a copy");
    require(json::Write(copied) == json::Write(in_place), "reading in place read another value");
  }

  json::UnknownElement element;
  try {
    json::Read(element, text, limits);
  } catch (json::ParseException const&) {
    return 0;
  }
  std::string const written = json::Write(element);
  json::UnknownElement again;
  json::Read(again, written);  // must not throw
  require(json::Write(again) == written, "writing what was read back changed the text");
  if (written.find("NaN") == std::string::npos) require(again == element, "round trip differs");

  // Reading as an object agrees with reading as any value.
  json::Object object;
  bool const is_object = element.Is<json::Object>();
  try {
    json::Read(object, text, limits);
    require(is_object, "a non-object read as an object");
  } catch (json::ParseException const&) {
    require(!is_object, "an object failed to read as an object");
  }

  json::UnknownElement copy = element;
  walk(copy, 0);
  // The source may live inside the destination.
  if (copy.Is<json::Object>()) {
    json::Object const& members = copy;
    if (!members.Empty()) copy = copy[members.begin()->name];
  } else if (copy.Is<json::Array>()) {
    json::Array const& elements = copy;
    if (!elements.Empty()) copy = std::move(copy[std::size_t{0}]);
  }
  json::Write(copy);
  return 0;
}
