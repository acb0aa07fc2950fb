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

class LuaModule : public ::testing::Test {
 protected:
  void SetUp() override {
    L = luaL_newstate();
    luaL_openlibs(L);
    lua_pushcfunction(L, luaopen_nelko_api_stream_layout);
    lua_call(L, 0, 1);
    module = lua_gettop(L);
  }
  void TearDown() override { lua_close(L); }

  // Runs a chunk that leaves one value on the stack.
  void push_value(char const* expression) {
    std::string chunk = std::string("return ") + expression;
    ASSERT_EQ(0, luaL_loadstring(L, chunk.c_str()));
    ASSERT_EQ(0, lua_pcall(L, 0, 1, 0)) << lua_tostring(L, -1);
  }

  // Runs code in protected mode and returns the error message ("" when none).
  std::string run(char const* code) {
    if (luaL_loadstring(L, code) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
      std::string message = lua_tostring(L, -1);
      lua_pop(L, 1);
      return message;
    }
    return "";
  }

  SwigModuleInfo* registered_table() {
    lua_getfield(L, LUA_REGISTRYINDEX, "swig_runtime_data_type_pointer4");
    EXPECT_TRUE(lua_islightuserdata(L, -1));
    auto* table = static_cast<SwigModuleInfo*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    return table;
  }

  lua_State* L = nullptr;
  int module = 0;
};

TEST_F(LuaModule, TypeTableHoldsTheTwentySevenTypesSortedByMangledName) {
  SwigModuleInfo* table = registered_table();
  ASSERT_NE(nullptr, table);
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

TEST_F(LuaModule, PointerUserdataIsASwigUserdataRecord) {
  push_value("nelko_api_stream_layout.nelko_core_alloc_uint_array(2)");
  ASSERT_EQ(LUA_TUSERDATA, lua_type(L, -1));
  ASSERT_EQ(sizeof(SwigLuaUserdata), lua_objlen(L, -1));
  auto* record = static_cast<SwigLuaUserdata*>(lua_touserdata(L, -1));
  EXPECT_STREQ("_p_p_unsigned_int", record->type->name);
  EXPECT_STREQ("unsigned int **", record->type->str);
  EXPECT_EQ(0, record->own);
  EXPECT_FALSE(lua_getmetatable(L, -1));
  nelko_core_free_uint_array(static_cast<unsigned int**>(record->ptr));
}

TEST_F(LuaModule, HandlesAreOwnedVoidPointers) {
  push_value(
      "select(2, nelko_api_stream_layout.nelko_api_stream_layout_initiator_init(nil, nil, "
      "false, 'runtime-test'))");
  auto* record = static_cast<SwigLuaUserdata*>(lua_touserdata(L, -1));
  ASSERT_NE(nullptr, record);
  EXPECT_STREQ("_p_void", record->type->name);
  EXPECT_EQ(1, record->own);
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
  EXPECT_NE(
      std::string::npos,
      message.find(":1: Error in nelko_core_ipc_deinit, expected a void* at argument number 1\n"))
      << message;
}

class Conversions : public LuaModule {};

TEST_F(Conversions, UintTableToArrayAndBack) {
  push_value("{10, 20, 30}");
  int top = lua_gettop(L);
  unsigned int** a = convertTableToUintArray(L, top);
  EXPECT_EQ(top, lua_gettop(L));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(10u, *a[0]);
  EXPECT_EQ(20u, *a[1]);
  EXPECT_EQ(30u, *a[2]);
  EXPECT_EQ(nullptr, a[3]);
  convertUintArrayToTable(L, a);
  lua_setglobal(L, "back");
  EXPECT_EQ("", run("assert(#back == 3 and back[1] == 10 and back[3] == 30)"));
}

TEST_F(Conversions, EmptyTableIsAnEmptyArrayNotNull) {
  push_value("{}");
  unsigned int** a = convertTableToUintArray(L, lua_gettop(L));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(nullptr, a[0]);
  convertUintArrayToTable(L, a);
  ASSERT_TRUE(lua_istable(L, -1));
  EXPECT_EQ(0u, lua_objlen(L, -1));
}

TEST_F(Conversions, TablesThatAreNotSequencesOrHoldOtherTypesGiveNull) {
  for (char const* table : {"{1, 2, nil, 4}", "{1, 2, x = 3}", "{'1'}", "{[2] = 1}"}) {
    push_value(table);
    EXPECT_EQ(nullptr, convertTableToUintArray(L, lua_gettop(L))) << table;
    EXPECT_EQ(nullptr, convertTableToIntArray(L, lua_gettop(L))) << table;
  }
  push_value("{1, 0}");
  EXPECT_EQ(nullptr, convertTableToBoolArray(L, lua_gettop(L)));
  push_value("{'a', 1}");
  EXPECT_EQ(nullptr, convertTableToStrArray(L, lua_gettop(L)));
  push_value("42");
  EXPECT_EQ(nullptr, convertTableToDblArray(L, lua_gettop(L)));
}

TEST_F(Conversions, IntegersTruncateTowardZeroToThirtyTwoBits) {
  push_value("{2.9, -2.9, 2^32 + 5, -1}");
  int** a = convertTableToIntArray(L, lua_gettop(L));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(2, *a[0]);
  EXPECT_EQ(-2, *a[1]);
  EXPECT_EQ(5, *a[2]);
  EXPECT_EQ(-1, *a[3]);
  nelko_core_free_int_array(a);

  push_value("{-1, 2^31}");
  unsigned int** u = convertTableToUintArray(L, lua_gettop(L));
  ASSERT_NE(nullptr, u);
  EXPECT_EQ(4294967295u, *u[0]);
  EXPECT_EQ(2147483648u, *u[1]);
  // Back as lua_pushinteger gives them on the 32-bit device.
  convertUintArrayToTable(L, u);
  lua_setglobal(L, "back");
  EXPECT_EQ("", run("assert(back[1] == -1 and back[2] == -2^31)"));
}

TEST_F(Conversions, BoolStringAndDoubleKinds) {
  push_value("{true, false}");
  unsigned char** b = convertTableToBoolArray(L, lua_gettop(L));
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(1, *b[0]);
  EXPECT_EQ(0, *b[1]);
  convertBoolArrayToTable(L, b);
  lua_setglobal(L, "bools");

  push_value("{'a', 'bc'}");
  char const* lua_text = nullptr;
  lua_rawgeti(L, -1, 1);
  lua_text = lua_tostring(L, -1);
  lua_pop(L, 1);
  char** s = convertTableToStrArray(L, lua_gettop(L));
  ASSERT_NE(nullptr, s);
  EXPECT_STREQ("a", s[0]);
  EXPECT_NE(lua_text, s[0]) << "a fresh copy";
  EXPECT_STREQ("bc", s[1]);
  convertStrArrayToTable(L, s);
  lua_setglobal(L, "texts");

  push_value("{0.5, -1e300}");
  double** d = convertTableToDblArray(L, lua_gettop(L));
  ASSERT_NE(nullptr, d);
  EXPECT_EQ(0.5, *d[0]);
  convertDblArrayToTable(L, d);
  lua_setglobal(L, "reals");

  EXPECT_EQ("", run("assert(bools[1] == true and bools[2] == false and #bools == 2)"
                    "assert(texts[1] == 'a' and texts[2] == 'bc' and #texts == 2)"
                    "assert(reals[1] == 0.5 and reals[2] == -1e300)"));
}

TEST_F(Conversions, NullArraysPushNil) {
  int top = lua_gettop(L);
  convertBoolArrayToTable(L, nullptr);
  convertUintArrayToTable(L, nullptr);
  convertIntArrayToTable(L, nullptr);
  convertStrArrayToTable(L, nullptr);
  convertDblArrayToTable(L, nullptr);
  ASSERT_EQ(top + 5, lua_gettop(L));
  for (int i = top + 1; i <= top + 5; ++i) EXPECT_TRUE(lua_isnil(L, i));
}

TEST_F(Conversions, ElementsAreReadThroughMetamethods) {
  push_value("setmetatable({[3] = 30}, {__index = function(_, i) return i end})");
  unsigned int** a = convertTableToUintArray(L, lua_gettop(L));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(1u, *a[0]) << "one entry, index 1 read through __index";
  EXPECT_EQ(nullptr, a[1]);
  nelko_core_free_uint_array(a);
}

int convert_failing_table(lua_State* L) {
  lua_getglobal(L, "failing");
  convertTableToIntArray(L, lua_gettop(L));
  return 0;
}

TEST_F(Conversions, AnErrorOfAMetamethodPropagates) {
  EXPECT_EQ(
      "", run("failing = setmetatable({[2] = 1}, {__index = function() error('no cell', 0) end})"));
  lua_pushcfunction(L, convert_failing_table);
  ASSERT_NE(0, lua_pcall(L, 0, 0, 0));
  EXPECT_STREQ("no cell", lua_tostring(L, -1));
}

TEST_F(Conversions, EntriesAreCountedWhateverTheKeys) {
  push_value("{1, 2, x = 3, [10] = 4}");
  int top = lua_gettop(L);
  EXPECT_EQ(4, getNumberOfTableEntries(L, top));
  EXPECT_EQ(top, lua_gettop(L));
  lua_pushnumber(L, 5);
  EXPECT_EQ(0, getNumberOfTableEntries(L, lua_gettop(L)));
}

class References : public LuaModule {};

TEST_F(References, HoldAValueUntilCleared) {
  SWIGLUA_REF ref = {nullptr, 0};
  lua_pushstring(L, "kept");
  int top = lua_gettop(L);
  swiglua_ref_set(&ref, L, top);
  EXPECT_EQ(top, lua_gettop(L)) << "the value stays on the stack";
  EXPECT_EQ(L, ref.L);
  lua_pop(L, 1);
  swiglua_ref_get(&ref);
  EXPECT_STREQ("kept", lua_tostring(L, -1));
  lua_pop(L, 1);
  int number = ref.ref;
  swiglua_ref_clear(&ref);
  EXPECT_EQ(nullptr, ref.L);
  EXPECT_EQ(0, ref.ref);
  lua_rawgeti(L, LUA_REGISTRYINDEX, number);
  EXPECT_NE(LUA_TSTRING, lua_type(L, -1)) << "the registry entry is released";
}

TEST_F(References, SpecialNumbersHoldNoRegistryEntry) {
  SWIGLUA_REF ref = {L, LUA_REFNIL};
  int top = lua_gettop(L);
  swiglua_ref_get(&ref);
  ASSERT_EQ(top + 1, lua_gettop(L));
  EXPECT_TRUE(lua_isnil(L, -1));
  swiglua_ref_clear(&ref);
  EXPECT_EQ(nullptr, ref.L);

  SWIGLUA_REF none = {nullptr, 7};
  swiglua_ref_get(&none);
  EXPECT_EQ(top + 1, lua_gettop(L)) << "nothing pushed without a state";
  swiglua_ref_clear(&none);
  EXPECT_EQ(0, none.ref);
}

class EmbeddedText : public ::testing::Test {
 protected:
  void TearDown() override { luaopen_nelko_api_stream_layout_luacode = ""; }
};

TEST_F(EmbeddedText, RunsAtEveryOpening) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luaopen_nelko_api_stream_layout_luacode = "hook_saw_module = nelko_api_stream_layout ~= nil";
  lua_pushcfunction(L, luaopen_nelko_api_stream_layout);
  lua_call(L, 0, 1);
  EXPECT_TRUE(lua_istable(L, -1));
  lua_getglobal(L, "hook_saw_module");
  EXPECT_TRUE(lua_toboolean(L, -1));
  lua_close(L);
}

TEST_F(EmbeddedText, AFailureIsPrintedAndTheModuleStillOpens) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luaopen_nelko_api_stream_layout_luacode = "x = = 1";
  testing::internal::CaptureStderr();
  lua_pushcfunction(L, luaopen_nelko_api_stream_layout);
  lua_call(L, 0, 1);
  std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(1, lua_gettop(L));
  EXPECT_TRUE(lua_istable(L, -1));
  EXPECT_NE(std::string::npos, printed.find("unexpected symbol")) << printed;
  EXPECT_EQ('\n', printed.back());
  lua_close(L);
}

}  // namespace
