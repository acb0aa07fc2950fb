// The module's exported C++ interface and its runtime records, seen from C++ through a Lua state
// of the runtime this test is linked with.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lua/lua_module.h"
#include "lua/table_conversions.h"
#include "nelko_core.h"

namespace {

// A pointer userdata as SWIG's Lua runtime lays it out: type record, ownership, pointer.
struct SwigLuaUserdata {
  void* type;
  int own;
  void* ptr;
};

lua_State* open_state() {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  lua_pushcfunction(L, luaopen_nelko_api_stream_layout);
  lua_call(L, 0, 1);
  return L;
}

class LuaModule : public ::testing::Test {
 protected:
  void TearDown() override { lua_close(L); }

  // Pushes the value of a Lua expression and returns its stack index.
  int push(char const* expression) {
    std::string chunk = std::string("return ") + expression;
    EXPECT_EQ(0, luaL_loadstring(L, chunk.c_str()));
    EXPECT_EQ(0, lua_pcall(L, 0, 1, 0)) << lua_tostring(L, -1);
    return lua_gettop(L);
  }

  // Runs Lua code; the error message, or "" when there is none.
  std::string run(char const* code) {
    if (luaL_loadstring(L, code) == 0 && lua_pcall(L, 0, 0, 0) == 0) return "";
    std::string message = lua_tostring(L, -1);
    lua_pop(L, 1);
    return message;
  }

  lua_State* L = open_state();
};

TEST_F(LuaModule, UserdataWithAnUnknownTypeRecordIsNeverRead) {
  // Large enough for a record, but its "type record" points nowhere.
  auto* fake = static_cast<SwigLuaUserdata*>(lua_newuserdata(L, sizeof(SwigLuaUserdata)));
  std::memset(fake, 0xA5, sizeof *fake);
  lua_setglobal(L, "fake");
  EXPECT_EQ("userdata (unknown type)", run("error(swig_type(fake), 0)"));
  std::string message = run("nelko_api_stream_layout.nelko_core_ipc_deinit(fake)");
  EXPECT_NE(std::string::npos,
            message.find(":1: Error in nelko_core_ipc_deinit, expected a void* at argument "
                         "number 1\n"))
      << message;

  // Too short for a record, though it starts with the type record of a real pointer userdata.
  auto* real = static_cast<SwigLuaUserdata*>(
      lua_touserdata(L, push("nelko_api_stream_layout.nelko_core_alloc_int_array(0)")));
  *static_cast<void**>(lua_newuserdata(L, sizeof(void*))) = real->type;
  lua_setglobal(L, "short");
  EXPECT_EQ("userdata (unknown type)", run("error(swig_type(short), 0)"));
  // The whole record it was cut from shows its type.
  lua_setglobal(L, "real");
  EXPECT_EQ("int **", run("error(swig_type(real), 0)"));
  nelko_core_free_int_array(static_cast<int**>(real->ptr));
}

TEST_F(LuaModule, LightUserdataIsRefusedAsAPointerEvenWhenNull) {
  // Only nil stands for a null pointer; a light userdata holding null is no pointer userdata.
  lua_pushlightuserdata(L, nullptr);
  lua_setglobal(L, "light");
  for (std::string function :
       {"nelko_core_ipc_deinit", "nelko_api_stream_layout_get_initiator_version"}) {
    std::string message = run(("nelko_api_stream_layout." + function + "(light)").c_str());
    EXPECT_NE(std::string::npos, message.find(":1: Error in " + function +
                                              ", expected a void* at argument number 1\n"))
        << message;
  }
}

// A cleared reference gives its registry entry back, so that the value it held can be collected:
// the next reference made takes the same entry.
TEST_F(LuaModule, ClearedReferencesGiveTheirRegistryEntryBack) {
  SWIGLUA_REF ref{nullptr, 0};
  swiglua_ref_set(&ref, L, push("{}"));
  int const entry = ref.ref;
  swiglua_ref_clear(&ref);
  EXPECT_EQ(nullptr, ref.L);
  EXPECT_EQ(entry, luaL_ref(L, LUA_REGISTRYINDEX));
}

using Conversions = LuaModule;

TEST_F(Conversions, IntegersAreThirtyTwoBitsAsOnTheDevice) {
  push("{2.9, -2.9, 2^32 + 5}");
  EXPECT_EQ(3, getNumberOfTableEntries(L, -1));  // a relative index counts from the top
  int** a = convertTableToIntArray(L, -1);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(2, *a[0]);
  EXPECT_EQ(-2, *a[1]);
  EXPECT_EQ(5, *a[2]);
  nelko_core_free_int_array(a);

  unsigned int** u = convertTableToUintArray(L, push("{-1, 2^31}"));
  ASSERT_NE(nullptr, u);
  EXPECT_EQ(4294967295u, *u[0]);
  EXPECT_EQ(2147483648u, *u[1]);
  convertUintArrayToTable(L, u);  // as lua_pushinteger gives them on the device
  lua_setglobal(L, "back");
  EXPECT_EQ("", run("assert(back[1] == -1 and back[2] == -2^31)"));
}

// A table with a metatable is read through it, and the caller's stack is left as it was.
TEST_F(Conversions, TablesWithAMetatableLeaveTheStackAsItWas) {
  int const table = push("setmetatable({4, 5}, {__newindex = error})");
  int** a = convertTableToIntArray(L, table);
  EXPECT_EQ(table, lua_gettop(L));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(5, *a[1]);
  nelko_core_free_int_array(a);
  // A string has a metatable too, but is no table.
  EXPECT_EQ(nullptr, convertTableToIntArray(L, push("'45'")));
}

}  // namespace
