#include "settings_store.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "settings_key_list.h"

namespace nelko::core::settings {
namespace {

// Settings files are the owner's alone unless NELKO_SETTINGS_MODE=0640 lets the group read them;
// any other value keeps 0600.
mode_t configured_file_mode() {
  char const* mode = std::getenv("NELKO_SETTINGS_MODE");
  return mode && std::string_view(mode) == "0640" ? 0640 : 0600;
}

}  // namespace

SettingsStore& SettingsStore::instance() {
  static SettingsStore store;
  return store;
}

nelko_core_status SettingsStore::open(char const* path) {
  if (!path || !*path) return NELKO_CORE_STATUS_INVALID_PARAMS;
  std::lock_guard writing(writing_);
  std::unique_lock lock(mutex_);
  if (file_) return NELKO_CORE_STATUS_MULTI_THREAD_ACCESS;
  std::error_code error;
  std::string const location = std::filesystem::absolute(path, error).string();
  if (error) return NELKO_CORE_STATUS_IPC_FAILED;
  OpenFile file{path, location, WriterLock(location), configured_file_mode(), {}, 0, false};
  // The settings file itself is intact after an interrupted write, and with the lock held no
  // other write is under way: whatever new file a write left is stale.
  remove_stale_temporaries(file.location);
  if (std::optional<std::string> text = read_file(file.location, FinalLink::refuse)) {
    if (!parse_json(*text, file.document, kMaxSettingsNesting) ||
        !is_settings_document(file.document))
      return NELKO_CORE_STATUS_IPC_FAILED;
  } else {
    make_empty_settings(file.document);
    persist(file, file.document);
    file.is_new = true;
  }
  file.loaded_version = version_of(file.document);
  file_.emplace(std::move(file));
  return NELKO_CORE_STATUS_NO_ERROR;
}

nelko_core_status SettingsStore::close() {
  std::lock_guard writing(writing_);
  std::unique_lock lock(mutex_);
  if (!file_) return NELKO_CORE_STATUS_INVALID_PARAMS;
  file_.reset();
  return NELKO_CORE_STATUS_NO_ERROR;
}

void SettingsStore::persist(OpenFile const& file, Json const& document) {
  write_file_atomically(file.location, to_pretty_text(document), file.mode);
}

nelko_core_status SettingsStore::copy(char const* from_key, char const* to_key,
                                      nelko_core_settings_type type) {
  if (!from_key || !to_key || !is_utf8(to_key)) return NELKO_CORE_STATUS_INVALID_PARAMS;
  return change([&](rapidjson::Document& document) {
    Json const* from = find_entry(document, from_key);
    if (!from) return NELKO_CORE_STATUS_SETTING_NOT_PRESENT;
    Json* to = find_entry(document, to_key);
    if (entry_type(*from) != type || (to && entry_type(*to) != type))
      return NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE;
    Json entry(*from, document.GetAllocator());
    if (to)
      *to = entry;
    else
      add_entry(document, to_key, entry);
    return NELKO_CORE_STATUS_NO_ERROR;
  });
}

nelko_core_status SettingsStore::remove(char const* key) {
  if (!key) return NELKO_CORE_STATUS_INVALID_PARAMS;
  return change([&](rapidjson::Document& document) {
    if (!find_entry(document, key)) return NELKO_CORE_STATUS_SETTING_NOT_PRESENT;
    remove_entry(document, key);
    return NELKO_CORE_STATUS_NO_ERROR;
  });
}

nelko_core_status SettingsStore::type_of(char const* key, nelko_core_settings_type* type) const {
  if (!key || !type) return NELKO_CORE_STATUS_INVALID_PARAMS;
  std::shared_lock lock(mutex_);
  if (!file_) return NELKO_CORE_STATUS_INVALID_PARAMS;
  Json const* entry = find_entry(file_->document, key);
  if (!entry) return NELKO_CORE_STATUS_SETTING_NOT_PRESENT;
  *type = entry_type(*entry);
  return NELKO_CORE_STATUS_NO_ERROR;
}

bool SettingsStore::contains(char const* key) const {
  std::shared_lock lock(mutex_);
  return key && file_ && find_entry(file_->document, key);
}

char** SettingsStore::keys(std::string_view prefix) const {
  std::shared_lock lock(mutex_);
  return file_ ? to_core_string_array(sorted_keys(values_of(file_->document), prefix)) : nullptr;
}

nelko_core_status SettingsStore::exchange_version(unsigned int* previous, unsigned int next) {
  if (!previous) return NELKO_CORE_STATUS_INVALID_PARAMS;
  unsigned int replaced = 0;
  nelko_core_status status = change([&](rapidjson::Document& document) {
    replaced = version_of(document);
    set_version(document, next);
    return NELKO_CORE_STATUS_NO_ERROR;
  });
  if (status == NELKO_CORE_STATUS_NO_ERROR) *previous = replaced;
  return status;
}

nelko_core_status SettingsStore::versions(unsigned int* current, unsigned int* loaded) const {
  if (!current || !loaded) return NELKO_CORE_STATUS_INVALID_PARAMS;
  std::shared_lock lock(mutex_);
  if (!file_) return NELKO_CORE_STATUS_INVALID_PARAMS;
  *current = version_of(file_->document);
  *loaded = file_->loaded_version;
  return NELKO_CORE_STATUS_NO_ERROR;
}

nelko_core_status SettingsStore::is_new_file(unsigned char* is_new) const {
  if (!is_new) return NELKO_CORE_STATUS_INVALID_PARAMS;
  std::shared_lock lock(mutex_);
  if (!file_) return NELKO_CORE_STATUS_INVALID_PARAMS;
  *is_new = file_->is_new ? 1 : 0;
  return NELKO_CORE_STATUS_NO_ERROR;
}

std::optional<std::string> SettingsStore::content() const {
  std::shared_lock lock(mutex_);
  if (!file_) return std::nullopt;
  return to_pretty_text(file_->document);
}

char const* SettingsStore::path() const {
  std::shared_lock lock(mutex_);
  return file_ ? file_->path.c_str() : nullptr;
}

}  // namespace nelko::core::settings
