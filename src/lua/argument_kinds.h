// The kinds of Lua argument a wrapper takes. Each kind names the C parameter type it produces
// (CType), what it keeps during the call (Slot), its first-pass test (run for every argument
// before any is converted; absent for flags and tables), what that test learnt of the value
// (Probe, handed to the rest so that no value is inspected twice), its conversion (the second
// pass, in argument order), the type name that messages expect, and what it releases.
#ifndef NELKO_LUA_ARGUMENT_KINDS_H
#define NELKO_LUA_ARGUMENT_KINDS_H

#include <type_traits>

#include "array_kinds.h"
#include "lua_c_api.h"
#include "lua_numbers.h"
#include "pointer_types.h"
#include "pointer_uses.h"

namespace nelko::lua {

enum class Check {
  kOk,
  kWrongKind,  // "Error in %s (arg %d), expected '%s' got '%s'"
  kNegative,   // "number must not be negative"
  kNoRecord,   // "Error in %s, expected a void* at argument number %d\n"
  kRaised,     // a metamethod raised while a table was read; its error is on the stack
  kWrongUse,   // "Error in %s (arg %d), expected '%s' got '%s'", naming uses (pointer_uses.h)
  kEnded,      // "Error in %s (arg %d), handle already destroyed" (or the identifier released)
};

// The probe of a kind whose first pass learns nothing of its value.
struct NoProbe {};

// Defaults of the kinds that take a Lua argument: no first-pass test, nothing to release, no
// effect of the call on the argument.
struct Argument {
  static constexpr bool kTakesArgument = true;
  using Probe = NoProbe;
  static bool first_pass(lua_State*, int, Probe&) { return true; }
  template <class AnyProbe>
  static void settle(AnyProbe const&, bool /*succeeded*/) {}
  template <class Slot>
  static Slot pass(Slot& value) {
    return value;
  }
  template <class Slot>
  static void release_on_error(Slot&) {}
  template <class Slot>
  static void release_after_call(Slot&) {}
};

// Kinds whose first pass takes a number or a string convertible to one; the probe is its value.
// lua_tonumber gives 0 for anything else, so only a 0 needs a second look.
struct NumberProbe {
  lua_Number value;
};
struct NumberArgument : Argument {
  using Probe = NumberProbe;
  static bool first_pass(lua_State* L, int i, Probe& p) {
    p.value = lua_tonumber(L, i);
    return p.value != 0 || lua_isnumber(L, i);
  }
};

// What a pointer kind's first pass saw: the block of a full or light userdata, or null, with
// `nil` telling nil from a light userdata that holds null.
struct PointerProbe {
  void* block;
  bool nil;
};

// Kinds whose first pass takes any userdata or nil.
struct PointerArgument : Argument {
  using Probe = PointerProbe;
  static bool first_pass(lua_State* L, int i, Probe& p) {
    p.block = lua_touserdata(L, i);
    if (p.block) return true;
    int const type = lua_type(L, i);
    p.nil = type == LUA_TNIL;
    return p.nil || type == LUA_TLIGHTUSERDATA;
  }
};

// String, number or nil; nil passes a null pointer.
struct Text : Argument {
  using CType = char const*;
  using Slot = CType;
  struct Probe {
    bool nil;
  };
  static constexpr char const* kTypeName = "char const *";
  static bool first_pass(lua_State* L, int i, Probe& p) {
    int const type = lua_type(L, i);
    p.nil = type == LUA_TNIL;
    return p.nil || type == LUA_TSTRING || type == LUA_TNUMBER;
  }
  static Check convert(lua_State* L, int i, Probe const& p, Slot& v) {
    v = p.nil ? nullptr : lua_tostring(L, i);
    return Check::kOk;
  }
};

// A Lua boolean, tested in the second pass: true gives 1, false 0.
struct Flag : Argument {
  using CType = unsigned char;
  using Slot = CType;
  static constexpr char const* kTypeName = "unsigned char";
  static Check convert(lua_State* L, int i, Probe const&, Slot& v) {
    if (!lua_isboolean(L, i)) return Check::kWrongKind;
    v = lua_toboolean(L, i) ? 1 : 0;
    return Check::kOk;
  }
};

inline constexpr char kIntName[] = "int";
inline constexpr char kIntConstName[] = "int const";
inline constexpr char kDoubleName[] = "double";
inline constexpr char kDoubleConstName[] = "double const";

// A number or numeric string, truncated toward zero to 32 bits.
template <char const* Name = kIntName>
struct Signed : NumberArgument {
  using CType = int;
  using Slot = CType;
  static constexpr char const* kTypeName = Name;
  static Check convert(lua_State*, int, Probe const& p, Slot& v) {
    v = to_int32(p.value);
    return Check::kOk;
  }
};

// As Signed, but below zero (or NaN) is refused.
struct Unsigned : NumberArgument {
  using CType = unsigned int;
  using Slot = CType;
  static constexpr char const* kTypeName = "unsigned int";
  static Check convert(lua_State*, int, Probe const& p, Slot& v) {
    if (!(p.value >= 0)) return Check::kNegative;
    v = to_uint32(p.value);
    return Check::kOk;
  }
};

template <char const* Name = kDoubleName>
struct Real : NumberArgument {
  using CType = double;
  using Slot = CType;
  static constexpr char const* kTypeName = Name;
  static Check convert(lua_State*, int, Probe const& p, Slot& v) {
    v = p.value;
    return Check::kOk;
  }
};

inline constexpr char kStatusName[] = "nelko_core_status";
inline constexpr char kLogPriorityName[] = "nelko_core_log_priority";

// A C enumeration holds only the values of the smallest bit-field that holds its enumerators
// (0 to 15 for statuses and priorities); in C++ any other value is undefined behaviour. A number
// outside that range is passed as the range's largest value: no enumerator either, so the C
// function treats it as it treats every other unknown value.
template <class Enum, char const* Name, Enum kLast>
struct Enumeration : NumberArgument {
  using CType = Enum;
  using Slot = CType;
  static constexpr char const* kTypeName = Name;
  static Check convert(lua_State*, int, Probe const& p, Slot& v) {
    int const n = to_int32(p.value);
    v = static_cast<Enum>(n >= 0 && n <= kRepresentable ? n : kRepresentable);
    return Check::kOk;
  }

 private:
  static constexpr int representable() {
    int bound = 1;
    while (bound <= static_cast<int>(kLast)) bound <<= 1;
    return bound - 1;
  }
  static constexpr int kRepresentable = representable();
};

// Any pointer userdata of the convention, whatever its type, or nil for null.
struct UntypedPointer : PointerArgument {
  using CType = void*;
  using Slot = CType;
  static constexpr char const* kTypeName = "void *";
  static Check convert(lua_State* L, int i, Probe const& p, Slot& v) {
    v = nullptr;
    if (p.nil) return Check::kOk;
    PointerRecord const* record = to_pointer_record(L, i, p.block);
    if (!record) return Check::kNoRecord;
    v = record->ptr;
    return Check::kOk;
  }
};

// What a call does to the handle or request identifier it is given.
enum class Ending {
  kNever,      // only uses it
  kOnSuccess,  // ends it when the call succeeds (a receive releases its identifier on 0)
  kAlways,     // ends it whatever the call returns (deinit, free_uuid)
};

// An untyped pointer that stands for a handle or a request identifier. One that the module handed
// out is checked against what the module knows of it: given for the other use, or after its end,
// it raises instead of reaching the C function; the call then ends it as kEnding says. Nil, and
// pointer userdata made by other code, are taken as UntypedPointer takes them. The conversion
// keeps the tracked record it found in the probe, where the settling after the call ends it.
template <PointerUse kUse, Ending kEnding = Ending::kNever>
struct TrackedPointer : UntypedPointer {
  struct Probe : PointerProbe {
    TrackedRecord* tracked;
  };
  static char const* second_pass_name() { return use_name(kUse); }
  static Check convert(lua_State* L, int i, Probe& p, Slot& v) {
    p.tracked = tracked_record(L, i, p.block);
    if (!p.tracked) return UntypedPointer::convert(L, i, p, v);
    v = p.tracked->record.ptr;
    int const state = p.tracked->state;
    if (state == live_state(kUse)) return Check::kOk;
    return state == -live_state(kUse) ? Check::kEnded : Check::kWrongUse;
  }
  static void settle(Probe const& p, bool succeeded) {
    if (kEnding == Ending::kAlways || (kEnding == Ending::kOnSuccess && succeeded)) {
      if (p.tracked) end_tracked(*p.tracked);
    }
  }
};

// A pointer userdata of one type (after sharing with other modules), or nil for null. The first
// pass names the C parameter type, the second the type's display string.
template <class C, PointerType Type, char const* Name>
struct TypedPointer : PointerArgument {
  using CType = C;
  using Slot = CType;
  static constexpr char const* kTypeName = Name;
  static char const* second_pass_name() { return type_record(Type)->display; }
  static Check convert(lua_State* L, int i, Probe const& p, Slot& v) {
    v = nullptr;
    if (p.nil) return Check::kOk;
    void* ptr = nullptr;
    if (!convert_pointer(L, i, p.block, Type, &ptr)) return Check::kWrongKind;
    if constexpr (std::is_function_v<std::remove_pointer_t<C>>) {
      v = reinterpret_cast<C>(ptr);
    } else {
      v = static_cast<C>(ptr);
    }
    return Check::kOk;
  }
};

// A table converted to a core array for the call (array_kinds.h); a table that cannot be
// converted passes null. The array is released after the call, unless the called function
// releases it itself (the core's release functions), and on any argument error.
template <class ArrayKind, bool kReleasedByCall = false>
struct Table : Argument {
  using CType = typename ArrayKind::Array;
  using Slot = CType;
  static constexpr char const* kTypeName = "table";
  static Check convert(lua_State* L, int i, Probe const&, Slot& v) {
    if (!lua_istable(L, i)) return Check::kWrongKind;
    return table_to_array<ArrayKind>(L, i, &v) == Conversion::kRaised ? Check::kRaised : Check::kOk;
  }
  static void release_on_error(Slot& v) { ArrayKind::release(v); }
  static void release_after_call(Slot& v) {
    if constexpr (!kReleasedByCall) ArrayKind::release(v);
  }
};

}  // namespace nelko::lua

#endif
