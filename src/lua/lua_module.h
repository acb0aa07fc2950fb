// The Lua module nelko_api_stream_layout: what `require "nelko_api_stream_layout"` opens.
//
//   local sl = require "nelko_api_stream_layout"
//   local status, handle = sl.nelko_api_stream_layout_initiator_init(nil, nil, false, "my_app")
//   local status, num = sl.nelko_api_stream_layout_get_num_roi_send(handle, "stream_layout")
//
// The module table holds 152 functions, each named like the C function it calls (the 51 of the
// stream layout API and 101 of the core library), and the 89 constants of their enumerations.
// Every function takes the C function's input parameters in C order and returns its result
// followed by its out-parameters (calling_convention.h). C pointers travel as pointer userdata
// shared with the platform's SWIG-generated modules (pointer_types.h); tables stand for core
// arrays (table_conversions.h). A handle used after deinit, a request identifier used after a
// receive that returned 0 or after free_uuid, and a handle given for an identifier or the other
// way round raise a Lua error instead of reaching the C function (pointer_uses.h). The globals swig_type(value) (the type name messages use) and
// swig_equals(a, b) (whether two pointer userdata carry the same C pointer) are set as well.
#ifndef NELKO_LUA_LUA_MODULE_H
#define NELKO_LUA_LUA_MODULE_H

#include "lua_c_api.h"

// Opens the module: sets the globals nelko_api_stream_layout, swig_type and swig_equals, runs the
// embedded Lua text and returns 1 with the module table on the stack. Every call builds a new
// module table; the pointer types are set up once per process.
extern "C" NELKO_LUA_EXPORT int luaopen_nelko_api_stream_layout(lua_State* L);

// Runs the embedded Lua text, the last step of opening: nothing when the text is null or empty;
// otherwise it is run in protected mode, a failure printed as "%s\n" on standard error. The
// stack is left as found.
NELKO_LUA_EXPORT void luaopen_nelko_api_stream_layout_user(lua_State* L);

// The embedded Lua text, read afresh at every opening; the shipped text is empty.
extern "C" NELKO_LUA_EXPORT char const* luaopen_nelko_api_stream_layout_luacode;

#endif
