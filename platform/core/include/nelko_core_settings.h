/*
 * nelko_core_settings.h - the settings store (read-write, persistent) and the configuration (read-only).
 *
 * SETTINGS
 *
 * A process keeps at most one settings file open at a time: nelko_core_settings_init(path) opens
 * it, creating it when it does not exist, and nelko_core_settings_deinit() closes it. Every other
 * settings function works on that file. A setting is a key (any text, "" included) of one of nine
 * kinds (nelko_core_settings_type) with a value, a default value, or both, always of the key's
 * kind:
 *
 *   kind            set takes              get hands out
 *   string          char const *           char * (strdup'ed; free() it)
 *   json            char const * (a JSON   char * (the value as compact JSON text; free() it)
 *                   text, stored as JSON)
 *   int             int                    int
 *   bool            unsigned char          unsigned char, 0 or 1 (set stores any non-zero as 1)
 *   double          double (finite)        double
 *   arrayofstring   char **                char ** core array + count
 *   arrayofint      int **                 int ** core array + count
 *   arrayofbool     unsigned char **       unsigned char ** core array + count
 *   arrayofdouble   double **              double ** core array + count
 *
 * Arrays, both ways, are core arrays (nelko_core_arrays.h): n element pointers and a null slot.
 * The setters read up to the first null slot and never take ownership. The getters hand out a new
 * array made with the nelko_core_alloc_<kind>_array function of its kind, which the caller
 * releases with the matching nelko_core_free_<kind>_array; the int out-parameter receives n.
 *
 *   char **names; int n;
 *   if (nelko_core_settings_get_arrayofstring_value("net.names", &names, &n) == 0) {
 *     for (int i = 0; i < n; ++i) puts(names[i]);
 *     nelko_core_free_string_array(names);
 *   }
 *
 * Statuses of the settings functions:
 *   0 NO_ERROR                  done.
 *   1 INVALID_PARAMS            a null key, text, array or out-pointer; a key or text that is not
 *                               valid UTF-8; a json text that is not valid JSON or is nested deeper
 *                               than 64 levels; a double that is not finite (JSON has no NaN or
 *                               infinity); a change that would make the file larger than 1 MiB
 *                               (logged); or no settings file is open.
 *   2 ALLOC_FAILED              out of memory; nothing was changed or handed out.
 *   3 MULTI_THREAD_ACCESS       init while a settings file is already open in this process (that
 *                               file stays open), or while another process has this file open.
 *   4 IPC_FAILED                the file could not be read, written or created, holds no valid
 *                               settings document, or is refused (see "Files init refuses").
 *                               After a failed write the store is unchanged, in memory and on disk.
 *   5 INCORRECT_SETTING_TYPE    the key exists with another kind. A set never changes a key's
 *                               kind: delete the key first.
 *   6 SETTING_NOT_PRESENT       the key does not exist, or (get_default) has no default value.
 *   7 INTERNAL_EXCEPTION_CAUGHT an unexpected internal failure.
 * A function that fails stores nothing in its out-parameters.
 *
 * File format: one JSON object, pretty-printed with two-space indents, human-readable and editable
 * while no process has the file open:
 *
 *   {
 *     "version": 2,
 *     "values": {
 *       "video.fps":   { "type": "int", "value": 25, "default": 30 },
 *       "video.label": { "type": "string", "default": "front" },
 *       "video.rois":  { "type": "json", "value": { "max": 4, "names": ["a", "b"] } }
 *     }
 *   }
 *
 * "type" is the kind's name from the table above; an entry has "value", "default" or both, each a
 * JSON value of that kind (a json entry holds any JSON value; a double entry accepts any number);
 * a key appears once.
 * The text is UTF-8. A file that does not parse, is not valid UTF-8, or breaks these rules
 * anywhere, is refused whole by init (status 4) and left as it is. Unknown members are kept as
 * they are.
 *
 * Writes: every change is on disk when its function returns. The whole file is written to a file
 * made for this write alone, "<path>.<random>.tmp" in the same directory (created with
 * O_CREAT|O_EXCL|O_NOFOLLOW: whatever exists at a name, a link or a file someone put there, is
 * never opened, written or used; another name is tried), flushed with fsync, renamed over the
 * file, and the directory is flushed too. So a crash or power loss leaves either the old or the
 * new file, never a torn one, and a program reading the file never sees it empty or partial. A
 * failed write deletes its file; files that a crash left are deleted by the next init. A change
 * that changes nothing (the same value again) writes nothing.
 *
 * File mode: 0600, whatever the umask, or 0640 (the group may read) when the environment holds
 * NELKO_SETTINGS_MODE=0640 at init; the mode an existing file had is not kept.
 *
 * One process per file: init takes an exclusive lock (flock) on "<path>.lock", a file of mode 0600
 * that stays beside the settings file, and holds it until deinit or the end of the process (a child
 * made by fork shares it). While it is held, init of the same file in another process returns 3
 * and logs one line.
 *
 * Files init refuses, with status 4 and one log line (priority ERR, default log handle), leaving
 * them as they are: a settings file that is a symbolic link (only the file's own name is checked;
 * links among the directories of the path are followed), is not a regular file, or is larger
 * than 1 MiB (reading one takes about three times its size in memory); a lock file that is a
 * symbolic link or not a regular file of the process's effective user.
 *
 * The directory should be writable by the file's owner alone: whoever may write to it can delete
 * or replace the files in it, though never make the store write through a file of theirs.
 *
 * Threads: every function may be called from any thread at any time. Readers run in parallel,
 * changes one at a time; each function sees and makes whole changes only.
 */
#ifndef NELKO_CORE_SETTINGS_H
#define NELKO_CORE_SETTINGS_H

#include <stdbool.h>

#include "nelko_core_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the settings file at path, or creates it (version 0, no keys; see is_new_file) when it
 * does not exist; the directory must exist and be writable (the lock file is made there). Takes
 * the file's lock and deletes the files that interrupted writes left. Statuses: 1 for a null or empty path, 3 when a file is already open in
 * this process or another process has this one open, 4 when the file cannot be read or created,
 * is refused or is not a valid settings document (nothing is opened then). */
nelko_core_status nelko_core_settings_init(char const *path);
/* Closes the settings file and releases its lock; every change is already on disk. 1 when none is
 * open. */
nelko_core_status nelko_core_settings_deinit(void);

/* Getters: the key's value, or its default when it has only a default. */
nelko_core_status nelko_core_settings_get_string_value(char const *key, char **value);
nelko_core_status nelko_core_settings_get_json_value(char const *key, char **value);
nelko_core_status nelko_core_settings_get_int_value(char const *key, int *value);
nelko_core_status nelko_core_settings_get_bool_value(char const *key, unsigned char *value);
nelko_core_status nelko_core_settings_get_double_value(char const *key, double *value);
nelko_core_status nelko_core_settings_get_arrayofstring_value(char const *key, char ***array,
                                                              int *count);
nelko_core_status nelko_core_settings_get_arrayofint_value(char const *key, int ***array,
                                                           int *count);
nelko_core_status nelko_core_settings_get_arrayofbool_value(char const *key, unsigned char ***array,
                                                            int *count);
nelko_core_status nelko_core_settings_get_arrayofdouble_value(char const *key, double ***array,
                                                              int *count);

/* Default getters: the key's default value only; 6 when the key has none. */
nelko_core_status nelko_core_settings_get_default_string_value(char const *key, char **value);
nelko_core_status nelko_core_settings_get_default_json_value(char const *key, char **value);
nelko_core_status nelko_core_settings_get_default_int_value(char const *key, int *value);
nelko_core_status nelko_core_settings_get_default_bool_value(char const *key, unsigned char *value);
nelko_core_status nelko_core_settings_get_default_double_value(char const *key, double *value);
nelko_core_status nelko_core_settings_get_default_arrayofstring_value(char const *key,
                                                                      char ***array, int *count);
nelko_core_status nelko_core_settings_get_default_arrayofint_value(char const *key, int ***array,
                                                                   int *count);
nelko_core_status nelko_core_settings_get_default_arrayofbool_value(char const *key,
                                                                    unsigned char ***array,
                                                                    int *count);
nelko_core_status nelko_core_settings_get_default_arrayofdouble_value(char const *key,
                                                                      double ***array, int *count);

/* Setters: create the key with this kind, or replace the value of a key of this kind (5 for a
 * key of another kind). The key's default is kept. The file is rewritten before they return. */
nelko_core_status nelko_core_settings_set_string_value(char const *key, char const *value);
nelko_core_status nelko_core_settings_set_json_value(char const *key, char const *value);
nelko_core_status nelko_core_settings_set_int_value(char const *key, int const value);
nelko_core_status nelko_core_settings_set_bool_value(char const *key, unsigned char value);
nelko_core_status nelko_core_settings_set_double_value(char const *key, double const value);
nelko_core_status nelko_core_settings_set_arrayofstring_value(char const *key, char **array);
nelko_core_status nelko_core_settings_set_arrayofint_value(char const *key, int **array);
nelko_core_status nelko_core_settings_set_arrayofbool_value(char const *key, unsigned char **array);
nelko_core_status nelko_core_settings_set_arrayofdouble_value(char const *key, double **array);

/* Default setters: as the setters, for the default value; the key's value is kept. */
nelko_core_status nelko_core_settings_set_default_string_value(char const *key, char const *value);
nelko_core_status nelko_core_settings_set_default_json_value(char const *key, char const *value);
nelko_core_status nelko_core_settings_set_default_int_value(char const *key, int const value);
nelko_core_status nelko_core_settings_set_default_bool_value(char const *key, unsigned char value);
nelko_core_status nelko_core_settings_set_default_double_value(char const *key,
                                                               double const value);
nelko_core_status nelko_core_settings_set_default_arrayofstring_value(char const *key,
                                                                      char **array);
nelko_core_status nelko_core_settings_set_default_arrayofint_value(char const *key, int **array);
nelko_core_status nelko_core_settings_set_default_arrayofbool_value(char const *key,
                                                                    unsigned char **array);
nelko_core_status nelko_core_settings_set_default_arrayofdouble_value(char const *key,
                                                                      double **array);

/* Copies: to_key becomes an exact copy of from_key, value and default (a part that from_key lacks
 * is removed from to_key). 6 when from_key does not exist; 5 when from_key, or an existing to_key,
 * is of another kind than the function's. Copying a key onto itself does nothing. */
nelko_core_status nelko_core_settings_copy_string_key(char const *from_key, char const *to_key);
nelko_core_status nelko_core_settings_copy_json_key(char const *from_key, char const *to_key);
nelko_core_status nelko_core_settings_copy_int_key(char const *from_key, char const *to_key);
nelko_core_status nelko_core_settings_copy_bool_key(char const *from_key, char const *to_key);
nelko_core_status nelko_core_settings_copy_double_key(char const *from_key, char const *to_key);
nelko_core_status nelko_core_settings_copy_arrayofstring_key(char const *from_key,
                                                             char const *to_key);
nelko_core_status nelko_core_settings_copy_arrayofint_key(char const *from_key,
                                                          char const *to_key);
nelko_core_status nelko_core_settings_copy_arrayofbool_key(char const *from_key,
                                                           char const *to_key);
nelko_core_status nelko_core_settings_copy_arrayofdouble_key(char const *from_key,
                                                             char const *to_key);

/* Every key, in byte order, as a new string core array that the caller releases with
 * nelko_core_free_string_array; an empty array when there are none. Null when no settings file is
 * open or memory runs out. */
char **nelko_core_settings_get_all_keys(void);
/* As get_all_keys, only the keys that begin with prefix ("" gives all); null for a null prefix. */
char **nelko_core_settings_get_keys_starting_with(char const *prefix);
/* Stores the key's kind in *type; 6 when the key does not exist. */
nelko_core_status nelko_core_settings_get_type(char const *key, nelko_core_settings_type *type);
/* True when the key exists; false also for a null key or when no settings file is open. */
bool nelko_core_settings_does_key_exist(char const *key);
/* Removes the key with its value and default; 6 when it does not exist. */
nelko_core_status nelko_core_settings_delete_key(char const *key);

/* The file carries a version number of its contents, for the application to migrate old settings:
 * 0 in a new file. get_and_set_version stores new_version in the file and the version it replaces
 * in *previous_version. get_versions stores the version the file holds now in *current_version and
 * the one it held when init opened it in *loaded_version. */
nelko_core_status nelko_core_settings_get_and_set_version(unsigned int *previous_version,
                                                          unsigned int new_version);
nelko_core_status nelko_core_settings_get_versions(unsigned int *current_version,
                                                   unsigned int *loaded_version);
/* *is_new becomes 1 when init created the open file, 0 when it existed before. */
nelko_core_status nelko_core_settings_is_new_file(unsigned char *is_new);

/* Writes the open settings file's content, exactly as it is on disk, to standard error, or the
 * line "no settings file is open". For people debugging; the format is that of the file. */
void nelko_core_debug_settings_dump(void);
/* The path of the open settings file as given to init: a text owned by the library, valid until
 * nelko_core_settings_deinit. Null when no settings file is open. */
char const *nelko_core_debug_get_setting_path(void);

/* CONFIGURATION
 *
 * The configuration is a read-only JSON file: one object whose members are the keys. A key's kind
 * is that of its value:
 *   text -> string; true/false -> bool; an integral number that fits an int -> int; any other
 *   number -> double; an array of texts, of booleans, of such integers, or of numbers (at least
 *   one not such an integer) -> arrayofstring, arrayofbool, arrayofint, arrayofdouble; any other
 *   value (object, null, an array of anything else or of mixed kinds) -> json.
 * Getters take and hand out values, and return statuses, as the settings getters do, and read a
 * key of their own kind, and also: the double getter an int, the arrayofdouble getter an
 * arrayofint, and every array getter an empty array. get_type reports an empty array as
 * NELKO_CORE_SETTING_TYPE_UNKNOWN. The same threading rules hold; a configuration and a settings
 * file can be open together. */

/* Reads the configuration file (a symbolic link is followed). Statuses: 1 for a null or empty
 * path, 3 when one is already open, 4 when the file is missing, unreadable, not a regular file,
 * larger than 1 MiB, not JSON in UTF-8 (nested at most 64 levels below its object), not an object,
 * or has a key twice. */
nelko_core_status nelko_core_configuration_init(char const *path);
/* Forgets the configuration; 1 when none is open. */
nelko_core_status nelko_core_configuration_deinit(void);
nelko_core_status nelko_core_configuration_get_string_value(char const *key, char **value);
nelko_core_status nelko_core_configuration_get_json_value(char const *key, char **value);
nelko_core_status nelko_core_configuration_get_int_value(char const *key, int *value);
nelko_core_status nelko_core_configuration_get_bool_value(char const *key, unsigned char *value);
nelko_core_status nelko_core_configuration_get_double_value(char const *key, double *value);
nelko_core_status nelko_core_configuration_get_arrayofstring_value(char const *key,
                                                                   char ***array, int *count);
nelko_core_status nelko_core_configuration_get_arrayofint_value(char const *key, int ***array,
                                                                int *count);
nelko_core_status nelko_core_configuration_get_arrayofbool_value(char const *key,
                                                                 unsigned char ***array,
                                                                 int *count);
nelko_core_status nelko_core_configuration_get_arrayofdouble_value(char const *key,
                                                                   double ***array, int *count);
/* Every key in byte order, as nelko_core_settings_get_all_keys; null when none is open. */
char **nelko_core_configuration_get_all_keys(void);
nelko_core_status nelko_core_configuration_get_type(char const *key,
                                                    nelko_core_settings_type *type);
bool nelko_core_configuration_does_key_exist(char const *key);

#ifdef __cplusplus
}
#endif

#endif
