// The nelko_core_settings_* functions: each hands its work to the settings store with the value
// kind it names and turns whatever escapes into a status.
#include "nelko_core_settings.h"
#include "settings_c_boundary.h"
#include "settings_store.h"
#include "settings_value_kinds.h"

namespace {

using namespace nelko::core::settings;
using Part = SettingsStore::Part;

SettingsStore& store() {
  return SettingsStore::instance();
}

template <class Kind, class... Out>
nelko_core_status get(char const* key, Part part, Out*... out) {
  return status_of([&] { return store().get<Kind>(key, part, out...); });
}

template <class Kind>
nelko_core_status set(char const* key, Part part, typename Kind::In in) {
  return status_of([&] { return store().set<Kind>(key, part, in); });
}

template <class Kind>
nelko_core_status copy(char const* from_key, char const* to_key) {
  return status_of([&] { return store().copy(from_key, to_key, Kind::type); });
}

char** keys_starting_with(char const* prefix) {
  return value_or_empty([&] { return prefix ? store().keys(prefix) : nullptr; });
}

}  // namespace

extern "C" {

nelko_core_status nelko_core_settings_init(char const* path) {
  return status_of([&] { return store().open(path); });
}

nelko_core_status nelko_core_settings_deinit(void) {
  return status_of([] { return store().close(); });
}

nelko_core_status nelko_core_settings_get_string_value(char const* key, char** value) {
  return get<StringKind>(key, Part::value, value);
}

nelko_core_status nelko_core_settings_get_json_value(char const* key, char** value) {
  return get<JsonKind>(key, Part::value, value);
}

nelko_core_status nelko_core_settings_get_int_value(char const* key, int* value) {
  return get<IntKind>(key, Part::value, value);
}

nelko_core_status nelko_core_settings_get_bool_value(char const* key, unsigned char* value) {
  return get<BoolKind>(key, Part::value, value);
}

nelko_core_status nelko_core_settings_get_double_value(char const* key, double* value) {
  return get<DoubleKind>(key, Part::value, value);
}

nelko_core_status nelko_core_settings_get_arrayofstring_value(char const* key, char*** array,
                                                              int* count) {
  return get<ArrayOfStringKind>(key, Part::value, array, count);
}

nelko_core_status nelko_core_settings_get_arrayofint_value(char const* key, int*** array,
                                                           int* count) {
  return get<ArrayOfIntKind>(key, Part::value, array, count);
}

nelko_core_status nelko_core_settings_get_arrayofbool_value(char const* key, unsigned char*** array,
                                                            int* count) {
  return get<ArrayOfBoolKind>(key, Part::value, array, count);
}

nelko_core_status nelko_core_settings_get_arrayofdouble_value(char const* key, double*** array,
                                                              int* count) {
  return get<ArrayOfDoubleKind>(key, Part::value, array, count);
}

nelko_core_status nelko_core_settings_get_default_string_value(char const* key, char** value) {
  return get<StringKind>(key, Part::default_value, value);
}

nelko_core_status nelko_core_settings_get_default_json_value(char const* key, char** value) {
  return get<JsonKind>(key, Part::default_value, value);
}

nelko_core_status nelko_core_settings_get_default_int_value(char const* key, int* value) {
  return get<IntKind>(key, Part::default_value, value);
}

nelko_core_status nelko_core_settings_get_default_bool_value(char const* key,
                                                             unsigned char* value) {
  return get<BoolKind>(key, Part::default_value, value);
}

nelko_core_status nelko_core_settings_get_default_double_value(char const* key, double* value) {
  return get<DoubleKind>(key, Part::default_value, value);
}

nelko_core_status nelko_core_settings_get_default_arrayofstring_value(char const* key,
                                                                      char*** array, int* count) {
  return get<ArrayOfStringKind>(key, Part::default_value, array, count);
}

nelko_core_status nelko_core_settings_get_default_arrayofint_value(char const* key, int*** array,
                                                                   int* count) {
  return get<ArrayOfIntKind>(key, Part::default_value, array, count);
}

nelko_core_status nelko_core_settings_get_default_arrayofbool_value(char const* key,
                                                                    unsigned char*** array,
                                                                    int* count) {
  return get<ArrayOfBoolKind>(key, Part::default_value, array, count);
}

nelko_core_status nelko_core_settings_get_default_arrayofdouble_value(char const* key,
                                                                      double*** array, int* count) {
  return get<ArrayOfDoubleKind>(key, Part::default_value, array, count);
}

nelko_core_status nelko_core_settings_set_string_value(char const* key, char const* value) {
  return set<StringKind>(key, Part::value, value);
}

nelko_core_status nelko_core_settings_set_json_value(char const* key, char const* value) {
  return set<JsonKind>(key, Part::value, value);
}

nelko_core_status nelko_core_settings_set_int_value(char const* key, int const value) {
  return set<IntKind>(key, Part::value, value);
}

nelko_core_status nelko_core_settings_set_bool_value(char const* key, unsigned char value) {
  return set<BoolKind>(key, Part::value, value);
}

nelko_core_status nelko_core_settings_set_double_value(char const* key, double const value) {
  return set<DoubleKind>(key, Part::value, value);
}

nelko_core_status nelko_core_settings_set_arrayofstring_value(char const* key, char** array) {
  return set<ArrayOfStringKind>(key, Part::value, array);
}

nelko_core_status nelko_core_settings_set_arrayofint_value(char const* key, int** array) {
  return set<ArrayOfIntKind>(key, Part::value, array);
}

nelko_core_status nelko_core_settings_set_arrayofbool_value(char const* key,
                                                            unsigned char** array) {
  return set<ArrayOfBoolKind>(key, Part::value, array);
}

nelko_core_status nelko_core_settings_set_arrayofdouble_value(char const* key, double** array) {
  return set<ArrayOfDoubleKind>(key, Part::value, array);
}

nelko_core_status nelko_core_settings_set_default_string_value(char const* key, char const* value) {
  return set<StringKind>(key, Part::default_value, value);
}

nelko_core_status nelko_core_settings_set_default_json_value(char const* key, char const* value) {
  return set<JsonKind>(key, Part::default_value, value);
}

nelko_core_status nelko_core_settings_set_default_int_value(char const* key, int const value) {
  return set<IntKind>(key, Part::default_value, value);
}

nelko_core_status nelko_core_settings_set_default_bool_value(char const* key, unsigned char value) {
  return set<BoolKind>(key, Part::default_value, value);
}

nelko_core_status nelko_core_settings_set_default_double_value(char const* key,
                                                               double const value) {
  return set<DoubleKind>(key, Part::default_value, value);
}

nelko_core_status nelko_core_settings_set_default_arrayofstring_value(char const* key,
                                                                      char** array) {
  return set<ArrayOfStringKind>(key, Part::default_value, array);
}

nelko_core_status nelko_core_settings_set_default_arrayofint_value(char const* key, int** array) {
  return set<ArrayOfIntKind>(key, Part::default_value, array);
}

nelko_core_status nelko_core_settings_set_default_arrayofbool_value(char const* key,
                                                                    unsigned char** array) {
  return set<ArrayOfBoolKind>(key, Part::default_value, array);
}

nelko_core_status nelko_core_settings_set_default_arrayofdouble_value(char const* key,
                                                                      double** array) {
  return set<ArrayOfDoubleKind>(key, Part::default_value, array);
}

nelko_core_status nelko_core_settings_copy_string_key(char const* from_key, char const* to_key) {
  return copy<StringKind>(from_key, to_key);
}

nelko_core_status nelko_core_settings_copy_json_key(char const* from_key, char const* to_key) {
  return copy<JsonKind>(from_key, to_key);
}

nelko_core_status nelko_core_settings_copy_int_key(char const* from_key, char const* to_key) {
  return copy<IntKind>(from_key, to_key);
}

nelko_core_status nelko_core_settings_copy_bool_key(char const* from_key, char const* to_key) {
  return copy<BoolKind>(from_key, to_key);
}

nelko_core_status nelko_core_settings_copy_double_key(char const* from_key, char const* to_key) {
  return copy<DoubleKind>(from_key, to_key);
}

nelko_core_status nelko_core_settings_copy_arrayofstring_key(char const* from_key,
                                                             char const* to_key) {
  return copy<ArrayOfStringKind>(from_key, to_key);
}

nelko_core_status nelko_core_settings_copy_arrayofint_key(char const* from_key,
                                                          char const* to_key) {
  return copy<ArrayOfIntKind>(from_key, to_key);
}

nelko_core_status nelko_core_settings_copy_arrayofbool_key(char const* from_key,
                                                           char const* to_key) {
  return copy<ArrayOfBoolKind>(from_key, to_key);
}

nelko_core_status nelko_core_settings_copy_arrayofdouble_key(char const* from_key,
                                                             char const* to_key) {
  return copy<ArrayOfDoubleKind>(from_key, to_key);
}

char** nelko_core_settings_get_all_keys(void) {
  return keys_starting_with("");
}

char** nelko_core_settings_get_keys_starting_with(char const* prefix) {
  return keys_starting_with(prefix);
}

nelko_core_status nelko_core_settings_get_type(char const* key, nelko_core_settings_type* type) {
  return status_of([&] { return store().type_of(key, type); });
}

bool nelko_core_settings_does_key_exist(char const* key) {
  return value_or_empty([&] { return store().contains(key); });
}

nelko_core_status nelko_core_settings_delete_key(char const* key) {
  return status_of([&] { return store().remove(key); });
}

nelko_core_status nelko_core_settings_get_and_set_version(unsigned int* previous_version,
                                                          unsigned int new_version) {
  return status_of([&] { return store().exchange_version(previous_version, new_version); });
}

nelko_core_status nelko_core_settings_get_versions(unsigned int* current_version,
                                                   unsigned int* loaded_version) {
  return status_of([&] { return store().versions(current_version, loaded_version); });
}

nelko_core_status nelko_core_settings_is_new_file(unsigned char* is_new) {
  return status_of([&] { return store().is_new_file(is_new); });
}

}  // extern "C"
