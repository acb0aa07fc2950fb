// The Lua 5.1 C API as both runtimes (PUC Lua 5.1 and LuaJIT 2.1) provide it, and the attribute
// that exports a symbol from the library, which is built with hidden visibility.
//
// The module is compiled once, against the lua5.1 headers, and loaded by either interpreter. Code
// here therefore uses only functions whose behaviour the two agree on: no lua_tointeger or
// lua_pushinteger (lua_Integer is 64-bit on x86-64 and 32-bit on the device; see lua_numbers.h),
// no luaL_Buffer (its size is a compile-time constant of the headers).
#ifndef NELKO_LUA_LUA_C_API_H
#define NELKO_LUA_LUA_C_API_H

#include <lua.hpp>

#define NELKO_LUA_EXPORT __attribute__((visibility("default")))

#endif
