// The module's exported C++ interface and its runtime records, seen from C++ through a Lua state
// of the runtime this test is linked with.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lua/lua_module.h"
#include "lua/table_conversions.h"
#include "nelko_core.h"

namespace {

// The records as SWIG's Lua runtime v4 declares them (swigrun.swg, luarun.swg), restated here so
// that the test checks the module's layout rather than trusting its own declarations.
struct SwigTypeInfo;
struct SwigCastInfo {
  SwigTypeInfo* type;
  void* (*converter)(void*, int*);
  SwigCastInfo* next;
  SwigCastInfo* prev;
};
struct SwigTypeInfo {
  char const* name;
  char const* str;
  SwigTypeInfo* (*dcast)(void**);
  SwigCastInfo* cast;
  void* clientdata;
  int owndata;
};
struct SwigModuleInfo {
  SwigTypeInfo** types;
  std::size_t size;
  SwigModuleInfo* next;
  SwigTypeInfo** type_initial;
  SwigCastInfo** cast_initial;
  void* clientdata;
};
struct SwigLuaUserdata {
  SwigTypeInfo* type;
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

TEST_F(LuaModule, TypeTableHoldsTheTwentySevenTypesSortedByMangledName) {
  lua_getfield(L, LUA_REGISTRYINDEX, "swig_runtime_data_type_pointer4");
  ASSERT_TRUE(lua_islightuserdata(L, -1));
  auto* table = static_cast<SwigModuleInfo*>(lua_touserdata(L, -1));
  ASSERT_EQ(27u, table->size);
  EXPECT_EQ(nullptr, table->types[27]);
  EXPECT_STREQ("_p_double", table->types[0]->name);
  EXPECT_STREQ("_p_void", table->types[26]->name);
  for (std::size_t i = 0; i < table->size; ++i) {
    SwigTypeInfo* type = table->types[i];
    if (i > 0) {
      EXPECT_LT(std::strcmp(table->types[i - 1]->name, type->name), 0) << type->name;
    }
    EXPECT_NE(nullptr, type->str);
    EXPECT_EQ(nullptr, type->dcast);
    EXPECT_EQ(nullptr, type->clientdata);
    EXPECT_EQ(0, type->owndata);
    ASSERT_NE(nullptr, type->cast) << type->name;
    EXPECT_EQ(type, type->cast->type) << "each type accepts itself";
    EXPECT_EQ(nullptr, type->cast->next) << "and nothing else";
  }
}

TEST_F(LuaModule, PointerUserdataAreSwigRecordsWithoutMetatable) {
  int array = push("nelko_api_stream_layout.nelko_core_alloc_uint_array(2)");
  int handle = push(
      "select(2, nelko_api_stream_layout.nelko_api_stream_layout_initiator_init("
      "nil, nil, false, 'runtime-test'))");
  ASSERT_EQ(sizeof(SwigLuaUserdata), lua_objlen(L, array));
  auto* a = static_cast<SwigLuaUserdata*>(lua_touserdata(L, array));
  auto* h = static_cast<SwigLuaUserdata*>(lua_touserdata(L, handle));
  EXPECT_STREQ("unsigned int **", a->type->str);
  EXPECT_EQ(0, a->own);
  EXPECT_FALSE(lua_getmetatable(L, array));
  EXPECT_STREQ("_p_void", h->type->name);
  EXPECT_EQ(1, h->own) << "handles belong to the script";
  nelko_core_free_uint_array(static_cast<unsigned int**>(a->ptr));
  lua_setglobal(L, "handle");
  EXPECT_EQ("", run("assert(nelko_api_stream_layout.nelko_api_stream_layout_initiator_deinit("
                    "handle) == 0)"));
}

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
}

using Conversions = LuaModule;

TEST_F(Conversions, UintTableToArrayAndBack) {
  int table = push("{10, 20, 30}");
  unsigned int** a = convertTableToUintArray(L, table);
  EXPECT_EQ(table, lua_gettop(L));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(10u, *a[0]);
  EXPECT_EQ(30u, *a[2]);
  EXPECT_EQ(nullptr, a[3]);
  convertUintArrayToTable(L, a);
  lua_setglobal(L, "back");
  EXPECT_EQ("", run("assert(#back == 3 and back[1] == 10 and back[3] == 30)"));

  unsigned int** empty = convertTableToUintArray(L, push("{}"));
  ASSERT_NE(nullptr, empty) << "an empty array, not null";
  EXPECT_EQ(nullptr, empty[0]);
  nelko_core_free_uint_array(empty);
}

TEST_F(Conversions, TablesThatAreNotSequencesOrHoldOtherTypesGiveNull) {
  for (char const* table : {"{1, 2, nil, 4}", "{1, 2, x = 3}", "{'1'}", "42"}) {
    EXPECT_EQ(nullptr, convertTableToIntArray(L, push(table))) << table;
  }
  EXPECT_EQ(nullptr, convertTableToBoolArray(L, push("{1, 0}")));
  EXPECT_EQ(nullptr, convertTableToStrArray(L, push("{'a', 1}")));
}

TEST_F(Conversions, IntegersAreThirtyTwoBitsAsOnTheDevice) {
  int** a = convertTableToIntArray(L, push("{2.9, -2.9, 2^32 + 5}"));
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

TEST_F(Conversions, ElementsAreReadThroughMetamethodsWhoseErrorsPropagate) {
  unsigned int** a = convertTableToUintArray(
      L, push("setmetatable({[3] = 0}, {__index = function() return 7 end})"));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(7u, *a[0]) << "one entry: index 1, read through __index";
  EXPECT_EQ(nullptr, a[1]);
  nelko_core_free_uint_array(a);

  push("setmetatable({[2] = 1}, {__index = function() error('no cell', 0) end})");
  lua_pushcfunction(L, [](lua_State* S) {
    convertTableToIntArray(S, 1);
    return 0;
  });
  lua_insert(L, -2);
  ASSERT_NE(0, lua_pcall(L, 1, 0, 0));
  EXPECT_STREQ("no cell", lua_tostring(L, -1));
}

TEST_F(Conversions, EntriesAreCountedWhateverTheKeys) {
  int table = push("{1, 2, x = 3, [10] = 4}");
  EXPECT_EQ(4, getNumberOfTableEntries(L, table));
  EXPECT_EQ(table, lua_gettop(L));
}

using References = LuaModule;

TEST_F(References, HoldAValueUntilCleared) {
  SWIGLUA_REF ref = {nullptr, 0};
  swiglua_ref_set(&ref, L, push("'kept'"));
  lua_pop(L, 1);
  swiglua_ref_get(&ref);
  EXPECT_STREQ("kept", lua_tostring(L, -1));
  int number = ref.ref;
  swiglua_ref_clear(&ref);
  EXPECT_EQ(nullptr, ref.L);
  EXPECT_EQ(0, ref.ref);
  lua_rawgeti(L, LUA_REGISTRYINDEX, number);
  EXPECT_NE(LUA_TSTRING, lua_type(L, -1)) << "the registry entry is released";
}

TEST_F(References, WithoutAStateOrARegistryEntryOnlyZero) {
  int top = lua_gettop(L);
  SWIGLUA_REF nil_ref = {L, LUA_REFNIL};
  swiglua_ref_get(&nil_ref);
  EXPECT_TRUE(lua_isnil(L, -1));
  swiglua_ref_clear(&nil_ref);
  EXPECT_EQ(nullptr, nil_ref.L);
  SWIGLUA_REF none = {nullptr, 7};
  swiglua_ref_get(&none);
  swiglua_ref_clear(&none);
  EXPECT_EQ(0, none.ref);
  EXPECT_EQ(top + 1, lua_gettop(L)) << "only the nil reference pushed something";
}

struct EmbeddedText : ::testing::Test {
  void TearDown() override { luaopen_nelko_api_stream_layout_luacode = ""; }
};

TEST_F(EmbeddedText, RunsAtEveryOpening) {
  luaopen_nelko_api_stream_layout_luacode = "hook_saw_module = nelko_api_stream_layout ~= nil";
  lua_State* L = open_state();
  lua_getglobal(L, "hook_saw_module");
  EXPECT_TRUE(lua_toboolean(L, -1));
  lua_close(L);
}

TEST_F(EmbeddedText, AFailureIsPrintedAndTheModuleStillOpens) {
  luaopen_nelko_api_stream_layout_luacode = "x = = 1";
  testing::internal::CaptureStderr();
  lua_State* L = open_state();
  std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(1, lua_gettop(L));
  EXPECT_TRUE(lua_istable(L, -1));
  EXPECT_NE(std::string::npos, printed.find("unexpected symbol")) << printed;
  EXPECT_EQ('\n', printed.back());
  lua_close(L);
}

}  // namespace
