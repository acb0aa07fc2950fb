// The generic members of IStream_layoutInitiator; included by its header only.
#ifndef NELKO_INITIATOR_I_STREAM_LAYOUT_INITIATOR_IMPL_H
#define NELKO_INITIATOR_I_STREAM_LAYOUT_INITIATOR_IMPL_H

#include <cstdlib>
#include <iterator>
#include <mutex>
#include <string_view>
#include <type_traits>

#include "kept_request.h"
#include "named_members.h"

namespace nelko {
namespace stream_layout {
namespace detail {

// Calls f with the client's view of every held result (Results are their C types).
template <typename Results, typename Held, typename F, std::size_t... I>
void apply_held(F&& f, Held const& held, std::index_sequence<I...>) {
  f(Wire<std::tuple_element_t<I, Results>>::get(std::get<I>(held))...);
}
template <typename Results, typename Held, typename F>
void apply_held(F&& f, Held const& held) {
  apply_held<Results>(std::forward<F>(f), held,
                      std::make_index_sequence<std::tuple_size<Results>::value>());
}

}  // namespace detail
}  // namespace stream_layout
}  // namespace nelko

template <typename Command, typename Values>
nelko_core_status IStream_layoutInitiator::refuse_values(Values const& values) const {
  using nelko::stream_layout::detail::Wire;
  return nelko::stream_layout::detail::for_each_until_failure(
      values, [&](auto const& value, std::size_t i) {
        if (!Wire<std::decay_t<decltype(value)>>::is_refused(value)) {
          return NELKO_CORE_STATUS_NO_ERROR;
        }
        IPC_LOG_WARNING("Initiator:%s called with null input pointer %s", Command::kBuilderName,
                        Command::kParamNames[i]);
        return NELKO_CORE_STATUS_INVALID_PARAMS;
      });
}

template <typename Command>
nelko_core_status IStream_layoutInitiator::send_request(char const* target, char const* uuid,
                                                        typename Command::Inputs const& inputs) {
  if constexpr (nelko::stream_layout::kIsVersionQuery<Command>) {
    return send_params<Command>(target, uuid, {m_versionMajor, m_versionMinor});
  } else {
    return send_params<Command>(target, uuid, inputs);
  }
}

template <typename Command>
nelko_core_status IStream_layoutInitiator::send_params(char const* target, char const* uuid,
                                                       typename Command::Params const& params) {
  using nelko::stream_layout::detail::Wire;
  constexpr std::size_t kMembers = 1 + std::tuple_size<typename Command::Params>::value;
  try {
    nelko_core_status status = refuse_values<Command>(params);
    if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
    // The thread's last request of this command has the same members in the same order: only
    // their values are written again. It is built afresh when it is not complete (a new thread,
    // or a build that failed halfway).
    nelko::stream_layout::detail::KeptRequest<Command> kept;
    json::Object& request = kept.get();
    if (request.Size() != kMembers) {
      request.Clear();
      request.Insert({"command", json::String(Command::kName)});
      for (char const* name : Command::kParamNames) request.Insert({name, json::Null()});
    }
    auto member = std::next(request.begin());
    nelko::stream_layout::detail::for_each_until_failure(params, [&](auto const& value, auto) {
      Wire<std::decay_t<decltype(value)>>::put((member++)->element, value);
      return NELKO_CORE_STATUS_NO_ERROR;
    });
    return basicSendCommand(nelko::stream_layout::kInterfaceName, target, uuid, request);
  } catch (...) {
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
}

template <typename Command>
nelko_core_status IStream_layoutInitiator::receive_response(char const* target, int timeout,
                                                            char const* uuid,
                                                            Outs<Command> const& outs,
                                                            void* owned_uuid) {
  using nelko::stream_layout::kIsVersionQuery;
  using nelko::stream_layout::detail::Wire;
  json::Object response;  // the interfaces library fills an empty one
  nelko_core_status status = basicReceiveResponse(timeout, nelko::stream_layout::kInterfaceName,
                                                  target, uuid, Command::kName, response);
  if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
  if constexpr (kIsVersionQuery<Command>) std::free(owned_uuid);
  nelko::stream_layout::detail::NamedMembers<
      json::Object, nelko::stream_layout::detail::ResultNames<Command>::kResults>
      members(response);
  status = nelko::stream_layout::detail::for_each_until_failure(outs, [&](auto out, auto i) {
    using Value = std::remove_pointer_t<decltype(out)>;
    nelko_core_status read = Wire<Value>::read_lenient(members[i], out);
    if (read != NELKO_CORE_STATUS_NO_ERROR) {
      IPC_LOG_WARNING("%s:failed converting UINT array (%d)", Command::kReaderName,
                      static_cast<int>(read));
    }
    return read;
  });
  if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
  if constexpr (kIsVersionQuery<Command>) {
    check_target_version(*std::get<0>(outs), *std::get<1>(outs));
  } else {
    std::free(owned_uuid);
  }
  return NELKO_CORE_STATUS_NO_ERROR;
}

template <typename Command>
void IStream_layoutInitiator::complete(char* first_text, char* uuid, json::Object const& response) {
  using nelko::stream_layout::detail::Wire;
  Registry<Command>& pending = registry<Command>();
  try {
    // Declared before the lock so that lists are released after it, on every way out.
    typename nelko::stream_layout::detail::HeldOf<typename Command::Results>::type results;
    // "status", then the results.
    nelko::stream_layout::detail::NamedMembers<
        json::Object const, nelko::stream_layout::detail::ResultNames<Command>::kStatusAndResults>
        members(response);
    std::unique_lock<std::mutex> lock(pending.mutex);
    auto const* entry = pending.find(std::string_view(uuid != nullptr ? uuid : ""));
    if (entry == nullptr) {
      IPC_LOG_WARNING("received a callback for %s but no initiator callback was registered",
                      Command::kName);
      return;
    }
    unsigned int status = 0;
    Wire<unsigned int>::read_strict(members[0], status);
    if (status == NELKO_CORE_STATUS_NO_ERROR) {
      nelko_core_status converted =
          nelko::stream_layout::detail::for_each_until_failure(results, [&](auto& held, auto i) {
            using Value = std::tuple_element_t<decltype(i)::value, typename Command::Results>;
            return Wire<Value>::read_strict(members[1 + i], held);
          });
      if (converted != NELKO_CORE_STATUS_NO_ERROR) {
        IPC_LOG_WARNING("%s failed converting unsigned int array (%d)", Command::kCompletionName,
                        static_cast<int>(converted));
        return;
      }
      if constexpr (nelko::stream_layout::kIsVersionQuery<Command>) {
        check_target_version(std::get<0>(results), std::get<1>(results));
      }
    }
    typename Command::Callback callback = entry->first;
    void* user_data = entry->second;
    if (callback == nullptr) return;
    typename Registry<Command>::Call call(pending, *entry);
    lock.unlock();
    nelko::stream_layout::detail::apply_held<typename Command::Results>(
        [&](auto... value) {
          callback(first_text, static_cast<nelko_core_status>(status), value..., user_data);
        },
        results);
  } catch (...) {
    IPC_LOG_ERR("Threw an exception in function %s", Command::kCompletionName);
  }
}

#endif
