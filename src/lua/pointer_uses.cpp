#include "pointer_uses.h"

namespace nelko::lua {

char const kTrackedMark = 0;

char const* use_name(PointerUse use) {
  return use == PointerUse::kHandle ? "handle" : "request identifier";
}

char const* ending_name(PointerUse use) {
  return use == PointerUse::kHandle ? "destroyed" : "released";
}

void push_tracked_pointer(lua_State* L, void* ptr, PointerUse use) {
  if (!ptr) {
    lua_pushnil(L);
    return;
  }
  auto* tracked = static_cast<TrackedRecord*>(lua_newuserdata(L, sizeof(TrackedRecord)));
  tracked->record.type = type_record(kVoidPtr);
  tracked->record.owned = 1;
  tracked->record.ptr = ptr;
  tracked->mark = &kTrackedMark;
  tracked->state = live_state(use);
}

PointerUse pointer_use(lua_State* L, int idx) {
  TrackedRecord const* tracked = tracked_record(L, idx, lua_touserdata(L, idx));
  if (!tracked) return PointerUse::kHandle;
  int const value = tracked->state;
  return static_cast<PointerUse>(value < 0 ? -value : value);
}

}  // namespace nelko::lua
