// What the module remembers of the handles and request identifiers it hands out, so that a script
// that passes one after its end, or in place of the other, gets a Lua error instead of a crash.
//
// Each pointer userdata that a wrapper makes for a handle or a request identifier carries, after
// the record that every module of the state shares (pointer_types.h), this module's mark, its use
// and whether it has ended (the handle destroyed, the identifier released). A pointer userdata
// made by other code (another module, the array functions) has no mark and is taken as before.
// Reading it costs no table look-up, and it goes with its userdata.
#ifndef NELKO_LUA_POINTER_USES_H
#define NELKO_LUA_POINTER_USES_H

#include "lua_c_api.h"

namespace nelko::lua {

enum class PointerUse : int { kHandle = 1, kRequest = 2 };

// How messages name a use: "handle", "request identifier".
char const* use_name(PointerUse use);
// How messages name the end of a use: "destroyed", "released".
char const* ending_name(PointerUse use);

// Pushes a "void *" pointer userdata marked owned and live for `use`, or nil for a null pointer.
// Allocates: may raise a memory error.
void push_tracked_pointer(lua_State* L, void* ptr, PointerUse use);

struct PointerHistory {
  bool tracked;  // handed out by this module for a use; the rest is meaningful only then
  PointerUse use;
  bool ended;
};

// What the module knows of the value at idx (a positive index).
PointerHistory pointer_history(lua_State* L, int idx);

// The common case in one step: true, with the C pointer and the history, when the value at idx
// is a pointer userdata this module made for a use; false for anything else.
bool tracked_pointer(lua_State* L, int idx, void*& ptr, PointerHistory& history);

// Marks the value at idx (a positive index) as ended if it is tracked. Changes the userdata in
// place, so it allocates nothing and never raises: it can follow a C call that released the
// pointer without anything interrupting it.
void end_pointer(lua_State* L, int idx);

}  // namespace nelko::lua

#endif
