// Conversions between Lua tables and the core library's arrays, and references that let C code
// hold on to a Lua value. Exported with C++ linkage for other C code of the platform; the module's
// wrappers use the same conversions for every table argument and array result.
//
// A core array of capacity n is n + 1 pointer slots, the last one null, made and released by the
// core library (nelko_core_alloc_uint_array / nelko_core_free_uint_array and likewise for bool,
// int, double and string). A Lua table passed as such an array is indexed from 1.
//
//   unsigned int** a = convertTableToUintArray(L, 1);   // {10, 20, 30} -> 10, 20, 30, NULL
//   ...use a...; nelko_core_free_uint_array(a);
//   convertUintArrayToTable(L, other);                   // pushes a table, releases `other`
#ifndef NELKO_LUA_TABLE_CONVERSIONS_H
#define NELKO_LUA_TABLE_CONVERSIONS_H

#include "lua_c_api.h"

// Table to array. `idx` is the stack index of the table. Returns a new array that the caller
// releases with the kind's release function, or null when the value is not a table, an element
// has the wrong type (bool: a boolean; uint and int: a number, truncated toward zero to 32 bits,
// uint storing the bits of a negative value unchanged; double: a number; string: a string, copied
// with strdup), the table is not exactly the sequence 1..n of its n entries, or memory runs out.
// {} gives an empty array, not null. Elements are read with metamethods; an error raised by one
// propagates after the array has been released.
NELKO_LUA_EXPORT unsigned char** convertTableToBoolArray(lua_State* L, int idx);
NELKO_LUA_EXPORT unsigned int** convertTableToUintArray(lua_State* L, int idx);
NELKO_LUA_EXPORT int** convertTableToIntArray(lua_State* L, int idx);
NELKO_LUA_EXPORT char** convertTableToStrArray(lua_State* L, int idx);
NELKO_LUA_EXPORT double** convertTableToDblArray(lua_State* L, int idx);

// Array to table. Pushes exactly one value: a new table of the elements before the first null
// slot, or nil for a null array. Always consumes the array: it is released (null: nothing to
// release) and must not be used afterwards. A uint element of 2^31 or more comes back as its value
// minus 2^32, as lua_pushinteger gives it on the 32-bit device.
NELKO_LUA_EXPORT void convertBoolArrayToTable(lua_State* L, unsigned char** array);
NELKO_LUA_EXPORT void convertUintArrayToTable(lua_State* L, unsigned int** array);
NELKO_LUA_EXPORT void convertIntArrayToTable(lua_State* L, int** array);
NELKO_LUA_EXPORT void convertStrArrayToTable(lua_State* L, char** array);
NELKO_LUA_EXPORT void convertDblArrayToTable(lua_State* L, double** array);

// The number of key/value pairs of the table at idx, whatever the keys (0 for a value that is
// not a table). The stack is unchanged.
NELKO_LUA_EXPORT int getNumberOfTableEntries(lua_State* L, int idx);

// A Lua value held by C code: the state and a reference in its registry. {NULL, 0} holds
// nothing; the reference numbers LUA_NOREF (-2) and LUA_REFNIL (-1) hold no registry entry.
struct SWIGLUA_REF {
  lua_State* L;
  int ref;
};

// Stores L and a new reference to the value at idx (which stays on the stack). A reference held
// before is not released: clear it first.
NELKO_LUA_EXPORT void swiglua_ref_set(SWIGLUA_REF* pref, lua_State* L, int idx);
// Pushes the referenced value (nil for LUA_NOREF and LUA_REFNIL) onto pref->L; nothing when
// pref->L is null.
NELKO_LUA_EXPORT void swiglua_ref_get(SWIGLUA_REF* pref);
// Releases the registry entry, if any, and sets both fields to zero.
NELKO_LUA_EXPORT void swiglua_ref_clear(SWIGLUA_REF* pref);

#endif
