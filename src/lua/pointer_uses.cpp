#include "pointer_uses.h"

#include "pointer_types.h"

namespace nelko::lua {
namespace {

// A pointer userdata this module made for a handle or a request identifier: the record that every
// module of the state reads, then this module's mark and the pointer's use. The userdata is
// larger than a plain record, which other modules do not mind: they read the record only.
struct TrackedRecord {
  PointerRecord record;
  void const* mark;  // &kMark: made here (an address no other code stores)
  int state;         // the use as a number, negated once the use has ended
};

char const kMark = 0;

int entry(PointerUse use, bool ended) {
  int value = static_cast<int>(use);
  return ended ? -value : value;
}

// The tracked record at idx, or null for anything this module did not make for a use. Reads the
// mark only from a full userdata of exactly a tracked record's size.
TrackedRecord* tracked_at(lua_State* L, int idx) {
  if (lua_type(L, idx) != LUA_TUSERDATA || lua_objlen(L, idx) != sizeof(TrackedRecord)) {
    return nullptr;
  }
  auto* tracked = static_cast<TrackedRecord*>(lua_touserdata(L, idx));
  return tracked->mark == &kMark ? tracked : nullptr;
}

PointerHistory history_of(TrackedRecord const& tracked) {
  int const value = tracked.state;
  return {true, static_cast<PointerUse>(value < 0 ? -value : value), value < 0};
}

}  // namespace

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
  tracked->mark = &kMark;
  tracked->state = entry(use, false);
}

bool tracked_pointer(lua_State* L, int idx, void*& ptr, PointerHistory& history) {
  TrackedRecord const* tracked = tracked_at(L, idx);
  if (!tracked) return false;
  ptr = tracked->record.ptr;
  history = history_of(*tracked);
  return true;
}

PointerHistory pointer_history(lua_State* L, int idx) {
  TrackedRecord const* tracked = tracked_at(L, idx);
  if (!tracked) return {false, PointerUse::kHandle, false};
  return history_of(*tracked);
}

void end_pointer(lua_State* L, int idx) {
  TrackedRecord* tracked = tracked_at(L, idx);
  if (!tracked || tracked->state < 0) return;
  tracked->state = -tracked->state;
}

}  // namespace nelko::lua
