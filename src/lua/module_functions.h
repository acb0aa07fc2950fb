// The module's functions and constants, in the order they are registered.
#ifndef NELKO_LUA_MODULE_FUNCTIONS_H
#define NELKO_LUA_MODULE_FUNCTIONS_H

#include <cstddef>

#include "lua_c_api.h"

namespace nelko::lua {

struct FunctionList {
  luaL_Reg const* functions;
  std::size_t count;
};

// The 101 wrappers of the core library's functions.
FunctionList core_functions();
// The 51 wrappers of the stream layout API.
FunctionList stream_layout_functions();

struct Constant {
  char const* name;
  int value;
};

struct ConstantList {
  Constant const* constants;
  std::size_t count;
};

// The 89 enumeration constants.
ConstantList module_constants();

}  // namespace nelko::lua

#endif
