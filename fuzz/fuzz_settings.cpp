// The settings file reader and the configuration reader on a file holding the input: either it
// is refused whole or every key it lists reads back with the kind it reports. A store that opened
// must write a file that opens again.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "nelko_core.h"
#include "scratch_directory.h"

namespace {

void require(bool condition, char const* what) {
  if (condition) return;
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

std::string const& directory() {
  // Memory-backed when possible: every change of the store is flushed to disk.
  static nelko::test::ScratchDirectory const made(
      "nelko-fuzz-settings", nelko::test::ScratchDirectory::Where::kMemoryIfPossible);
  return made.path();
}

void write_file(std::string const& path, std::uint8_t const* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0) std::fwrite(data, 1, size, file);
  std::fclose(file);
}

using Getter = nelko_core_status (*)(char const*, void*);

// Reads `key` with the getter of `type`, through the settings (value and default) or the
// configuration; returns the status of the value read.
nelko_core_status read_as(bool configuration, bool defaults, char const* key,
                          nelko_core_settings_type type) {
  char* text = nullptr;
  int integer = 0;
  unsigned char flag = 0;
  double real = 0;
  int count = 0;
  nelko_core_status status = NELKO_CORE_STATUS_INVALID_PARAMS;
  switch (type) {
#define NELKO_READ(kind, ...)                                                              \
  status = configuration ? nelko_core_configuration_get_##kind##_value(key, __VA_ARGS__)   \
           : defaults    ? nelko_core_settings_get_default_##kind##_value(key, __VA_ARGS__) \
                         : nelko_core_settings_get_##kind##_value(key, __VA_ARGS__)
    case NELKO_CORE_SETTING_TYPE_STRING:
      NELKO_READ(string, &text);
      break;
    case NELKO_CORE_SETTING_TYPE_JSON:
      NELKO_READ(json, &text);
      break;
    case NELKO_CORE_SETTING_TYPE_INT:
      NELKO_READ(int, &integer);
      break;
    case NELKO_CORE_SETTING_TYPE_BOOL:
      NELKO_READ(bool, &flag);
      require(status != 0 || flag <= 1, "a bool read as neither 0 nor 1");
      break;
    case NELKO_CORE_SETTING_TYPE_DOUBLE:
      NELKO_READ(double, &real);
      break;
    case NELKO_CORE_SETTING_TYPE_ARRAYOFSTRING: {
      char** array = nullptr;
      NELKO_READ(arrayofstring, &array, &count);
      for (int i = 0; status == 0 && i < count; ++i) require(array[i] != nullptr, "short array");
      nelko_core_free_string_array(array);
      break;
    }
    case NELKO_CORE_SETTING_TYPE_ARRAYOFINT: {
      int** array = nullptr;
      NELKO_READ(arrayofint, &array, &count);
      nelko_core_free_int_array(array);
      break;
    }
    case NELKO_CORE_SETTING_TYPE_ARRAYOFBOOL: {
      unsigned char** array = nullptr;
      NELKO_READ(arrayofbool, &array, &count);
      nelko_core_free_bool_array(array);
      break;
    }
    case NELKO_CORE_SETTING_TYPE_ARRAYOFDOUBLE: {
      double** array = nullptr;
      NELKO_READ(arrayofdouble, &array, &count);
      nelko_core_free_double_array(array);
      break;
    }
    default:
      break;
#undef NELKO_READ
  }
  std::free(text);
  return status;
}

void free_keys(char** keys) { nelko_core_free_string_array(keys); }

void read_settings() {
  char** keys = nelko_core_settings_get_all_keys();
  require(keys != nullptr, "an open store listed no keys");
  for (int i = 0; keys[i] != nullptr && i < 64; ++i) {
    nelko_core_settings_type type = NELKO_CORE_SETTING_TYPE_UNKNOWN;
    require(nelko_core_settings_get_type(keys[i], &type) == 0, "a listed key has no type");
    require(nelko_core_settings_does_key_exist(keys[i]), "a listed key does not exist");
    nelko_core_status value = read_as(false, false, keys[i], type);
    nelko_core_status fallback = read_as(false, true, keys[i], type);
    require(value == 0 || value == NELKO_CORE_STATUS_SETTING_NOT_PRESENT, "its value is unreadable");
    require(fallback == 0 || fallback == NELKO_CORE_STATUS_SETTING_NOT_PRESENT,
            "its default is unreadable");
    require(value == 0 || fallback == 0, "a listed key has neither value nor default");
    // Another kind is refused, never misread.
    auto other = static_cast<nelko_core_settings_type>((type + 1) % 9);
    nelko_core_status wrong = read_as(false, false, keys[i], other);
    require(wrong != 0, "a key read as another kind");
  }
  free_keys(keys);
  free_keys(nelko_core_settings_get_keys_starting_with(""));
  unsigned int current = 0, previous = 0;
  nelko_core_settings_get_versions(&current, &previous);
}

void read_configuration() {
  char** keys = nelko_core_configuration_get_all_keys();
  require(keys != nullptr, "an open configuration listed no keys");
  for (int i = 0; keys[i] != nullptr && i < 64; ++i) {
    nelko_core_settings_type type = NELKO_CORE_SETTING_TYPE_UNKNOWN;
    require(nelko_core_configuration_get_type(keys[i], &type) == 0, "a listed key has no type");
    if (type == NELKO_CORE_SETTING_TYPE_UNKNOWN) continue;  // an empty array
    require(read_as(true, false, keys[i], type) == 0, "a key does not read as its own kind");
  }
  free_keys(keys);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("NELKO_LOG_LEVEL", "0", 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string const path = directory() + "/settings.json";
  write_file(path, data, size);

  if (nelko_core_settings_init(path.c_str()) == NELKO_CORE_STATUS_NO_ERROR) {
    read_settings();
    // A change rewrites the whole file; what the store writes must open again with the change.
    nelko_core_status set = nelko_core_settings_set_string_value("\x01fuzz", "written");
    require(set == 0 || set == NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE, "a change failed");
    require(nelko_core_settings_deinit() == 0, "deinit failed");
    require(nelko_core_settings_init(path.c_str()) == 0, "the store's own file does not open");
    char* text = nullptr;
    if (set == 0) {
      require(nelko_core_settings_get_string_value("\x01fuzz", &text) == 0, "the change is lost");
      std::free(text);
    }
    nelko_core_settings_deinit();
  }

  write_file(path, data, size);
  if (nelko_core_configuration_init(path.c_str()) == NELKO_CORE_STATUS_NO_ERROR) {
    read_configuration();
    nelko_core_configuration_deinit();
  }
  ::unlink(path.c_str());
  return 0;
}
