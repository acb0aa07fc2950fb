// Key listings of settings and configuration, and their hand-over as string core arrays.
#ifndef NELKO_CORE_SETTINGS_KEY_LIST_H
#define NELKO_CORE_SETTINGS_KEY_LIST_H

#include <string>
#include <string_view>
#include <vector>

#include "settings_json.h"

namespace nelko::core::settings {

// The member names of object that begin with prefix, in byte order.
std::vector<std::string> sorted_keys(Json const& object, std::string_view prefix);

// A new string core array of the keys, for a caller who releases it with
// nelko_core_free_string_array. Throws std::bad_alloc.
char** to_core_string_array(std::vector<std::string> const& keys);

}  // namespace nelko::core::settings

#endif
