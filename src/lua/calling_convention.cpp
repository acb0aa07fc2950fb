#include "calling_convention.h"

namespace nelko::lua {

// luaL_error prefixes the position of the calling Lua code (level 1), as every message requires.

int raise_count_error(lua_State* L, char const* function, int expected, int given) {
  return luaL_error(L, "Error in %s expected %d..%d args, got %d", function, expected, expected,
                    given);
}

int raise_check_error(lua_State* L, char const* function, int arg, Check check,
                      char const* expected) {
  switch (check) {
    case Check::kNegative:
      return luaL_error(L, "number must not be negative");
    case Check::kNoRecord:
      return luaL_error(L, "Error in %s, expected a %s at argument number %d\n", function, "void*",
                        arg);
    case Check::kRaised:
      return lua_error(L);
    case Check::kWrongUse:
      return luaL_error(L, "Error in %s (arg %d), expected '%s' got '%s'", function, arg, expected,
                        use_name(pointer_use(L, arg)));
    case Check::kEnded: {
      PointerUse use = pointer_use(L, arg);
      return luaL_error(L, "Error in %s (arg %d), %s already %s", function, arg, use_name(use),
                        ending_name(use));
    }
    case Check::kOk:
    case Check::kWrongKind:
      break;
  }
  return luaL_error(L, "Error in %s (arg %d), expected '%s' got '%s'", function, arg, expected,
                    display_type(L, arg));
}

}  // namespace nelko::lua
