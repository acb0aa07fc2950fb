// The 51 module functions of the stream layout API: lifecycle, then each command's call forms.
#include "calling_convention.h"
#include "module_functions.h"
#include "nelko_api_stream_layout.h"

namespace nelko::lua {
namespace {

// Handles and request identifiers that the module hands out are tracked: using one after deinit,
// a receive that returned 0 or free_uuid raises instead of reaching freed memory (pointer_uses.h).
using Handle = TrackedPointer<PointerUse::kHandle>;
using DestroyedHandle = TrackedPointer<PointerUse::kHandle, Ending::kAlways>;
using NewHandle = OutPointer<PointerUse::kHandle>;
using NewRequest = OutPointer<PointerUse::kRequest>;
// A receive releases the identifier exactly when it returns 0. The version query's receive
// releases it once a response has arrived, but the reads that follow fail only when memory runs
// out; that 4 cannot be told from a time-out's, so it is counted as not released.
using ReceivedRequest = TrackedPointer<PointerUse::kRequest, Ending::kOnSuccess>;
using FreedRequest = TrackedPointer<PointerUse::kRequest, Ending::kAlways>;
using Pointer = UntypedPointer;  // user data, and the channel and log handle of init
using Timeout = Signed<>;
using List = Table<UintArray>;  // one of the layout's nine lists
using ListOut = OutArray<UintArray>;
#define NINE(kind) kind, kind, kind, kind, kind, kind, kind, kind, kind

// Completion functions: the first pass names the typedef, the second the type's display string.
constexpr char kTargetVersionTypedef[] =
    "nelko_api_stream_layout___get_target_version___method_callback_func_ptr";
constexpr char kGetStreamLayoutTypedef[] =
    "nelko_api_stream_layout_get_stream_layout_method_callback_func_ptr";
constexpr char kSetStreamLayoutTypedef[] =
    "nelko_api_stream_layout_set_stream_layout_method_callback_func_ptr";
constexpr char kPointToPanTiltTypedef[] =
    "nelko_api_stream_layout_stream_point_to_pan_tilt_method_callback_func_ptr";
constexpr char kGetNumRoiTypedef[] = "nelko_api_stream_layout_get_num_roi_method_callback_func_ptr";
constexpr char kGetRoiTypedef[] = "nelko_api_stream_layout_get_roi_method_callback_func_ptr";
constexpr char kSetRoiTypedef[] = "nelko_api_stream_layout_set_roi_method_callback_func_ptr";

using TargetVersionDone =
    TypedPointer<nelko_api_stream_layout___get_target_version___method_callback_func_ptr,
                 kTargetVersionCallback, kTargetVersionTypedef>;
using GetStreamLayoutDone =
    TypedPointer<nelko_api_stream_layout_get_stream_layout_method_callback_func_ptr,
                 kGetStreamLayoutCallback, kGetStreamLayoutTypedef>;
using SetStreamLayoutDone =
    TypedPointer<nelko_api_stream_layout_set_stream_layout_method_callback_func_ptr, kSetCallback,
                 kSetStreamLayoutTypedef>;
using PointToPanTiltDone =
    TypedPointer<nelko_api_stream_layout_stream_point_to_pan_tilt_method_callback_func_ptr,
                 kPointToPanTiltCallback, kPointToPanTiltTypedef>;
using GetNumRoiDone = TypedPointer<nelko_api_stream_layout_get_num_roi_method_callback_func_ptr,
                                   kGetNumRoiCallback, kGetNumRoiTypedef>;
using GetRoiDone = TypedPointer<nelko_api_stream_layout_get_roi_method_callback_func_ptr,
                                kGetRoiCallback, kGetRoiTypedef>;
using SetRoiDone = TypedPointer<nelko_api_stream_layout_set_roi_method_callback_func_ptr,
                                kSetCallback, kSetRoiTypedef>;

// clang-format off
luaL_Reg const kFunctions[] = {
  NELKO_LUA_WRAP(nelko_api_stream_layout_initiator_init, Status, Pointer, Pointer, NewHandle, Flag, Text),
  NELKO_LUA_WRAP(nelko_api_stream_layout_initiator_deinit, Status, DestroyedHandle),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_initiator_version, Status, Handle, OutUnsigned, OutUnsigned),
  NELKO_LUA_WRAP(nelko_api_stream_layout_free_uuid, NoResult, FreedRequest),

  NELKO_LUA_WRAP(nelko_api_stream_layout___get_target_version___send, Status, Handle, Text, OutUnsigned, OutUnsigned),
  NELKO_LUA_WRAP(nelko_api_stream_layout___get_target_version___non_blocking_send, Status, Handle, Text, NewRequest),
  NELKO_LUA_WRAP(nelko_api_stream_layout___get_target_version___receive, Status, Handle, Flag, Text, ReceivedRequest, OutUnsigned, OutUnsigned),
  NELKO_LUA_WRAP(nelko_api_stream_layout___get_target_version___send_async, Status, Handle, Text, TargetVersionDone, Pointer),
  NELKO_LUA_WRAP(nelko_api_stream_layout___get_target_version___cancel_async, Status, Handle, TargetVersionDone, Pointer),

  NELKO_LUA_WRAP(nelko_api_stream_layout_get_stream_layout_send, Status, Handle, Text, Unsigned, NINE(ListOut)),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_stream_layout_send_with_timeout, Status, Handle, Text, Timeout, Unsigned, NINE(ListOut)),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_stream_layout_non_blocking_send, Status, Handle, Text, NewRequest, Unsigned),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_stream_layout_receive, Status, Handle, Flag, Text, ReceivedRequest, NINE(ListOut)),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_stream_layout_receive_with_timeout, Status, Handle, Text, Timeout, ReceivedRequest, NINE(ListOut)),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_stream_layout_send_async, Status, Handle, Text, Unsigned, GetStreamLayoutDone, Pointer),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_stream_layout_cancel_async, Status, Handle, GetStreamLayoutDone, Pointer),

  NELKO_LUA_WRAP(nelko_api_stream_layout_set_stream_layout_send, Status, Handle, Text, Unsigned, NINE(List)),
  NELKO_LUA_WRAP(nelko_api_stream_layout_set_stream_layout_send_with_timeout, Status, Handle, Text, Timeout, Unsigned, NINE(List)),
  NELKO_LUA_WRAP(nelko_api_stream_layout_set_stream_layout_non_blocking_send, Status, Handle, Text, NewRequest, Unsigned, NINE(List)),
  NELKO_LUA_WRAP(nelko_api_stream_layout_set_stream_layout_receive, Status, Handle, Flag, Text, ReceivedRequest),
  NELKO_LUA_WRAP(nelko_api_stream_layout_set_stream_layout_receive_with_timeout, Status, Handle, Text, Timeout, ReceivedRequest),
  NELKO_LUA_WRAP(nelko_api_stream_layout_set_stream_layout_send_async, Status, Handle, Text, Unsigned, NINE(List), SetStreamLayoutDone, Pointer),
  NELKO_LUA_WRAP(nelko_api_stream_layout_set_stream_layout_cancel_async, Status, Handle, SetStreamLayoutDone, Pointer),

  NELKO_LUA_WRAP(nelko_api_stream_layout_stream_point_to_pan_tilt_send, Status, Handle, Text, Unsigned, Real<>, Real<>, OutReal, OutReal),
  NELKO_LUA_WRAP(nelko_api_stream_layout_stream_point_to_pan_tilt_send_with_timeout, Status, Handle, Text, Timeout, Unsigned, Real<>, Real<>, OutReal, OutReal),
  NELKO_LUA_WRAP(nelko_api_stream_layout_stream_point_to_pan_tilt_non_blocking_send, Status, Handle, Text, NewRequest, Unsigned, Real<>, Real<>),
  NELKO_LUA_WRAP(nelko_api_stream_layout_stream_point_to_pan_tilt_receive, Status, Handle, Flag, Text, ReceivedRequest, OutReal, OutReal),
  NELKO_LUA_WRAP(nelko_api_stream_layout_stream_point_to_pan_tilt_receive_with_timeout, Status, Handle, Text, Timeout, ReceivedRequest, OutReal, OutReal),
  NELKO_LUA_WRAP(nelko_api_stream_layout_stream_point_to_pan_tilt_send_async, Status, Handle, Text, Unsigned, Real<>, Real<>, PointToPanTiltDone, Pointer),
  NELKO_LUA_WRAP(nelko_api_stream_layout_stream_point_to_pan_tilt_cancel_async, Status, Handle, PointToPanTiltDone, Pointer),

  NELKO_LUA_WRAP(nelko_api_stream_layout_get_num_roi_send, Status, Handle, Text, OutUnsigned),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_num_roi_send_with_timeout, Status, Handle, Text, Timeout, OutUnsigned),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_num_roi_non_blocking_send, Status, Handle, Text, NewRequest),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_num_roi_receive, Status, Handle, Flag, Text, ReceivedRequest, OutUnsigned),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_num_roi_receive_with_timeout, Status, Handle, Text, Timeout, ReceivedRequest, OutUnsigned),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_num_roi_send_async, Status, Handle, Text, GetNumRoiDone, Pointer),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_num_roi_cancel_async, Status, Handle, GetNumRoiDone, Pointer),

  NELKO_LUA_WRAP(nelko_api_stream_layout_get_roi_send, Status, Handle, Text, Unsigned, Unsigned, OutReal, OutReal, OutReal, OutReal),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_roi_send_with_timeout, Status, Handle, Text, Timeout, Unsigned, Unsigned, OutReal, OutReal, OutReal, OutReal),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_roi_non_blocking_send, Status, Handle, Text, NewRequest, Unsigned, Unsigned),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_roi_receive, Status, Handle, Flag, Text, ReceivedRequest, OutReal, OutReal, OutReal, OutReal),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_roi_receive_with_timeout, Status, Handle, Text, Timeout, ReceivedRequest, OutReal, OutReal, OutReal, OutReal),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_roi_send_async, Status, Handle, Text, Unsigned, Unsigned, GetRoiDone, Pointer),
  NELKO_LUA_WRAP(nelko_api_stream_layout_get_roi_cancel_async, Status, Handle, GetRoiDone, Pointer),

  NELKO_LUA_WRAP(nelko_api_stream_layout_set_roi_send, Status, Handle, Text, Unsigned, Unsigned, Real<>, Real<>, Real<>, Real<>),
  NELKO_LUA_WRAP(nelko_api_stream_layout_set_roi_send_with_timeout, Status, Handle, Text, Timeout, Unsigned, Unsigned, Real<>, Real<>, Real<>, Real<>),
  NELKO_LUA_WRAP(nelko_api_stream_layout_set_roi_non_blocking_send, Status, Handle, Text, NewRequest, Unsigned, Unsigned, Real<>, Real<>, Real<>, Real<>),
  NELKO_LUA_WRAP(nelko_api_stream_layout_set_roi_receive, Status, Handle, Flag, Text, ReceivedRequest),
  NELKO_LUA_WRAP(nelko_api_stream_layout_set_roi_receive_with_timeout, Status, Handle, Text, Timeout, ReceivedRequest),
  NELKO_LUA_WRAP(nelko_api_stream_layout_set_roi_send_async, Status, Handle, Text, Unsigned, Unsigned, Real<>, Real<>, Real<>, Real<>, SetRoiDone, Pointer),
  NELKO_LUA_WRAP(nelko_api_stream_layout_set_roi_cancel_async, Status, Handle, SetRoiDone, Pointer),
};
// clang-format on

}  // namespace

FunctionList stream_layout_functions() {
  return {kFunctions, sizeof kFunctions / sizeof kFunctions[0]};
}

}  // namespace nelko::lua
