// The 101 module functions of the core library: general, IPC, logging, settings, debug,
// configuration and arrays.
#include "calling_convention.h"
#include "module_functions.h"
#include "nelko_core.h"

namespace nelko::lua {
namespace {

using Handle = UntypedPointer;  // IPC and log handles, user data
using Key = Text;
using IntValue = Signed<kIntConstName>;
using DoubleValue = Real<kDoubleConstName>;
using Count = OutSigned;  // the element count that follows an array out-parameter
using StatusCode = Enumeration<nelko_core_status, kStatusName, NELKO_CORE_STATUS_DISABLED_TARGET>;
using Priority =
    Enumeration<nelko_core_log_priority, kLogPriorityName, NELKO_CORE_LOG_PRIORITY_NOTSET>;

constexpr char kVoidPtrPtrName[] = "void **";
constexpr char kUnsignedIntPtrName[] = "unsigned int *";
constexpr char kUnsignedCharPtrName[] = "unsigned char *";
constexpr char kCharPtrPtrName[] = "char **";
constexpr char kResponseCallbackName[] = "initiator_response_receive_callback";
constexpr char kEventCallbackName[] = "initiator_event_receive_callback";
constexpr char kCommandCallbackName[] = "target_command_receive_callback";

using HandleOut = TypedPointer<void**, kVoidPtrPtr, kVoidPtrPtrName>;
using UnsignedCell = TypedPointer<unsigned int*, kUnsignedIntPtr, kUnsignedIntPtrName>;
using FlagCell = TypedPointer<unsigned char*, kUnsignedCharPtr, kUnsignedCharPtrName>;
using StringArrayPointer = TypedPointer<char**, kCharPtrPtr, kCharPtrPtrName>;
using ResponseCallback = TypedPointer<initiator_response_receive_callback, kResponseReceiveCallback,
                                      kResponseCallbackName>;
using EventCallback =
    TypedPointer<initiator_event_receive_callback, kEventOrCommandCallback, kEventCallbackName>;
using CommandCallback =
    TypedPointer<target_command_receive_callback, kEventOrCommandCallback, kCommandCallbackName>;

// The message goes in the format's place, with one null as the only variable argument.
nelko_core_status log_text(void* log_handle, nelko_core_log_priority priority, char const* text) {
  return nelko_core_logging_log(log_handle, priority, text, nullptr);
}

// clang-format off
luaL_Reg const kFunctions[] = {
  NELKO_LUA_WRAP(nelko_core_status_to_string, ReturnedText, StatusCode),
  NELKO_LUA_WRAP(nelko_core_init, Status),
  NELKO_LUA_WRAP(nelko_core_deinit, Status),

  NELKO_LUA_WRAP(nelko_core_ipc_initiator_init, Status, Handle, Text, HandleOut),
  NELKO_LUA_WRAP(nelko_core_ipc_target_init, Status, Handle, Text, Text, Text, HandleOut),
  NELKO_LUA_WRAP(nelko_core_ipc_deinit, Status, Handle),
  NELKO_LUA_WRAP(nelko_core_ipc_initiator_command_send, Status, Handle, Text, Text, Text, Text),
  NELKO_LUA_WRAP(nelko_core_ipc_initiator_response_receive, Status, Handle, Signed<>, OutText, OutText, OutText, OutText),
  NELKO_LUA_WRAP(nelko_core_ipc_initiator_response_receive_callback, Status, Handle, ResponseCallback, Handle),
  NELKO_LUA_WRAP(nelko_core_ipc_initiator_event_receive_callback, Status, Handle, EventCallback, Handle),
  NELKO_LUA_WRAP(nelko_core_ipc_initiator_event_subscribe, Status, Handle, Text),
  NELKO_LUA_WRAP(nelko_core_ipc_initiator_event_unsubscribe, Status, Handle, Text),
  NELKO_LUA_WRAP(nelko_core_ipc_target_command_receive, Status, Handle, Unsigned, OutText, OutText, OutText),
  NELKO_LUA_WRAP(nelko_core_ipc_target_command_receive_callback, Status, Handle, CommandCallback, Handle),
  NELKO_LUA_WRAP(nelko_core_ipc_target_response_send, Status, Handle, Text, Text, Text),
  NELKO_LUA_WRAP(nelko_core_ipc_target_event_send, Status, Handle, Text),

  NELKO_LUA_WRAP(nelko_core_logging_init, Status, Text, HandleOut),
  NELKO_LUA_WRAP(nelko_core_logging_deinit, Status, Handle),
  NELKO_LUA_WRAP(nelko_core_logging_is_priority_active, Status, Handle, Priority, OutUnsigned),
  luaL_Reg{"nelko_core_logging_log", [](lua_State* L) -> int {
    return call_wrapped<Status, Handle, Priority, Text>(L, "nelko_core_logging_log", &log_text);
  }},

  NELKO_LUA_WRAP(nelko_core_settings_init, Status, Text),
  NELKO_LUA_WRAP(nelko_core_settings_deinit, Status),
  NELKO_LUA_WRAP(nelko_core_settings_get_default_string_value, Status, Key, OutText),
  NELKO_LUA_WRAP(nelko_core_settings_get_default_json_value, Status, Key, OutText),
  NELKO_LUA_WRAP(nelko_core_settings_get_default_int_value, Status, Key, OutSigned),
  NELKO_LUA_WRAP(nelko_core_settings_get_default_bool_value, Status, Key, OutFlag),
  NELKO_LUA_WRAP(nelko_core_settings_get_default_double_value, Status, Key, OutReal),
  NELKO_LUA_WRAP(nelko_core_settings_get_default_arrayofstring_value, Status, Key, OutArray<StringArray>, Count),
  NELKO_LUA_WRAP(nelko_core_settings_get_default_arrayofint_value, Status, Key, OutArray<IntArray>, Count),
  NELKO_LUA_WRAP(nelko_core_settings_get_default_arrayofbool_value, Status, Key, OutArray<BoolArray>, Count),
  NELKO_LUA_WRAP(nelko_core_settings_get_default_arrayofdouble_value, Status, Key, OutArray<DoubleArray>, Count),
  NELKO_LUA_WRAP(nelko_core_settings_set_default_string_value, Status, Key, Text),
  NELKO_LUA_WRAP(nelko_core_settings_set_default_json_value, Status, Key, Text),
  NELKO_LUA_WRAP(nelko_core_settings_set_default_int_value, Status, Key, IntValue),
  NELKO_LUA_WRAP(nelko_core_settings_set_default_bool_value, Status, Key, Flag),
  NELKO_LUA_WRAP(nelko_core_settings_set_default_double_value, Status, Key, DoubleValue),
  NELKO_LUA_WRAP(nelko_core_settings_set_default_arrayofstring_value, Status, Key, Table<StringArray>),
  NELKO_LUA_WRAP(nelko_core_settings_set_default_arrayofint_value, Status, Key, Table<IntArray>),
  NELKO_LUA_WRAP(nelko_core_settings_set_default_arrayofbool_value, Status, Key, Table<BoolArray>),
  NELKO_LUA_WRAP(nelko_core_settings_set_default_arrayofdouble_value, Status, Key, Table<DoubleArray>),
  NELKO_LUA_WRAP(nelko_core_settings_set_string_value, Status, Key, Text),
  NELKO_LUA_WRAP(nelko_core_settings_set_json_value, Status, Key, Text),
  NELKO_LUA_WRAP(nelko_core_settings_set_int_value, Status, Key, IntValue),
  NELKO_LUA_WRAP(nelko_core_settings_set_bool_value, Status, Key, Flag),
  NELKO_LUA_WRAP(nelko_core_settings_set_double_value, Status, Key, DoubleValue),
  NELKO_LUA_WRAP(nelko_core_settings_set_arrayofstring_value, Status, Key, Table<StringArray>),
  NELKO_LUA_WRAP(nelko_core_settings_set_arrayofint_value, Status, Key, Table<IntArray>),
  NELKO_LUA_WRAP(nelko_core_settings_set_arrayofbool_value, Status, Key, Table<BoolArray>),
  NELKO_LUA_WRAP(nelko_core_settings_set_arrayofdouble_value, Status, Key, Table<DoubleArray>),
  NELKO_LUA_WRAP(nelko_core_settings_get_string_value, Status, Key, OutText),
  NELKO_LUA_WRAP(nelko_core_settings_get_json_value, Status, Key, OutText),
  NELKO_LUA_WRAP(nelko_core_settings_get_int_value, Status, Key, OutSigned),
  NELKO_LUA_WRAP(nelko_core_settings_get_bool_value, Status, Key, OutFlag),
  NELKO_LUA_WRAP(nelko_core_settings_get_double_value, Status, Key, OutReal),
  NELKO_LUA_WRAP(nelko_core_settings_get_arrayofstring_value, Status, Key, OutArray<StringArray>, Count),
  NELKO_LUA_WRAP(nelko_core_settings_get_arrayofint_value, Status, Key, OutArray<IntArray>, Count),
  NELKO_LUA_WRAP(nelko_core_settings_get_arrayofbool_value, Status, Key, OutArray<BoolArray>, Count),
  NELKO_LUA_WRAP(nelko_core_settings_get_arrayofdouble_value, Status, Key, OutArray<DoubleArray>, Count),
  NELKO_LUA_WRAP(nelko_core_settings_get_all_keys, ReturnedArray<StringArray>),
  NELKO_LUA_WRAP(nelko_core_settings_get_keys_starting_with, ReturnedArray<StringArray>, Text),
  NELKO_LUA_WRAP(nelko_core_settings_get_type, Status, Key, OutEnumeration<nelko_core_settings_type>),
  NELKO_LUA_WRAP(nelko_core_settings_does_key_exist, Truth, Key),
  NELKO_LUA_WRAP(nelko_core_settings_delete_key, Status, Key),
  NELKO_LUA_WRAP(nelko_core_settings_get_and_set_version, Status, UnsignedCell, Unsigned),
  NELKO_LUA_WRAP(nelko_core_settings_get_versions, Status, UnsignedCell, UnsignedCell),
  NELKO_LUA_WRAP(nelko_core_settings_is_new_file, Status, FlagCell),
  NELKO_LUA_WRAP(nelko_core_settings_copy_string_key, Status, Key, Key),
  NELKO_LUA_WRAP(nelko_core_settings_copy_json_key, Status, Key, Key),
  NELKO_LUA_WRAP(nelko_core_settings_copy_int_key, Status, Key, Key),
  NELKO_LUA_WRAP(nelko_core_settings_copy_bool_key, Status, Key, Key),
  NELKO_LUA_WRAP(nelko_core_settings_copy_double_key, Status, Key, Key),
  NELKO_LUA_WRAP(nelko_core_settings_copy_arrayofstring_key, Status, Key, Key),
  NELKO_LUA_WRAP(nelko_core_settings_copy_arrayofint_key, Status, Key, Key),
  NELKO_LUA_WRAP(nelko_core_settings_copy_arrayofbool_key, Status, Key, Key),
  NELKO_LUA_WRAP(nelko_core_settings_copy_arrayofdouble_key, Status, Key, Key),

  NELKO_LUA_WRAP(nelko_core_debug_settings_dump, NoResult),
  NELKO_LUA_WRAP(nelko_core_debug_get_setting_path, ReturnedText),

  NELKO_LUA_WRAP(nelko_core_configuration_init, Status, Text),
  NELKO_LUA_WRAP(nelko_core_configuration_deinit, Status),
  NELKO_LUA_WRAP(nelko_core_configuration_get_string_value, Status, Key, OutText),
  NELKO_LUA_WRAP(nelko_core_configuration_get_json_value, Status, Key, OutText),
  NELKO_LUA_WRAP(nelko_core_configuration_get_int_value, Status, Key, OutSigned),
  NELKO_LUA_WRAP(nelko_core_configuration_get_bool_value, Status, Key, OutFlag),
  NELKO_LUA_WRAP(nelko_core_configuration_get_double_value, Status, Key, OutReal),
  NELKO_LUA_WRAP(nelko_core_configuration_get_arrayofstring_value, Status, Key, OutArray<StringArray>, Count),
  NELKO_LUA_WRAP(nelko_core_configuration_get_arrayofint_value, Status, Key, OutArray<IntArray>, Count),
  NELKO_LUA_WRAP(nelko_core_configuration_get_arrayofbool_value, Status, Key, OutArray<BoolArray>, Count),
  NELKO_LUA_WRAP(nelko_core_configuration_get_arrayofdouble_value, Status, Key, OutArray<DoubleArray>, Count),
  NELKO_LUA_WRAP(nelko_core_configuration_get_all_keys, ReturnedArray<StringArray>),
  NELKO_LUA_WRAP(nelko_core_configuration_get_type, Status, Key, OutEnumeration<nelko_core_settings_type>),
  NELKO_LUA_WRAP(nelko_core_configuration_does_key_exist, Truth, Key),

  NELKO_LUA_WRAP(nelko_core_alloc_bool_array, ReturnedPointer<unsigned char**, kUnsignedCharPtrPtr>, Unsigned),
  NELKO_LUA_WRAP(nelko_core_alloc_uint_array, ReturnedPointer<unsigned int**, kUnsignedIntPtrPtr>, Unsigned),
  NELKO_LUA_WRAP(nelko_core_alloc_int_array, ReturnedPointer<int**, kIntPtrPtr>, Unsigned),
  NELKO_LUA_WRAP(nelko_core_alloc_string_array, ReturnedArray<StringArray>, Unsigned),
  NELKO_LUA_WRAP(nelko_core_alloc_double_array, ReturnedPointer<double**, kDoublePtrPtr>, Unsigned),
  NELKO_LUA_WRAP(nelko_core_free_bool_array, NoResult, Table<BoolArray, true>),
  NELKO_LUA_WRAP(nelko_core_free_uint_array, NoResult, Table<UintArray, true>),
  NELKO_LUA_WRAP(nelko_core_free_int_array, NoResult, Table<IntArray, true>),
  NELKO_LUA_WRAP(nelko_core_free_string_array, NoResult, StringArrayPointer),
  NELKO_LUA_WRAP(nelko_core_free_double_array, NoResult, Table<DoubleArray, true>),
};
// clang-format on

}  // namespace

FunctionList core_functions() {
  return {kFunctions, sizeof kFunctions / sizeof kFunctions[0]};
}

}  // namespace nelko::lua
