// The read-only configuration behind the nelko_core_configuration_* functions: one JSON object
// read at init, whose members' kinds are inferred from their values.
#include <initializer_list>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "nelko_core_settings.h"
#include "settings_c_boundary.h"
#include "settings_file.h"
#include "settings_json.h"
#include "settings_key_list.h"
#include "settings_rapidjson.h"
#include "settings_value_kinds.h"

namespace {

using namespace nelko::core::settings;

nelko_core_settings_type inferred_kind(Json const& value) {
  if (value.IsArray() && value.Empty()) return NELKO_CORE_SETTING_TYPE_UNKNOWN;
  // Every number is a double and every array of ints an array of doubles: the narrower kind first.
  for (nelko_core_settings_type type :
       {NELKO_CORE_SETTING_TYPE_STRING, NELKO_CORE_SETTING_TYPE_BOOL, NELKO_CORE_SETTING_TYPE_INT,
        NELKO_CORE_SETTING_TYPE_DOUBLE, NELKO_CORE_SETTING_TYPE_ARRAYOFSTRING,
        NELKO_CORE_SETTING_TYPE_ARRAYOFBOOL, NELKO_CORE_SETTING_TYPE_ARRAYOFINT,
        NELKO_CORE_SETTING_TYPE_ARRAYOFDOUBLE})
    if (kKinds[type].holds(value)) return type;
  return NELKO_CORE_SETTING_TYPE_JSON;
}

// A getter reads its own kind and whatever its kind holds too (an int as a double, an empty array
// as any array), but only the json getter reads what fits no other kind.
template <class Kind>
bool readable_as(Json const& value) {
  if constexpr (Kind::type == NELKO_CORE_SETTING_TYPE_JSON)
    return inferred_kind(value) == NELKO_CORE_SETTING_TYPE_JSON;
  else
    return Kind::holds(value);
}

class Configuration {
 public:
  static Configuration& instance() {
    static Configuration configuration;
    return configuration;
  }

  nelko_core_status open(char const* path) {
    if (!path || !*path) return NELKO_CORE_STATUS_INVALID_PARAMS;
    std::unique_lock lock(mutex_);
    if (document_) return NELKO_CORE_STATUS_MULTI_THREAD_ACCESS;
    std::optional<std::string> text = read_file(path, FinalLink::follow);
    rapidjson::Document document;
    if (!text || !parse_json(*text, document, kMaxValueNesting + 1) || !document.IsObject() ||
        has_duplicate_names(document))
      return NELKO_CORE_STATUS_IPC_FAILED;
    document_.emplace(std::move(document));
    return NELKO_CORE_STATUS_NO_ERROR;
  }

  nelko_core_status close() {
    std::unique_lock lock(mutex_);
    if (!document_) return NELKO_CORE_STATUS_INVALID_PARAMS;
    document_.reset();
    return NELKO_CORE_STATUS_NO_ERROR;
  }

  template <class Kind, class... Out>
  nelko_core_status get(char const* key, Out*... out) const {
    if (!key || ((out == nullptr) || ...)) return NELKO_CORE_STATUS_INVALID_PARAMS;
    std::shared_lock lock(mutex_);
    if (!document_) return NELKO_CORE_STATUS_INVALID_PARAMS;
    Json const* value = find_member(*document_, key);
    if (!value) return NELKO_CORE_STATUS_SETTING_NOT_PRESENT;
    if (!readable_as<Kind>(*value)) return NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE;
    Kind::decode(*value, out...);
    return NELKO_CORE_STATUS_NO_ERROR;
  }

  nelko_core_status type_of(char const* key, nelko_core_settings_type* type) const {
    if (!key || !type) return NELKO_CORE_STATUS_INVALID_PARAMS;
    std::shared_lock lock(mutex_);
    if (!document_) return NELKO_CORE_STATUS_INVALID_PARAMS;
    Json const* value = find_member(*document_, key);
    if (!value) return NELKO_CORE_STATUS_SETTING_NOT_PRESENT;
    *type = inferred_kind(*value);
    return NELKO_CORE_STATUS_NO_ERROR;
  }

  bool contains(char const* key) const {
    std::shared_lock lock(mutex_);
    return key && document_ && find_member(*document_, key);
  }

  char** keys() const {
    std::shared_lock lock(mutex_);
    return document_ ? to_core_string_array(sorted_keys(*document_, "")) : nullptr;
  }

 private:
  mutable std::shared_mutex mutex_;
  std::optional<rapidjson::Document> document_;
};

Configuration& configuration() {
  return Configuration::instance();
}

template <class Kind, class... Out>
nelko_core_status get(char const* key, Out*... out) {
  return status_of([&] { return configuration().get<Kind>(key, out...); });
}

}  // namespace

extern "C" {

nelko_core_status nelko_core_configuration_init(char const* path) {
  return status_of([&] { return configuration().open(path); });
}

nelko_core_status nelko_core_configuration_deinit(void) {
  return status_of([] { return configuration().close(); });
}

nelko_core_status nelko_core_configuration_get_string_value(char const* key, char** value) {
  return get<StringKind>(key, value);
}

nelko_core_status nelko_core_configuration_get_json_value(char const* key, char** value) {
  return get<JsonKind>(key, value);
}

nelko_core_status nelko_core_configuration_get_int_value(char const* key, int* value) {
  return get<IntKind>(key, value);
}

nelko_core_status nelko_core_configuration_get_bool_value(char const* key, unsigned char* value) {
  return get<BoolKind>(key, value);
}

nelko_core_status nelko_core_configuration_get_double_value(char const* key, double* value) {
  return get<DoubleKind>(key, value);
}

nelko_core_status nelko_core_configuration_get_arrayofstring_value(char const* key, char*** array,
                                                                   int* count) {
  return get<ArrayOfStringKind>(key, array, count);
}

nelko_core_status nelko_core_configuration_get_arrayofint_value(char const* key, int*** array,
                                                                int* count) {
  return get<ArrayOfIntKind>(key, array, count);
}

nelko_core_status nelko_core_configuration_get_arrayofbool_value(char const* key,
                                                                 unsigned char*** array,
                                                                 int* count) {
  return get<ArrayOfBoolKind>(key, array, count);
}

nelko_core_status nelko_core_configuration_get_arrayofdouble_value(char const* key, double*** array,
                                                                   int* count) {
  return get<ArrayOfDoubleKind>(key, array, count);
}

char** nelko_core_configuration_get_all_keys(void) {
  return value_or_empty([] { return configuration().keys(); });
}

nelko_core_status nelko_core_configuration_get_type(char const* key,
                                                    nelko_core_settings_type* type) {
  return status_of([&] { return configuration().type_of(key, type); });
}

bool nelko_core_configuration_does_key_exist(char const* key) {
  return value_or_empty([&] { return configuration().contains(key); });
}

}  // extern "C"
