#include <cstdio>
#include <cstring>

#include "lua_module.h"
#include "module_functions.h"
#include "pointer_types.h"

char const* luaopen_nelko_api_stream_layout_luacode = "";

namespace nelko::lua {
namespace {

// Pushes metatable(t)[section][key] for the module table t at index 1 and the key at index 2;
// false, with nothing pushed, when there is no such section.
bool push_metatable_entry(lua_State* L, char const* section) {
  if (!lua_getmetatable(L, 1)) return false;
  lua_pushstring(L, section);
  lua_rawget(L, -2);
  if (!lua_istable(L, -1)) {
    lua_pop(L, 2);
    return false;
  }
  lua_pushvalue(L, 2);
  lua_rawget(L, -2);
  lua_replace(L, -3);
  lua_pop(L, 1);
  return true;
}

// Names not present in the module table are looked up in the metatable's ".get" (C functions
// returning a value) and ".fn" tables, and assignments go through ".set" when it has a setter.
// All three are empty, so an unknown name reads nil and new fields are simply stored.
int module_index(lua_State* L) {
  if (push_metatable_entry(L, ".get") && lua_iscfunction(L, -1)) {
    lua_call(L, 0, 1);
    return 1;
  }
  lua_settop(L, 2);
  if (push_metatable_entry(L, ".fn") && lua_isfunction(L, -1)) return 1;
  return 0;
}

int module_newindex(lua_State* L) {
  if (push_metatable_entry(L, ".set") && lua_iscfunction(L, -1)) {
    lua_pushvalue(L, 3);
    lua_call(L, 1, 0);
    return 0;
  }
  lua_settop(L, 3);
  lua_rawset(L, 1);
  return 0;
}

int swig_type(lua_State* L) {
  lua_pushstring(L, display_type(L, 1));
  return 1;
}

// Userdata that are not pointer userdata of the convention are equal only to themselves.
int swig_equals(lua_State* L) {
  if (!lua_isuserdata(L, 1) || !lua_isuserdata(L, 2)) return 0;
  PointerRecord const* a = to_pointer_record(L, 1);
  PointerRecord const* b = to_pointer_record(L, 2);
  lua_pushboolean(L, a && b ? a->ptr == b->ptr : lua_rawequal(L, 1, 2));
  return 1;
}

void set_field(lua_State* L, char const* name, lua_CFunction f) {
  lua_pushstring(L, name);
  lua_pushcfunction(L, f);
  lua_rawset(L, -3);
}

void set_empty_table(lua_State* L, char const* name) {
  lua_pushstring(L, name);
  lua_newtable(L);
  lua_rawset(L, -3);
}

void register_functions(lua_State* L, FunctionList list) {
  for (std::size_t i = 0; i < list.count; ++i) {
    set_field(L, list.functions[i].name, list.functions[i].func);
  }
}

}  // namespace
}  // namespace nelko::lua

int luaopen_nelko_api_stream_layout(lua_State* L) {
  using namespace nelko::lua;
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  share_type_table(L);
  set_field(L, "swig_type", swig_type);
  set_field(L, "swig_equals", swig_equals);

  lua_newtable(L);
  lua_newtable(L);
  set_empty_table(L, ".get");
  set_empty_table(L, ".set");
  set_empty_table(L, ".fn");
  set_field(L, "__index", module_index);
  set_field(L, "__newindex", module_newindex);
  lua_setmetatable(L, -2);

  ConstantList constants = module_constants();
  for (std::size_t i = 0; i < constants.count; ++i) {
    lua_pushstring(L, constants.constants[i].name);
    lua_pushnumber(L, constants.constants[i].value);
    lua_rawset(L, -3);
  }
  register_functions(L, core_functions());
  register_functions(L, stream_layout_functions());

  lua_pushstring(L, "nelko_api_stream_layout");
  lua_pushvalue(L, -2);
  lua_rawset(L, -4);

  luaopen_nelko_api_stream_layout_user(L);
  return 1;
}

void luaopen_nelko_api_stream_layout_user(lua_State* L) {
  char const* code = luaopen_nelko_api_stream_layout_luacode;
  if (!code || !*code) return;
  int top = lua_gettop(L);
  if (luaL_loadbuffer(L, code, std::strlen(code), code) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
    char const* message = lua_tostring(L, -1);
    std::fprintf(stderr, "%s\n", message ? message : "(error object is not a string)");
  }
  lua_settop(L, top);
}
