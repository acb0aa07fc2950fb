/*
 * nelko_core_settings.h - the settings store (read-write, persistent) and the configuration (read-only).
 */
#ifndef NELKO_CORE_SETTINGS_H
#define NELKO_CORE_SETTINGS_H

#include <stdbool.h>

#include "nelko_core_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Settings --------------------------------------------------------------------------- */

nelko_core_status nelko_core_settings_init(char const *path);
nelko_core_status nelko_core_settings_deinit(void);

#define NELKO_CORE_SETTINGS_VALUE_FUNCTIONS(prefix)                                           \
  nelko_core_status prefix##_string_value(char const *key, char **value);                     \
  nelko_core_status prefix##_json_value(char const *key, char **value);                       \
  nelko_core_status prefix##_int_value(char const *key, int *value);                          \
  nelko_core_status prefix##_bool_value(char const *key, unsigned char *value);               \
  nelko_core_status prefix##_double_value(char const *key, double *value);                    \
  nelko_core_status prefix##_arrayofstring_value(char const *key, char ***array, int *count); \
  nelko_core_status prefix##_arrayofint_value(char const *key, int ***array, int *count);     \
  nelko_core_status prefix##_arrayofbool_value(char const *key, unsigned char ***array,       \
                                               int *count);                                   \
  nelko_core_status prefix##_arrayofdouble_value(char const *key, double ***array, int *count);

#define NELKO_CORE_SETTINGS_SET_FUNCTIONS(prefix)                                            \
  nelko_core_status prefix##_string_value(char const *key, char const *value);               \
  nelko_core_status prefix##_json_value(char const *key, char const *value);                 \
  nelko_core_status prefix##_int_value(char const *key, int const value);                    \
  nelko_core_status prefix##_bool_value(char const *key, unsigned char value);               \
  nelko_core_status prefix##_double_value(char const *key, double const value);              \
  nelko_core_status prefix##_arrayofstring_value(char const *key, char **array);             \
  nelko_core_status prefix##_arrayofint_value(char const *key, int **array);                 \
  nelko_core_status prefix##_arrayofbool_value(char const *key, unsigned char **array);      \
  nelko_core_status prefix##_arrayofdouble_value(char const *key, double **array);

#define NELKO_CORE_SETTINGS_COPY_FUNCTIONS(prefix)                                   \
  nelko_core_status prefix##_string_key(char const *from_key, char const *to_key);   \
  nelko_core_status prefix##_json_key(char const *from_key, char const *to_key);     \
  nelko_core_status prefix##_int_key(char const *from_key, char const *to_key);      \
  nelko_core_status prefix##_bool_key(char const *from_key, char const *to_key);     \
  nelko_core_status prefix##_double_key(char const *from_key, char const *to_key);   \
  nelko_core_status prefix##_arrayofstring_key(char const *from_key, char const *to_key); \
  nelko_core_status prefix##_arrayofint_key(char const *from_key, char const *to_key); \
  nelko_core_status prefix##_arrayofbool_key(char const *from_key, char const *to_key); \
  nelko_core_status prefix##_arrayofdouble_key(char const *from_key, char const *to_key);

NELKO_CORE_SETTINGS_VALUE_FUNCTIONS(nelko_core_settings_get)
NELKO_CORE_SETTINGS_VALUE_FUNCTIONS(nelko_core_settings_get_default)
NELKO_CORE_SETTINGS_SET_FUNCTIONS(nelko_core_settings_set)
NELKO_CORE_SETTINGS_SET_FUNCTIONS(nelko_core_settings_set_default)
NELKO_CORE_SETTINGS_COPY_FUNCTIONS(nelko_core_settings_copy)

char **nelko_core_settings_get_all_keys(void);
char **nelko_core_settings_get_keys_starting_with(char const *prefix);
nelko_core_status nelko_core_settings_get_type(char const *key, nelko_core_settings_type *type);
bool nelko_core_settings_does_key_exist(char const *key);
nelko_core_status nelko_core_settings_delete_key(char const *key);
nelko_core_status nelko_core_settings_get_and_set_version(unsigned int *previous_version,
                                                          unsigned int new_version);
nelko_core_status nelko_core_settings_get_versions(unsigned int *current_version,
                                                   unsigned int *loaded_version);
nelko_core_status nelko_core_settings_is_new_file(unsigned char *is_new);

void nelko_core_debug_settings_dump(void);
char const *nelko_core_debug_get_setting_path(void);

/* ---- Configuration ---------------------------------------------------------------------- */

nelko_core_status nelko_core_configuration_init(char const *path);
nelko_core_status nelko_core_configuration_deinit(void);
NELKO_CORE_SETTINGS_VALUE_FUNCTIONS(nelko_core_configuration_get)
char **nelko_core_configuration_get_all_keys(void);
nelko_core_status nelko_core_configuration_get_type(char const *key,
                                                    nelko_core_settings_type *type);
bool nelko_core_configuration_does_key_exist(char const *key);

#ifdef __cplusplus
}
#endif

#endif
