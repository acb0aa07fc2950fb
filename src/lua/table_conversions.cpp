#include "table_conversions.h"

#include "array_kinds.h"

namespace {

using namespace nelko::lua;

template <class Kind>
typename Kind::Array to_array(lua_State* L, int idx) {
  if (!lua_istable(L, idx)) return nullptr;
  typename Kind::Array a;
  if (table_to_array<Kind>(L, idx, &a) == Conversion::kRaised) lua_error(L);
  return a;
}

}  // namespace

unsigned char** convertTableToBoolArray(lua_State* L, int idx) {
  return to_array<BoolArray>(L, idx);
}
unsigned int** convertTableToUintArray(lua_State* L, int idx) {
  return to_array<UintArray>(L, idx);
}
int** convertTableToIntArray(lua_State* L, int idx) {
  return to_array<IntArray>(L, idx);
}
char** convertTableToStrArray(lua_State* L, int idx) {
  return to_array<StringArray>(L, idx);
}
double** convertTableToDblArray(lua_State* L, int idx) {
  return to_array<DoubleArray>(L, idx);
}

void convertBoolArrayToTable(lua_State* L, unsigned char** a) {
  array_to_table<BoolArray>(L, a);
}
void convertUintArrayToTable(lua_State* L, unsigned int** a) {
  array_to_table<UintArray>(L, a);
}
void convertIntArrayToTable(lua_State* L, int** a) {
  array_to_table<IntArray>(L, a);
}
void convertStrArrayToTable(lua_State* L, char** a) {
  array_to_table<StringArray>(L, a);
}
void convertDblArrayToTable(lua_State* L, double** a) {
  array_to_table<DoubleArray>(L, a);
}

int getNumberOfTableEntries(lua_State* L, int idx) {
  return count_entries(L, idx);
}

void swiglua_ref_set(SWIGLUA_REF* pref, lua_State* L, int idx) {
  pref->L = L;
  lua_pushvalue(L, idx);
  pref->ref = luaL_ref(L, LUA_REGISTRYINDEX);
}

void swiglua_ref_get(SWIGLUA_REF* pref) {
  if (!pref->L) return;
  if (pref->ref == LUA_NOREF || pref->ref == LUA_REFNIL) {
    lua_pushnil(pref->L);
  } else {
    lua_rawgeti(pref->L, LUA_REGISTRYINDEX, pref->ref);
  }
}

void swiglua_ref_clear(SWIGLUA_REF* pref) {
  if (pref->L && pref->ref != LUA_NOREF && pref->ref != LUA_REFNIL) {
    luaL_unref(pref->L, LUA_REGISTRYINDEX, pref->ref);
  }
  pref->L = nullptr;
  pref->ref = 0;
}
