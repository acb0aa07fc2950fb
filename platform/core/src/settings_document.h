// The settings file's JSON document, as nelko_core_settings.h describes it:
//   {"version": N, "values": {key: {"type": kind name, "value": v, "default": d}}}
// These functions know the layout; they neither lock nor touch the disk.
#ifndef NELKO_CORE_SETTINGS_DOCUMENT_H
#define NELKO_CORE_SETTINGS_DOCUMENT_H

#include <string_view>

#include "nelko_core_types.h"
#include "settings_json.h"
#include "settings_rapidjson.h"

namespace nelko::core::settings {

inline constexpr char kValuePart[] = "value";
inline constexpr char kDefaultPart[] = "default";

// Version 0 and no keys.
void make_empty_settings(rapidjson::Document& document);

// True when every part of document follows the layout, every value being of its entry's kind.
bool is_settings_document(Json const& document);

// The settings file nests its values three levels deeper than a json value may nest.
constexpr int kMaxSettingsNesting = kMaxValueNesting + 3;

Json const* find_entry(Json const& document, std::string_view key);
Json* find_entry(Json& document, std::string_view key);
nelko_core_settings_type entry_type(Json const& entry);

// The entry's "value" or "default" member, null when it has none.
Json const* entry_part(Json const& entry, char const* part);

// The entry of key, made (with no value and no default) when key is new; null when key exists
// with another kind.
Json* entry_to_write(rapidjson::Document& document, std::string_view key,
                     nelko_core_settings_type type);
void add_entry(rapidjson::Document& document, std::string_view key, Json& entry);
void remove_entry(Json& document, std::string_view key);
// Moves value into the entry's part, replacing what was there.
void set_entry_part(Json& entry, char const* part, Json& value, JsonAllocator& allocator);

Json const& values_of(Json const& document);
unsigned int version_of(Json const& document);
void set_version(Json& document, unsigned int version);

}  // namespace nelko::core::settings

#endif
