// The debugging aids of the settings store.
#include <cstdio>

#include "nelko_core_settings.h"
#include "settings_c_boundary.h"
#include "settings_store.h"

using nelko::core::settings::SettingsStore;

extern "C" {

void nelko_core_debug_settings_dump(void) {
  try {
    std::optional<std::string> content = SettingsStore::instance().content();
    std::fputs(content ? content->c_str() : "no settings file is open\n", stderr);
  } catch (...) {
    // A debugging aid that runs out of memory has nothing to show.
  }
}

char const* nelko_core_debug_get_setting_path(void) {
  return nelko::core::settings::value_or_empty([] { return SettingsStore::instance().path(); });
}

}  // extern "C"
