#include "settings_document.h"

#include "settings_value_kinds.h"

namespace nelko::core::settings {
namespace {

constexpr char kVersion[] = "version";
constexpr char kValues[] = "values";
constexpr char kType[] = "type";

bool is_entry(Json const& entry) {
  if (!entry.IsObject()) return false;
  Json const* type = find_member(entry, kType);
  if (!type || !type->IsString()) return false;
  nelko_core_settings_type kind = kind_named(type->GetString());
  if (kind == NELKO_CORE_SETTING_TYPE_UNKNOWN) return false;
  Json const* value = find_member(entry, kValuePart);
  Json const* default_value = find_member(entry, kDefaultPart);
  auto holds = kKinds[kind].holds;
  return (value || default_value) && (!value || holds(*value)) &&
         (!default_value || holds(*default_value));
}

}  // namespace

void make_empty_settings(rapidjson::Document& document) {
  document.SetObject();
  document.AddMember(rapidjson::StringRef(kVersion), 0u, document.GetAllocator());
  document.AddMember(rapidjson::StringRef(kValues), Json(rapidjson::kObjectType),
                     document.GetAllocator());
}

bool is_settings_document(Json const& document) {
  if (!document.IsObject()) return false;
  Json const* version = find_member(document, kVersion);
  Json const* values = find_member(document, kValues);
  if (!version || !version->IsUint() || !values || !values->IsObject() ||
      has_duplicate_names(*values))
    return false;
  for (auto const& entry : values->GetObject())
    if (!is_entry(entry.value)) return false;
  return true;
}

Json const* find_entry(Json const& document, std::string_view key) {
  return find_member(values_of(document), key);
}

Json* find_entry(Json& document, std::string_view key) {
  return const_cast<Json*>(find_entry(static_cast<Json const&>(document), key));
}

nelko_core_settings_type entry_type(Json const& entry) {
  return kind_named(find_member(entry, kType)->GetString());
}

Json const* entry_part(Json const& entry, char const* part) {
  return find_member(entry, part);
}

Json* entry_to_write(rapidjson::Document& document, std::string_view key,
                     nelko_core_settings_type type) {
  if (Json* entry = find_entry(document, key)) return entry_type(*entry) == type ? entry : nullptr;
  Json entry(rapidjson::kObjectType);
  entry.AddMember(rapidjson::StringRef(kType), rapidjson::StringRef(kKinds[type].name),
                  document.GetAllocator());
  add_entry(document, key, entry);
  return find_entry(document, key);
}

void add_entry(rapidjson::Document& document, std::string_view key, Json& entry) {
  auto& allocator = document.GetAllocator();
  Json name(key.data(), static_cast<rapidjson::SizeType>(key.size()), allocator);
  document[kValues].AddMember(name, entry, allocator);
}

void remove_entry(Json& document, std::string_view key) {
  document[kValues].EraseMember(
      Json(rapidjson::StringRef(key.data(), static_cast<rapidjson::SizeType>(key.size()))));
}

void set_entry_part(Json& entry, char const* part, Json& value, JsonAllocator& allocator) {
  auto found = entry.FindMember(part);
  if (found != entry.MemberEnd())
    found->value = value;
  else
    entry.AddMember(rapidjson::StringRef(part), value, allocator);
}

Json const& values_of(Json const& document) {
  return document[kValues];
}

unsigned int version_of(Json const& document) {
  return document[kVersion].GetUint();
}

void set_version(Json& document, unsigned int version) {
  document[kVersion].SetUint(version);
}

}  // namespace nelko::core::settings
