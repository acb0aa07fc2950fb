// The nine value kinds that settings and configuration share. Each kind says which JSON values
// hold it (holds), how its C input becomes JSON (encode: false for an input the kind refuses) and
// how JSON becomes its C outputs (decode: all or nothing, throws std::bad_alloc).
#ifndef NELKO_CORE_SETTINGS_VALUE_KINDS_H
#define NELKO_CORE_SETTINGS_VALUE_KINDS_H

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>

#include "nelko_core_arrays.h"
#include "nelko_core_types.h"
#include "settings_json.h"

namespace nelko::core::settings {

// A copy made with the C allocator, for a caller who releases it with free().
inline char* copy_text(char const* text) {
  char* copy = strdup(text);
  if (!copy) throw std::bad_alloc();
  return copy;
}

struct StringKind {
  static constexpr nelko_core_settings_type type = NELKO_CORE_SETTING_TYPE_STRING;
  static constexpr char const* name = "string";
  using In = char const*;
  using Cell = char;
  static bool holds(Json const& json) { return json.IsString(); }
  static bool encode(In in, Json& json, JsonAllocator& allocator) {
    if (!in || !is_utf8(in)) return false;
    json.SetString(in, allocator);
    return true;
  }
  static void decode(Json const& json, char** out) { *out = copy_text(json.GetString()); }
};

struct JsonKind {
  static constexpr nelko_core_settings_type type = NELKO_CORE_SETTING_TYPE_JSON;
  static constexpr char const* name = "json";
  using In = char const*;
  static bool holds(Json const&) { return true; }
  static bool encode(In in, Json& json, JsonAllocator& allocator) {
    rapidjson::Document parsed;
    if (!in || !parse_json(in, parsed, kMaxValueNesting)) return false;
    json.CopyFrom(parsed, allocator);
    return true;
  }
  static void decode(Json const& json, char** out) {
    *out = copy_text(to_compact_text(json).c_str());
  }
};

struct IntKind {
  static constexpr nelko_core_settings_type type = NELKO_CORE_SETTING_TYPE_INT;
  static constexpr char const* name = "int";
  using In = int;
  using Cell = int;
  static bool holds(Json const& json) { return json.IsInt(); }
  static bool encode(In in, Json& json, JsonAllocator&) {
    json.SetInt(in);
    return true;
  }
  static void decode(Json const& json, int* out) { *out = json.GetInt(); }
};

struct BoolKind {
  static constexpr nelko_core_settings_type type = NELKO_CORE_SETTING_TYPE_BOOL;
  static constexpr char const* name = "bool";
  using In = unsigned char;
  using Cell = unsigned char;
  static bool holds(Json const& json) { return json.IsBool(); }
  static bool encode(In in, Json& json, JsonAllocator&) {
    json.SetBool(in != 0);
    return true;
  }
  static void decode(Json const& json, unsigned char* out) { *out = json.GetBool() ? 1 : 0; }
};

struct DoubleKind {
  static constexpr nelko_core_settings_type type = NELKO_CORE_SETTING_TYPE_DOUBLE;
  static constexpr char const* name = "double";
  using In = double;
  using Cell = double;
  // A writer drops the fraction of a whole number, so 3 is as good a double as 3.0.
  static bool holds(Json const& json) { return json.IsNumber(); }
  static bool encode(In in, Json& json, JsonAllocator&) {
    if (!std::isfinite(in)) return false;
    json.SetDouble(in);
    return true;
  }
  static void decode(Json const& json, double* out) { *out = json.GetDouble(); }
};

// A JSON array of Element values, handed over as a core array of Element's cells: Alloc and Free
// are the core array functions of that kind.
template <class Element, nelko_core_settings_type Type, char const* Name,
          typename Element::Cell** (*Alloc)(unsigned int), void (*Free)(typename Element::Cell**)>
struct ArrayKind {
  using Cell = typename Element::Cell;
  using In = Cell**;
  static constexpr nelko_core_settings_type type = Type;
  static constexpr char const* name = Name;
  static constexpr bool kTextCells = std::is_same_v<Cell, char>;

  static bool holds(Json const& json) {
    return json.IsArray() && std::all_of(json.Begin(), json.End(), Element::holds);
  }
  static bool encode(In in, Json& json, JsonAllocator& allocator) {
    if (!in) return false;
    json.SetArray();
    for (Cell** slot = in; *slot; ++slot) {
      Json element;
      typename Element::In value;
      if constexpr (kTextCells)
        value = *slot;
      else
        value = **slot;
      if (!Element::encode(value, element, allocator)) return false;
      json.PushBack(element, allocator);
    }
    return true;
  }
  static void decode(Json const& json, Cell*** out, int* count) {
    std::unique_ptr<Cell*, void (*)(Cell**)> array(Alloc(json.Size()), Free);
    if (!array) throw std::bad_alloc();
    for (rapidjson::SizeType i = 0; i < json.Size(); ++i) {
      if constexpr (kTextCells)
        Element::decode(json[i], &array.get()[i]);
      else
        Element::decode(json[i], array.get()[i]);
    }
    *count = static_cast<int>(json.Size());
    *out = array.release();
  }
};

inline constexpr char kArrayOfStringName[] = "arrayofstring";
inline constexpr char kArrayOfIntName[] = "arrayofint";
inline constexpr char kArrayOfBoolName[] = "arrayofbool";
inline constexpr char kArrayOfDoubleName[] = "arrayofdouble";

using ArrayOfStringKind =
    ArrayKind<StringKind, NELKO_CORE_SETTING_TYPE_ARRAYOFSTRING, kArrayOfStringName,
              nelko_core_alloc_string_array, nelko_core_free_string_array>;
using ArrayOfIntKind = ArrayKind<IntKind, NELKO_CORE_SETTING_TYPE_ARRAYOFINT, kArrayOfIntName,
                                 nelko_core_alloc_int_array, nelko_core_free_int_array>;
using ArrayOfBoolKind = ArrayKind<BoolKind, NELKO_CORE_SETTING_TYPE_ARRAYOFBOOL, kArrayOfBoolName,
                                  nelko_core_alloc_bool_array, nelko_core_free_bool_array>;
using ArrayOfDoubleKind =
    ArrayKind<DoubleKind, NELKO_CORE_SETTING_TYPE_ARRAYOFDOUBLE, kArrayOfDoubleName,
              nelko_core_alloc_double_array, nelko_core_free_double_array>;

// The kinds at run time, indexed by nelko_core_settings_type.
struct KindInfo {
  nelko_core_settings_type type;
  char const* name;
  bool (*holds)(Json const&);
};

template <class... Kinds>
constexpr std::array<KindInfo, sizeof...(Kinds)> kind_table() {
  return {{{Kinds::type, Kinds::name, &Kinds::holds}...}};
}

inline constexpr auto kKinds =
    kind_table<StringKind, JsonKind, IntKind, BoolKind, DoubleKind, ArrayOfStringKind,
               ArrayOfIntKind, ArrayOfBoolKind, ArrayOfDoubleKind>();
constexpr bool is_indexed_by_type() {
  for (std::size_t i = 0; i < kKinds.size(); ++i)
    if (kKinds[i].type != static_cast<nelko_core_settings_type>(i)) return false;
  return true;
}
static_assert(is_indexed_by_type(), "kKinds is indexed by nelko_core_settings_type");

// NELKO_CORE_SETTING_TYPE_UNKNOWN for a name that is no kind's.
inline nelko_core_settings_type kind_named(std::string_view name) {
  for (KindInfo const& kind : kKinds)
    if (name == kind.name) return kind.type;
  return NELKO_CORE_SETTING_TYPE_UNKNOWN;
}

}  // namespace nelko::core::settings

#endif
