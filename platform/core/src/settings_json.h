// JSON text in and out for the settings file, the configuration file and json-kind values.
#ifndef NELKO_CORE_SETTINGS_JSON_H
#define NELKO_CORE_SETTINGS_JSON_H

#include <string>
#include <string_view>

#include "settings_rapidjson.h"

namespace nelko::core::settings {

using Json = rapidjson::Value;
using JsonAllocator = rapidjson::Document::AllocatorType;

// How deeply a json-kind value or a configuration value may nest. Reading, writing and copying a
// document recurse once per level, so the cap keeps a hostile or broken text from exhausting the
// stack.
constexpr int kMaxValueNesting = 64;

// Parses one complete JSON text (nothing but white space may follow it) into document. False,
// with document unspecified, when the text is not JSON, is not valid UTF-8 or nests deeper than
// max_nesting levels.
bool parse_json(std::string_view text, rapidjson::Document& document, int max_nesting);

// True when text is valid UTF-8 (no overlong forms, surrogates or code points past U+10FFFF):
// JSON text is UTF-8, so a file holding anything else could not be read back.
bool is_utf8(std::string_view text);

// True when two members of object have the same name. RapidJSON keeps both, but lookups would
// only ever see the first.
bool has_duplicate_names(Json const& object);

// True when a and b would be written as the same text: members in the same order, numbers of
// the same kind and the same bits (-0.0 is not 0.0, as it is for ==).
bool same_document(Json const& a, Json const& b);

// The value of object's member name, null when it has none.
Json const* find_member(Json const& object, std::string_view name);

std::string to_compact_text(Json const& value);
// Two-space indents and a final newline: the form of the files on disk.
std::string to_pretty_text(Json const& value);

}  // namespace nelko::core::settings

#endif
