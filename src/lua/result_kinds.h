// The kinds of value a wrapper returns: the C function's own result, and its out-parameters,
// which take no Lua argument and are pushed after the result in C parameter order.
//
// An out-parameter's Slot is the wrapper's local that the C function writes through; it starts at
// zero (null for texts, arrays and pointers).
#ifndef NELKO_LUA_RESULT_KINDS_H
#define NELKO_LUA_RESULT_KINDS_H

#include <cstdlib>

#include "array_kinds.h"
#include "lua_c_api.h"
#include "lua_numbers.h"
#include "nelko_core.h"
#include "pointer_types.h"
#include "pointer_uses.h"

namespace nelko::lua {

inline void push_text(lua_State* L, char const* s) {
  if (s) {
    lua_pushstring(L, s);
  } else {
    lua_pushnil(L);
  }
}

// Own results of the C function.

struct NoResult {
  using CType = void;
};

struct Status {
  using CType = nelko_core_status;
  static void push(lua_State* L, CType v) { push_int32(L, static_cast<int>(v)); }
};

// Whether a call succeeded as far as its own result tells: a status of 0. A function without a
// status always counts as successful.
inline bool call_succeeded(nelko_core_status status) {
  return status == NELKO_CORE_STATUS_NO_ERROR;
}
template <class Other>
bool call_succeeded(Other const&) {
  return true;
}

// A text the C function keeps owning.
struct ReturnedText {
  using CType = char const*;
  static void push(lua_State* L, CType v) { push_text(L, v); }
};

struct Truth {
  using CType = bool;
  static void push(lua_State* L, CType v) { lua_pushboolean(L, v); }
};

// A new object handed to the script as a pointer userdata, not owned by it (nil for null).
template <class C, PointerType Type>
struct ReturnedPointer {
  using CType = C;
  static void push(lua_State* L, CType v) { push_pointer(L, v, Type, 0); }
};

// A core array, converted to a table (nil for null) and released.
template <class ArrayKind>
struct ReturnedArray {
  using CType = typename ArrayKind::Array;
  static void push(lua_State* L, CType v) { array_to_table<ArrayKind>(L, v); }
};

// Out-parameters.

template <class Local>
struct Output {
  static constexpr bool kTakesArgument = false;
  struct Probe {};  // no argument, nothing to look at
  using Slot = Local;
  using CType = Local*;
  static CType pass(Slot& local) { return &local; }
  static void release_on_error(Slot&) {}
  static void release_after_call(Slot&) {}
};

// Pushed, then released with free().
struct OutText : Output<char*> {
  static void push(lua_State* L, Slot& v) {
    push_text(L, v);
    std::free(v);
    v = nullptr;
  }
};

struct OutSigned : Output<int> {
  static void push(lua_State* L, Slot& v) { push_int32(L, v); }
};

struct OutUnsigned : Output<unsigned int> {
  static void push(lua_State* L, Slot& v) { push_uint32(L, v); }
};

// An enumeration written by the C function, pushed as an unsigned number.
template <class Enum>
struct OutEnumeration : Output<Enum> {
  static void push(lua_State* L, Enum& v) { push_uint32(L, static_cast<unsigned int>(v)); }
};

struct OutReal : Output<double> {
  static void push(lua_State* L, Slot& v) { lua_pushnumber(L, v); }
};

struct OutFlag : Output<unsigned char> {
  static void push(lua_State* L, Slot& v) { lua_pushboolean(L, v != 0); }
};

// A handle or request identifier made for the script: a "void *" pointer userdata marked owned,
// tracked as live for its use (pointer_uses.h).
template <PointerUse kUse>
struct OutPointer : Output<void*> {
  static void push(lua_State* L, Slot& v) { push_tracked_pointer(L, v, kUse); }
};

template <class ArrayKind>
struct OutArray : Output<typename ArrayKind::Array> {
  static void push(lua_State* L, typename ArrayKind::Array& v) {
    array_to_table<ArrayKind>(L, v);
    v = nullptr;
  }
};

}  // namespace nelko::lua

#endif
