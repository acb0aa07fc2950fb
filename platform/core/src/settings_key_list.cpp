#include "settings_key_list.h"

#include <algorithm>
#include <memory>
#include <new>

#include "nelko_core_arrays.h"
#include "settings_value_kinds.h"

namespace nelko::core::settings {

std::vector<std::string> sorted_keys(Json const& object, std::string_view prefix) {
  std::vector<std::string> keys;
  for (auto const& member : object.GetObject()) {
    std::string_view name(member.name.GetString(), member.name.GetStringLength());
    if (name.substr(0, prefix.size()) == prefix) keys.emplace_back(name);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

char** to_core_string_array(std::vector<std::string> const& keys) {
  std::unique_ptr<char*, void (*)(char**)> array(
      nelko_core_alloc_string_array(static_cast<unsigned int>(keys.size())),
      nelko_core_free_string_array);
  if (!array) throw std::bad_alloc();
  for (std::size_t i = 0; i < keys.size(); ++i) array.get()[i] = copy_text(keys[i].c_str());
  return array.release();
}

}  // namespace nelko::core::settings
