// What the module remembers of the handles and request identifiers it hands out, so that a script
// that passes one after its end, or in place of the other, gets a Lua error instead of a crash.
//
// The pointer userdata cannot carry this themselves: their layout is shared with every module of
// the state (pointer_types.h). Instead, a table in the registry, weak in its keys, maps each
// pointer userdata that a wrapper made for a handle or a request identifier to its use and to
// whether it has ended (the handle destroyed, the identifier released). A pointer userdata made
// by other code (another module, the array functions) has no entry and is taken as before.
// Entries go with their userdata, when the script drops it.
#ifndef NELKO_LUA_POINTER_USES_H
#define NELKO_LUA_POINTER_USES_H

#include "lua_c_api.h"

namespace nelko::lua {

enum class PointerUse : int { kHandle = 1, kRequest = 2 };

// How messages name a use: "handle", "request identifier".
char const* use_name(PointerUse use);
// How messages name the end of a use: "destroyed", "released".
char const* ending_name(PointerUse use);

// Makes the state's table, unless an earlier opening in the state made it.
void prepare_pointer_uses(lua_State* L);

// Records the pointer userdata on top of the stack as handed out for `use`, live. Allocates: may
// raise a memory error.
void track_pointer(lua_State* L, PointerUse use);

struct PointerHistory {
  bool tracked;  // handed out by this module for a use; the rest is meaningful only then
  PointerUse use;
  bool ended;
};

// What the module knows of the value at idx (a positive index).
PointerHistory pointer_history(lua_State* L, int idx);

// Marks the value at idx (a positive index) as ended if it is tracked. Changes an existing entry
// only, so it allocates nothing and never raises: it can follow a C call that released the
// pointer without anything interrupting it.
void end_pointer(lua_State* L, int idx);

}  // namespace nelko::lua

#endif
