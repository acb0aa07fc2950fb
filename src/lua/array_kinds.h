// The five kinds of core array (bool, uint, int, double, string) and the two conversions between
// a Lua table indexed from 1 and a core array: n + 1 pointer slots made by the core library, the
// first n pointing to the elements, the last null.
//
// Both the exported conversion functions (table_conversions.h) and the wrappers' table arguments
// and array results (calling_convention.h) are these templates.
#ifndef NELKO_LUA_ARRAY_KINDS_H
#define NELKO_LUA_ARRAY_KINDS_H

#include <cstdlib>
#include <cstring>

#include "lua_c_api.h"
#include "lua_numbers.h"
#include "nelko_core.h"

namespace nelko::lua {

// Each kind: the array type, its allocation and release by the core library, how a Lua value is
// stored into slot i (false when the value has the wrong type or cannot be stored) and how
// element i is pushed.
struct BoolArray {
  using Array = unsigned char**;
  static Array allocate(unsigned int n) { return nelko_core_alloc_bool_array(n); }
  static void release(Array a) { nelko_core_free_bool_array(a); }
  static bool store(lua_State* L, Array a, int i) {
    if (lua_type(L, -1) != LUA_TBOOLEAN) return false;
    *a[i] = lua_toboolean(L, -1) ? 1 : 0;
    return true;
  }
  static void push(lua_State* L, Array a, int i) { lua_pushboolean(L, *a[i] != 0); }
};

struct UintArray {
  using Array = unsigned int**;
  static Array allocate(unsigned int n) { return nelko_core_alloc_uint_array(n); }
  static void release(Array a) { nelko_core_free_uint_array(a); }
  // The 32 bits of the signed truncation, with no sign test: -1 is stored as 4294967295.
  static bool store(lua_State* L, Array a, int i) {
    if (lua_type(L, -1) != LUA_TNUMBER) return false;
    *a[i] = to_uint32(lua_tonumber(L, -1));
    return true;
  }
  static void push(lua_State* L, Array a, int i) { push_uint_cell(L, *a[i]); }
};

struct IntArray {
  using Array = int**;
  static Array allocate(unsigned int n) { return nelko_core_alloc_int_array(n); }
  static void release(Array a) { nelko_core_free_int_array(a); }
  static bool store(lua_State* L, Array a, int i) {
    if (lua_type(L, -1) != LUA_TNUMBER) return false;
    *a[i] = to_int32(lua_tonumber(L, -1));
    return true;
  }
  static void push(lua_State* L, Array a, int i) { push_int32(L, *a[i]); }
};

struct DoubleArray {
  using Array = double**;
  static Array allocate(unsigned int n) { return nelko_core_alloc_double_array(n); }
  static void release(Array a) { nelko_core_free_double_array(a); }
  static bool store(lua_State* L, Array a, int i) {
    if (lua_type(L, -1) != LUA_TNUMBER) return false;
    *a[i] = lua_tonumber(L, -1);
    return true;
  }
  static void push(lua_State* L, Array a, int i) { lua_pushnumber(L, *a[i]); }
};

// Slots of a fresh string array are overwritten unread; the core's release frees every text
// before the first null slot, so a partly filled array is released correctly.
struct StringArray {
  using Array = char**;
  static Array allocate(unsigned int n) { return nelko_core_alloc_string_array(n); }
  static void release(Array a) { nelko_core_free_string_array(a); }
  static bool store(lua_State* L, Array a, int i) {
    if (lua_type(L, -1) != LUA_TSTRING) return false;
    a[i] = strdup(lua_tostring(L, -1));
    return a[i] != nullptr;
  }
  static void push(lua_State* L, Array a, int i) { lua_pushstring(L, a[i]); }
};

inline int absolute_index(lua_State* L, int idx) {
  return (idx < 0 && idx > LUA_REGISTRYINDEX) ? lua_gettop(L) + idx + 1 : idx;
}

// Key/value pairs of the table at idx, whatever the keys; 0 for a value that is not a table.
inline int count_entries(lua_State* L, int idx) {
  if (!lua_istable(L, idx)) return 0;
  idx = absolute_index(L, idx);
  int n = 0;
  lua_pushnil(L);
  while (lua_next(L, idx)) {
    ++n;
    lua_pop(L, 1);
  }
  return n;
}

enum class Conversion {
  kDone,    // *out holds the array, or null when the table could not be converted
  kRaised,  // a metamethod raised an error; its value is on the top of the stack, *out is null
};

template <class Kind>
bool fill_array(lua_State* L, int idx, typename Kind::Array a, int n, bool raw) {
  for (int i = 1; i <= n; ++i) {
    if (raw) {
      lua_rawgeti(L, idx, i);
    } else {
      lua_pushnumber(L, i);
      lua_gettable(L, idx);
    }
    bool stored = Kind::store(L, a, i - 1);
    lua_pop(L, 1);
    if (!stored) return false;
  }
  return true;
}

template <class Kind>
struct FillJob {
  typename Kind::Array array;
  int count;
  bool filled;
};

// Reads through metamethods in protected mode, so that an error they raise cannot leave the
// array (and the caller's other arrays) unreleased.
template <class Kind>
int fill_array_protected(lua_State* L) {
  auto* job = static_cast<FillJob<Kind>*>(lua_touserdata(L, 2));
  job->filled = fill_array<Kind>(L, 1, job->array, job->count, false);
  return 0;
}

// Table (at idx, must be a table) to a new core array. A value of the wrong type at any index
// 1..n, n being the number of entries, gives null: so does a table that is not a proper sequence.
template <class Kind>
Conversion table_to_array(lua_State* L, int idx, typename Kind::Array* out) {
  idx = absolute_index(L, idx);
  *out = nullptr;
  int n = count_entries(L, idx);
  bool raw = !lua_getmetatable(L, idx);
  if (raw) {
    typename Kind::Array a = Kind::allocate(static_cast<unsigned int>(n));
    if (!a) return Conversion::kDone;
    if (!fill_array<Kind>(L, idx, a, n, true)) {
      Kind::release(a);
      return Conversion::kDone;
    }
    *out = a;
    return Conversion::kDone;
  }
  lua_pop(L, 1);
  FillJob<Kind> job{nullptr, n, false};
  lua_pushcfunction(L, fill_array_protected<Kind>);
  lua_pushvalue(L, idx);
  lua_pushlightuserdata(L, &job);
  job.array = Kind::allocate(static_cast<unsigned int>(n));
  if (!job.array) {
    lua_pop(L, 3);
    return Conversion::kDone;
  }
  if (lua_pcall(L, 2, 0, 0) != 0) {
    Kind::release(job.array);
    return Conversion::kRaised;
  }
  if (!job.filled) {
    Kind::release(job.array);
    return Conversion::kDone;
  }
  *out = job.array;
  return Conversion::kDone;
}

// Pushes a new table of the elements before the first null slot (nil for a null array) and
// releases the array.
template <class Kind>
void array_to_table(lua_State* L, typename Kind::Array a) {
  if (!a) {
    lua_pushnil(L);
    return;
  }
  int n = 0;
  while (a[n]) ++n;
  lua_createtable(L, n, 0);
  for (int k = 0; k < n; ++k) {
    Kind::push(L, a, k);
    lua_rawseti(L, -2, k + 1);
  }
  Kind::release(a);
}

}  // namespace nelko::lua

#endif
