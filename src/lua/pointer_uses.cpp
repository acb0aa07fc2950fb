#include "pointer_uses.h"

namespace nelko::lua {
namespace {

// The registry key of the table: this object's address, which no other code uses.
char const kUsesKey = 0;

void push_key(lua_State* L) {
  lua_pushlightuserdata(L, const_cast<char*>(&kUsesKey));
}

// Pushes the state's table, or nil when no opening made one.
void push_uses(lua_State* L) {
  push_key(L);
  lua_rawget(L, LUA_REGISTRYINDEX);
}

// An entry's value: the use as a number, negated once the use has ended.
lua_Number entry(PointerUse use, bool ended) {
  int value = static_cast<int>(use);
  return ended ? -value : value;
}

}  // namespace

char const* use_name(PointerUse use) {
  return use == PointerUse::kHandle ? "handle" : "request identifier";
}

char const* ending_name(PointerUse use) {
  return use == PointerUse::kHandle ? "destroyed" : "released";
}

void prepare_pointer_uses(lua_State* L) {
  push_uses(L);
  bool made = lua_istable(L, -1);
  lua_pop(L, 1);
  if (made) return;
  push_key(L);
  lua_newtable(L);
  lua_newtable(L);
  lua_pushstring(L, "__mode");
  lua_pushstring(L, "k");
  lua_rawset(L, -3);
  lua_setmetatable(L, -2);
  lua_rawset(L, LUA_REGISTRYINDEX);
}

void track_pointer(lua_State* L, PointerUse use) {
  push_uses(L);
  if (lua_istable(L, -1)) {
    lua_pushvalue(L, -2);
    lua_pushnumber(L, entry(use, false));
    lua_rawset(L, -3);
  }
  lua_pop(L, 1);
}

PointerHistory pointer_history(lua_State* L, int idx) {
  PointerHistory history{false, PointerUse::kHandle, false};
  push_uses(L);
  if (lua_istable(L, -1) && lua_isuserdata(L, idx)) {
    lua_pushvalue(L, idx);
    lua_rawget(L, -2);
    if (lua_isnumber(L, -1)) {
      int value = static_cast<int>(lua_tonumber(L, -1));
      history = {true, static_cast<PointerUse>(value < 0 ? -value : value), value < 0};
    }
    lua_pop(L, 1);
  }
  lua_pop(L, 1);
  return history;
}

void end_pointer(lua_State* L, int idx) {
  PointerHistory history = pointer_history(L, idx);
  if (!history.tracked || history.ended) return;
  push_uses(L);
  lua_pushvalue(L, idx);
  lua_pushnumber(L, entry(history.use, true));
  lua_rawset(L, -3);
  lua_pop(L, 1);
}

}  // namespace nelko::lua
