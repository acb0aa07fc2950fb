// IStream_layoutInitiator: the object behind a handle. For every command of the stream_layout
// interface it builds and sends the request, reads a synchronous response into C out-values, and
// completes asynchronous requests through the command's callback registry, which the dispatch
// table finds by command name. All of it is generic code over the command descriptions of
// stream_layout_commands.h; nothing here names a single command but the version query.
#ifndef NELKO_INITIATOR_I_STREAM_LAYOUT_INITIATOR_H
#define NELKO_INITIATOR_I_STREAM_LAYOUT_INITIATOR_H

#include <boost/noncopyable.hpp>
#include <array>
#include <string_view>
#include <utility>

#include "callback_registry.h"
#include "nelko_initiator_interfaces.h"
#include "stream_layout_commands.h"

namespace nelko {
namespace stream_layout {
namespace detail {

// The position of Command in Commands.
template <typename Command, typename Tuple>
struct IndexOf;
template <typename Command, typename... Rest>
struct IndexOf<Command, std::tuple<Command, Rest...>> : std::integral_constant<std::size_t, 0> {};
template <typename Command, typename First, typename... Rest>
struct IndexOf<Command, std::tuple<First, Rest...>>
    : std::integral_constant<std::size_t, 1 + IndexOf<Command, std::tuple<Rest...>>::value> {};

// One callback registry per command, in the order of Commands.
template <typename Tuple>
struct RegistriesOf;
template <typename... Command>
struct RegistriesOf<std::tuple<Command...>> {
  using type = std::tuple<CallbackRegistry<typename Command::Callback>...>;
};

// What a completion holds of each result until the client function has returned.
template <typename Tuple>
struct HeldOf;
template <typename... T>
struct HeldOf<std::tuple<T...>> {
  using type = std::tuple<typename Wire<T>::Held...>;
};

// Applies f to every element of a tuple together with its index (a std::integral_constant, so
// that f may use it at compile time), in order, until f returns a non-zero status; returns that
// status.
template <typename Tuple, typename F, std::size_t... I>
nelko_core_status for_each_until_failure(Tuple&& tuple, F&& f, std::index_sequence<I...>) {
  nelko_core_status status = NELKO_CORE_STATUS_NO_ERROR;
  (void)((status = f(std::get<I>(tuple), std::integral_constant<std::size_t, I>()),
          status == NELKO_CORE_STATUS_NO_ERROR) &&
         ...);
  return status;
}
template <typename Tuple, typename F>
nelko_core_status for_each_until_failure(Tuple&& tuple, F&& f) {
  constexpr std::size_t n = std::tuple_size<std::decay_t<Tuple>>::value;
  return for_each_until_failure(std::forward<Tuple>(tuple), std::forward<F>(f),
                                std::make_index_sequence<n>());
}

}  // namespace detail
}  // namespace stream_layout
}  // namespace nelko

// FIXED NAMES: the class name is the platform's name for this interface's class, and
// subclassResponseDispatch overrides a member of the platform's base class. Everything else in it
// follows this project's naming.
class IStream_layoutInitiator : public nelkoInitiatorInterfaces, private boost::noncopyable {
 public:
  static constexpr std::uint32_t kVersionMajor = 0;
  static constexpr std::uint32_t kVersionMinor = 9;

  template <typename Command>
  using Registry = nelko::stream_layout::detail::CallbackRegistry<typename Command::Callback>;
  template <typename Command>
  using Outs = typename nelko::stream_layout::OutsOf<typename Command::Results>::type;

  // Throws when the channel cannot be opened; whatever was built is destroyed again (an opened
  // channel is closed).
  IStream_layoutInitiator(void* ipc_handle, void* log_handle, char const* initiator_name);
  // Stops deliveries to this object first, then drops pending requests without calling them.
  ~IStream_layoutInitiator() override;

  // 1, with the builder's warning, when a value among `values` is refused (a null layout list);
  // else 0. `values` are a command's parameters or its inputs, which are named and ordered alike.
  template <typename Command, typename Values>
  nelko_core_status refuse_values(Values const& values) const;

  // Builds the request of Command from the client's inputs and sends it. Returns its status, 1
  // for a refused value (with a warning), 4 for any exception.
  template <typename Command>
  nelko_core_status send_request(char const* target, char const* uuid,
                                 typename Command::Inputs const& inputs);

  // Receives the response to uuid and reads it leniently into outs. owned_uuid is the client's
  // block that holds uuid, or null when the caller keeps the identifier itself; it is freed when
  // the identifier is released: after all reads succeeded, or, for the version query, as soon as
  // a response with status 0 was received; after a non-zero status it never is. Throws on
  // exceptions; the call forms turn them into status 4.
  template <typename Command>
  nelko_core_status receive_response(char const* target, int timeout, char const* uuid,
                                     Outs<Command> const& outs, void* owned_uuid);

  // Finds the registry entry of uuid, reads the response strictly and calls the client function
  // (with the registry's mutex released, see callback_registry.h). Never throws.
  template <typename Command>
  void complete(char* first_text, char* uuid, json::Object const& response);

  template <typename Command>
  Registry<Command>& registry() {
    using nelko::stream_layout::Commands;
    return std::get<nelko::stream_layout::detail::IndexOf<Command, Commands>::value>(registries_);
  }

  // Looks the command name up in the dispatch table and completes its request; an unknown name
  // is ignored silently. (A member of the platform's base class: a fixed name.)
  void subclassResponseDispatch(char const* command, char* first_text, char* uuid,
                                json::Object& response) override;

 private:
  using Completion = void (IStream_layoutInitiator::*)(char*, char*, json::Object const&);
  struct Dispatch {
    std::string_view command;
    Completion completion;
  };
  // Seven entries: a scan finds one sooner than a tree of strings would.
  using DispatchTable = std::array<Dispatch, std::tuple_size<nelko::stream_layout::Commands>::value>;

  template <typename... Command>
  static DispatchTable dispatch_table_of(std::tuple<Command...> const*) {
    return {{{Command::kName, &IStream_layoutInitiator::complete<Command>}...}};
  }

  template <typename Command>
  nelko_core_status send_params(char const* target, char const* uuid,
                                typename Command::Params const& params);
  void check_target_version(unsigned int target_major, unsigned int target_minor) const;

  DispatchTable dispatch_table_;
  nelko::stream_layout::detail::RegistriesOf<nelko::stream_layout::Commands>::type registries_;
};

#include "i_stream_layout_initiator_impl.h"

#endif
