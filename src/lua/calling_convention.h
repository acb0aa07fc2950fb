// The one calling convention of every module function, and the declaration that makes a wrapper.
//
// A wrapper is the list of its kinds: the kind of the C function's result, then one kind per C
// parameter in C order (argument_kinds.h for the parameters a Lua argument fills, result_kinds.h
// for out-parameters). The engine then
//   1. checks the argument count (exact),
//   2. runs the first-pass test of every argument, keeping what each learnt of its value,
//   3. converts the arguments in order from what the first pass kept (flag, typed-pointer and
//      sign tests happen here, tables are converted at their place),
//   4. calls the C function once,
//   5. records what the call did to the handles and request identifiers it was given (a receive
//      that returns 0 has released its identifier, deinit has destroyed its handle), before
//      anything that could raise,
//   6. pushes its result, then each out-parameter in order,
//   7. releases what it converted or received.
// A failed check releases the table arrays and raises the message, prefixed by the caller's
// position, before any C call. The kinds must mirror the C signature exactly, or the wrapper does
// not compile:
//
//   NELKO_LUA_WRAP(nelko_api_stream_layout_get_num_roi_send,
//                  Status, UntypedPointer, Text, OutUnsigned)
//
// Errors are raised with lua_error, which longjmps in PUC Lua: nothing alive in the engine's frame
// may need a destructor, which is why slots and probes are plain values.
#ifndef NELKO_LUA_CALLING_CONVENTION_H
#define NELKO_LUA_CALLING_CONVENTION_H

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "argument_kinds.h"
#include "lua_c_api.h"
#include "result_kinds.h"

namespace nelko::lua {

// Raises the message of a failed check (never returns).
int raise_count_error(lua_State* L, char const* function, int expected, int given);
int raise_check_error(lua_State* L, char const* function, int arg, Check check,
                      char const* expected);

template <class Kind, class = void>
struct HasSecondPassName : std::false_type {};
template <class Kind>
struct HasSecondPassName<Kind, std::void_t<decltype(Kind::second_pass_name())>> : std::true_type {};

// The type name a failed check expects: the kind's own, or for typed pointers in the second pass
// the display string of the record in use. Out-parameters take no argument and never fail.
template <class Kind>
char const* expected_name(bool second_pass) {
  if constexpr (!Kind::kTakesArgument) {
    return nullptr;
  } else if constexpr (HasSecondPassName<Kind>::value) {
    return second_pass ? Kind::second_pass_name() : Kind::kTypeName;
  } else {
    return Kind::kTypeName;
  }
}

template <class Result, class... Params>
class Wrapper {
 public:
  template <class Fn>
  static int run(lua_State* L, char const* function, Fn fn) {
    return run(L, function, fn, std::index_sequence_for<Params...>{});
  }

 private:
  static constexpr std::size_t kParams = sizeof...(Params);
  static constexpr int kArguments = (0 + ... + int{Params::kTakesArgument});

  // The Lua argument position of each C parameter (0 for out-parameters).
  static constexpr std::array<int, kParams> positions() {
    std::array<int, kParams> p{};
    int next = 1;
    std::size_t i = 0;
    ((p[i++] = Params::kTakesArgument ? next++ : 0), ...);
    return p;
  }
  static constexpr std::array<int, kParams> kPositions = positions();

  template <class Kind>
  static bool first_pass(lua_State* L, int position, typename Kind::Probe& probe) {
    if constexpr (Kind::kTakesArgument) {
      return Kind::first_pass(L, position, probe);
    } else {
      return true;
    }
  }

  template <class Kind>
  static Check convert(lua_State* L, int position, typename Kind::Probe& probe,
                       typename Kind::Slot& slot) {
    if constexpr (Kind::kTakesArgument) {
      return Kind::convert(L, position, probe, slot);
    } else {
      return Check::kOk;
    }
  }

  template <class Kind>
  static void settle(typename Kind::Probe const& probe, bool succeeded) {
    if constexpr (Kind::kTakesArgument) Kind::settle(probe, succeeded);
  }

  template <class Kind>
  static int push_output(lua_State* L, typename Kind::Slot& slot) {
    if constexpr (Kind::kTakesArgument) {
      return 0;
    } else {
      Kind::push(L, slot);
      return 1;
    }
  }

  template <class Fn, std::size_t... I>
  static int run(lua_State* L, char const* function, Fn fn, std::index_sequence<I...>) {
    std::tuple<typename Params::Slot...> slots{};
    std::tuple<typename Params::Probe...> probes{};
    int given = lua_gettop(L);
    if (given != kArguments) {
      (Params::release_on_error(std::get<I>(slots)), ...);
      return raise_count_error(L, function, kArguments, given);
    }

    [[maybe_unused]] std::size_t failed = 0;
    if (!(... &&
          (first_pass<Params>(L, kPositions[I], std::get<I>(probes)) || ((failed = I), false)))) {
      (Params::release_on_error(std::get<I>(slots)), ...);
      std::array<char const*, kParams> names = {expected_name<Params>(false)...};
      return raise_check_error(L, function, kPositions[failed], Check::kWrongKind, names[failed]);
    }

    [[maybe_unused]] Check check = Check::kOk;
    if (!(... && ((check = convert<Params>(L, kPositions[I], std::get<I>(probes),
                                           std::get<I>(slots))) == Check::kOk ||
                  ((failed = I), false)))) {
      (Params::release_on_error(std::get<I>(slots)), ...);
      std::array<char const*, kParams> names = {expected_name<Params>(true)...};
      return raise_check_error(L, function, kPositions[failed], check, names[failed]);
    }

    int pushed = 0;
    if constexpr (std::is_void_v<typename Result::CType>) {
      fn(Params::pass(std::get<I>(slots))...);
      (settle<Params>(std::get<I>(probes), true), ...);
    } else {
      typename Result::CType result = fn(Params::pass(std::get<I>(slots))...);
      [[maybe_unused]] bool const succeeded = call_succeeded(result);
      (settle<Params>(std::get<I>(probes), succeeded), ...);
      Result::push(L, result);
      pushed = 1;
    }
    ((pushed += push_output<Params>(L, std::get<I>(slots))), ...);
    (Params::release_after_call(std::get<I>(slots)), ...);
    return pushed;
  }
};

// Runs `fn` under the convention; the kinds are checked against its signature.
template <class Result, class... Params, class R, class... Args>
int call_wrapped(lua_State* L, char const* function, R (*fn)(Args...)) {
  static_assert(std::is_same_v<R, typename Result::CType>, "result kind does not match");
  static_assert(std::is_same_v<std::tuple<Args...>, std::tuple<typename Params::CType...>>,
                "parameter kinds do not match the C parameters");
  return Wrapper<Result, Params...>::run(L, function, fn);
}

}  // namespace nelko::lua

// One module function: its name is the C function's name.
// clang-format off
#define NELKO_LUA_WRAP(fn, ...) \
  luaL_Reg{#fn, [](lua_State* L) -> int { \
    return ::nelko::lua::call_wrapped<__VA_ARGS__>(L, #fn, &fn); }}
// clang-format on

#endif
