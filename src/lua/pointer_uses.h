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
#include "pointer_types.h"

namespace nelko::lua {

enum class PointerUse : int { kHandle = 1, kRequest = 2 };

// How messages name a use: "handle", "request identifier".
char const* use_name(PointerUse use);
// How messages name the end of a use: "destroyed", "released".
char const* ending_name(PointerUse use);

// A pointer userdata this module made for a handle or a request identifier: the record that every
// module of the state reads, then this module's mark and the pointer's use. The userdata is
// larger than a plain record, which other modules do not mind: they read the record only.
struct TrackedRecord {
  PointerRecord record;
  void const* mark;  // &kTrackedMark: made here (an address no other code stores)
  int state;         // the use as a number (live_state), negated once the use has ended
};

extern char const kTrackedMark;

constexpr int live_state(PointerUse use) {
  return static_cast<int>(use);
}

// The tracked record in the block of the userdata at idx (lua_touserdata's result, null for
// anything but a userdata), or null for anything this module did not make for a use. The mark is
// read only from a full userdata of exactly a tracked record's size (a light userdata's length is
// 0). Inline: it is on the path of every call that takes a handle.
inline TrackedRecord* tracked_record(lua_State* L, int idx, void* block) {
  if (!block || lua_objlen(L, idx) != sizeof(TrackedRecord)) return nullptr;
  auto* tracked = static_cast<TrackedRecord*>(block);
  return tracked->mark == &kTrackedMark ? tracked : nullptr;
}

// Pushes a "void *" pointer userdata marked owned and live for `use`, or nil for a null pointer.
// Allocates: may raise a memory error.
void push_tracked_pointer(lua_State* L, void* ptr, PointerUse use);

// The use of the pointer userdata at idx (a positive index) that this module handed out, whether
// the use has ended or not; kHandle for any other value. For messages about a refused argument.
PointerUse pointer_use(lua_State* L, int idx);

// Marks a tracked record as ended. Changes the userdata in place, so it allocates nothing and
// never raises: it can follow a C call that released the pointer without anything interrupting
// it.
inline void end_tracked(TrackedRecord& tracked) {
  if (tracked.state > 0) tracked.state = -tracked.state;
}

}  // namespace nelko::lua

#endif
