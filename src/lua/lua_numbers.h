// Lua numbers as the 32-bit device sees them, on every host.
//
// On the device lua_Integer is a 32-bit int, so lua_tointeger truncates to 32 bits and
// lua_pushinteger of an unsigned cell of 2^31 or more gives a negative number. On x86-64 both
// runtimes have a 64-bit lua_Integer. To keep scripts and tests meaning the same everywhere, every
// integer goes through lua_Number with the explicit rules below.
#ifndef NELKO_LUA_LUA_NUMBERS_H
#define NELKO_LUA_LUA_NUMBERS_H

#include <cmath>

#include "lua_c_api.h"

namespace nelko::lua {

static_assert(sizeof(int) == 4 && sizeof(unsigned int) == 4, "the C interface uses 32-bit int");

// Truncates toward zero and keeps the low 32 bits; NaN and the infinities give 0.
inline unsigned int low_32_bits(lua_Number n) {
  if (!std::isfinite(n)) return 0;
  double t = std::fmod(std::trunc(n), 4294967296.0);  // exact, in (-2^32, 2^32)
  if (t < 0) t += 4294967296.0;
  return static_cast<unsigned int>(t);
}

inline int to_int32(lua_Number n) {
  return static_cast<int>(low_32_bits(n));
}
inline unsigned int to_uint32(lua_Number n) {
  return low_32_bits(n);
}

inline void push_int32(lua_State* L, int v) {
  lua_pushnumber(L, v);
}
inline void push_uint32(lua_State* L, unsigned int v) {
  lua_pushnumber(L, v);
}

// A uint cell of a core array, pushed the way lua_pushinteger pushes it on the device.
inline void push_uint_cell(lua_State* L, unsigned int v) {
  push_int32(L, static_cast<int>(v));
}

}  // namespace nelko::lua

#endif
