#include "settings_json.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "settings_rapidjson.h"

namespace nelko::core::settings {
namespace {

// Counts brackets outside strings; the parser rejects whatever else is wrong with the text.
bool nests_at_most(std::string_view text, int max_nesting) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_nesting) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

template <class Writer>
std::string write(Json const& value, Writer& writer, rapidjson::StringBuffer& buffer) {
  // Only NaN or infinity can make a writer fail, and the setters refuse both.
  if (!value.Accept(writer)) throw std::invalid_argument("JSON value cannot be written");
  return std::string(buffer.GetString(), buffer.GetSize());
}

// The parser checks the bytes of the text, not what an escape stands for: "\udc00", a lone
// surrogate, becomes bytes that are not UTF-8, and a file holding them could not be read back.
// Recursion as deep as the nesting that parse_json allows.
bool strings_are_utf8(Json const& value) {
  if (value.IsString()) return is_utf8({value.GetString(), value.GetStringLength()});
  if (value.IsArray()) {
    for (auto const& item : value.GetArray())
      if (!strings_are_utf8(item)) return false;
  } else if (value.IsObject()) {
    for (auto const& member : value.GetObject())
      if (!strings_are_utf8(member.name) || !strings_are_utf8(member.value)) return false;
  }
  return true;
}

}  // namespace

bool parse_json(std::string_view text, rapidjson::Document& document, int max_nesting) {
  if (!nests_at_most(text, max_nesting)) return false;
  document.Parse<rapidjson::kParseDefaultFlags | rapidjson::kParseValidateEncodingFlag>(
      text.data(), text.size());
  return !document.HasParseError() && strings_are_utf8(document);
}

bool is_utf8(std::string_view text) {
  struct Discard {
    void Put(char) {}
  } discard;
  rapidjson::MemoryStream stream(text.data(), text.size());
  while (stream.Tell() < text.size())
    if (!rapidjson::UTF8<>::Validate(stream, discard)) return false;
  return true;
}

bool has_duplicate_names(Json const& object) {
  std::vector<std::string_view> names;
  for (auto const& member : object.GetObject())
    names.emplace_back(member.name.GetString(), member.name.GetStringLength());
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) != names.end();
}

bool same_document(Json const& a, Json const& b) {
  if (a.GetType() != b.GetType()) return false;
  if (a.IsNumber()) {
    if (a.IsDouble() != b.IsDouble()) return false;
    if (!a.IsDouble()) return a == b;
    double const x = a.GetDouble(), y = b.GetDouble();
    return std::memcmp(&x, &y, sizeof x) == 0;
  }
  if (a.IsString()) {
    return a.GetStringLength() == b.GetStringLength() &&
           std::memcmp(a.GetString(), b.GetString(), a.GetStringLength()) == 0;
  }
  if (a.IsArray()) {
    if (a.Size() != b.Size()) return false;
    for (rapidjson::SizeType i = 0; i < a.Size(); ++i)
      if (!same_document(a[i], b[i])) return false;
    return true;
  }
  if (a.IsObject()) {
    if (a.MemberCount() != b.MemberCount()) return false;
    for (auto x = a.MemberBegin(), y = b.MemberBegin(); x != a.MemberEnd(); ++x, ++y)
      if (!same_document(x->name, y->name) || !same_document(x->value, y->value)) return false;
    return true;
  }
  return true;  // null, true, false: the type says it all
}

Json const* find_member(Json const& object, std::string_view name) {
  auto found = object.FindMember(
      Json(rapidjson::StringRef(name.data(), static_cast<rapidjson::SizeType>(name.size()))));
  return found == object.MemberEnd() ? nullptr : &found->value;
}

std::string to_compact_text(Json const& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  return write(value, writer, buffer);
}

std::string to_pretty_text(Json const& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
  writer.SetIndent(' ', 2);
  return write(value, writer, buffer) + '\n';
}

}  // namespace nelko::core::settings
