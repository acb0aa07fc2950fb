// The process-wide settings store behind the nelko_core_settings_* functions: the open settings
// file, held in memory as its JSON document and written back whole on every change. Statuses and
// semantics are those documented in nelko_core_settings.h.
#ifndef NELKO_CORE_SETTINGS_STORE_H
#define NELKO_CORE_SETTINGS_STORE_H

#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "nelko_core_types.h"
#include "settings_document.h"
#include "settings_file.h"
#include "settings_rapidjson.h"

namespace nelko::core::settings {

class SettingsStore {
 public:
  // Which part of a key get and set work on. Getting the value falls back to the default.
  enum class Part { value, default_value };

  static SettingsStore& instance();

  nelko_core_status open(char const* path);
  nelko_core_status close();

  template <class Kind, class... Out>
  nelko_core_status get(char const* key, Part part, Out*... out) const;
  template <class Kind>
  nelko_core_status set(char const* key, Part part, typename Kind::In in);
  nelko_core_status copy(char const* from_key, char const* to_key, nelko_core_settings_type type);
  nelko_core_status remove(char const* key);

  nelko_core_status type_of(char const* key, nelko_core_settings_type* type) const;
  bool contains(char const* key) const;
  // The keys that begin with prefix, sorted, as a new string core array; null when no file is open.
  char** keys(std::string_view prefix) const;

  nelko_core_status exchange_version(unsigned int* previous, unsigned int next);
  nelko_core_status versions(unsigned int* current, unsigned int* loaded) const;
  nelko_core_status is_new_file(unsigned char* is_new) const;

  // The file's content as it is on disk; nothing when no file is open.
  std::optional<std::string> content() const;
  // Valid until close; null when no file is open.
  char const* path() const;

 private:
  struct OpenFile {
    std::string path;      // as given, for path()
    std::string location;  // absolute: the process may change its working directory
    WriterLock lock;       // held while the file is open: this process is its only writer
    mode_t mode;
    rapidjson::Document document;
    unsigned int loaded_version = 0;
    bool is_new = false;
  };

  // Applies change to a copy of the document, writes the copy to disk and only then adopts it,
  // so that a failed write leaves memory and disk as they were.
  template <class Change>
  nelko_core_status change(Change&& change);
  static void persist(OpenFile const& file, Json const& document);

  std::mutex writing_;  // taken before mutex_ by everything that changes file_ or its document
  mutable std::shared_mutex mutex_;
  std::optional<OpenFile> file_;
};

template <class Kind, class... Out>
nelko_core_status SettingsStore::get(char const* key, Part part, Out*... out) const {
  if (!key || ((out == nullptr) || ...)) return NELKO_CORE_STATUS_INVALID_PARAMS;
  std::shared_lock lock(mutex_);
  if (!file_) return NELKO_CORE_STATUS_INVALID_PARAMS;
  Json const* entry = find_entry(file_->document, key);
  if (!entry) return NELKO_CORE_STATUS_SETTING_NOT_PRESENT;
  if (entry_type(*entry) != Kind::type) return NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE;
  Json const* value = part == Part::value ? entry_part(*entry, kValuePart) : nullptr;
  if (!value) value = entry_part(*entry, kDefaultPart);
  if (!value) return NELKO_CORE_STATUS_SETTING_NOT_PRESENT;
  Kind::decode(*value, out...);
  return NELKO_CORE_STATUS_NO_ERROR;
}

template <class Kind>
nelko_core_status SettingsStore::set(char const* key, Part part, typename Kind::In in) {
  // Encoding, a json text's parse included, needs no lock.
  rapidjson::Document encoded;
  if (!key || !is_utf8(key) || !Kind::encode(in, encoded, encoded.GetAllocator()))
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  return change([&](rapidjson::Document& document) {
    Json* entry = entry_to_write(document, key, Kind::type);
    if (!entry) return NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE;
    Json value(encoded, document.GetAllocator());
    set_entry_part(*entry, part == Part::value ? kValuePart : kDefaultPart, value,
                   document.GetAllocator());
    return NELKO_CORE_STATUS_NO_ERROR;
  });
}

// Changes go one at a time under writing_; readers are kept out (mutex_ held exclusively) only
// while the new document is swapped in, not while it goes to disk.
template <class Change>
nelko_core_status SettingsStore::change(Change&& change) {
  std::lock_guard writing(writing_);
  rapidjson::Document next;
  {
    std::shared_lock lock(mutex_);
    if (!file_) return NELKO_CORE_STATUS_INVALID_PARAMS;
    next.CopyFrom(file_->document, next.GetAllocator());
  }
  if (nelko_core_status status = change(next); status != NELKO_CORE_STATUS_NO_ERROR) return status;
  // Neither the file nor its document changes while writing_ is held.
  if (same_document(next, file_->document)) return NELKO_CORE_STATUS_NO_ERROR;  // spares the flash
  persist(*file_, next);
  std::unique_lock lock(mutex_);
  file_->document.Swap(next);
  return NELKO_CORE_STATUS_NO_ERROR;
}

}  // namespace nelko::core::settings

#endif
