// The generic members of IStream_layoutInitiator; included by its header only.
#ifndef NELKO_INITIATOR_I_STREAM_LAYOUT_INITIATOR_IMPL_H
#define NELKO_INITIATOR_I_STREAM_LAYOUT_INITIATOR_IMPL_H

#include <cstdlib>
#include <string_view>
#include <type_traits>

namespace stream_layout {

inline void putParam(json::Object& request, char const* name, unsigned int value) {
  request[name] = json::Number(static_cast<double>(value));
}
inline void putParam(json::Object& request, char const* name, double value) {
  request[name] = json::Number(value);
}
inline void putParam(json::Object& request, char const* name, List list) {
  request[name] = listToJsonArray(list);
}

// A result as a completion holds it until the client function has returned: values as they are,
// lists in a holder that frees them on every way out.
template <typename T>
struct HeldResult {
  T value{};
  T get() const { return value; }
};
template <>
struct HeldResult<List> {
  nelko::lib::cScopedPointerList<unsigned int> list;
  List get() const { return list.get(); }
};

template <typename Tuple>
struct HeldResultsOf;
template <typename... T>
struct HeldResultsOf<std::tuple<T...>> {
  using type = std::tuple<HeldResult<T>...>;
};

inline void readStrict(json::Object const& response, char const* name, HeldResult<unsigned int>& out) {
  out.value = toUnsigned(strict<json::Number>(response, name));
}
inline void readStrict(json::Object const& response, char const* name, HeldResult<double>& out) {
  out.value = strict<json::Number>(response, name);
}
inline nelko_core_status readStrict(json::Object const& response, char const* name,
                                    HeldResult<List>& out) {
  return convertJsonArrayToList(strict<json::Array>(response, name), out.list.address());
}

// Applies f to every element of a tuple together with its index, in order, until f returns a
// non-zero status; returns that status.
template <typename Tuple, typename F, std::size_t... I>
nelko_core_status forEachUntilFailure(Tuple&& tuple, F&& f, std::index_sequence<I...>) {
  nelko_core_status status = NELKO_CORE_STATUS_NO_ERROR;
  (void)((status = f(std::get<I>(tuple), I), status == NELKO_CORE_STATUS_NO_ERROR) && ...);
  return status;
}
template <typename Tuple, typename F>
nelko_core_status forEachUntilFailure(Tuple&& tuple, F&& f) {
  constexpr std::size_t n = std::tuple_size<std::decay_t<Tuple>>::value;
  return forEachUntilFailure(std::forward<Tuple>(tuple), std::forward<F>(f),
                             std::make_index_sequence<n>());
}

}  // namespace stream_layout

template <typename Command, typename Values>
nelko_core_status IStream_layoutInitiator::refuseNullList(Values const& values) const {
  return stream_layout::forEachUntilFailure(values, [&](auto const& value, std::size_t i) {
    if constexpr (std::is_same<std::decay_t<decltype(value)>, stream_layout::List>::value) {
      if (value == nullptr) {
        IPC_LOG_WARNING("Initiator:%s called with null input pointer %s",
                        "stream_layout_set_stream_layout_utility_send", Command::kParamNames[i]);
        return NELKO_CORE_STATUS_INVALID_PARAMS;
      }
    }
    (void)i;
    return NELKO_CORE_STATUS_NO_ERROR;
  });
}

template <typename Command>
nelko_core_status IStream_layoutInitiator::sendRequest(char const* target, char const* uuid,
                                                       typename Command::Params const& params) {
  try {
    nelko_core_status status = refuseNullList<Command>(params);
    if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
    json::Object request;
    request["command"] = json::String(Command::kName);
    stream_layout::forEachUntilFailure(params, [&](auto const& value, std::size_t i) {
      stream_layout::putParam(request, Command::kParamNames[i], value);
      return NELKO_CORE_STATUS_NO_ERROR;
    });
    return basicSendCommand(stream_layout::kInterfaceName, target, uuid, request);
  } catch (...) {
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
}

template <typename Command>
nelko_core_status IStream_layoutInitiator::readResult(json::Object& response, char const* name,
                                                      unsigned int* out) {
  *out = stream_layout::toUnsigned(stream_layout::lenient<json::Number>(response, name));
  return NELKO_CORE_STATUS_NO_ERROR;
}

template <typename Command>
nelko_core_status IStream_layoutInitiator::readResult(json::Object& response, char const* name,
                                                      double* out) {
  *out = stream_layout::lenient<json::Number>(response, name);
  return NELKO_CORE_STATUS_NO_ERROR;
}

template <typename Command>
nelko_core_status IStream_layoutInitiator::readResult(json::Object& response, char const* name,
                                                      unsigned int*** out) {
  nelko_core_status status =
      convertJsonArrayToList(stream_layout::lenient<json::Array>(response, name), out);
  if (status != NELKO_CORE_STATUS_NO_ERROR) {
    IPC_LOG_WARNING("%s:failed converting UINT array (%d)",
                    "stream_layout_get_stream_layout_receive", static_cast<int>(status));
  }
  return status;
}

template <typename Command>
nelko_core_status IStream_layoutInitiator::receiveResponse(char const* target, int timeout,
                                                           void* uuid, Outs<Command> const& outs,
                                                           bool& uuid_released) {
  uuid_released = false;
  json::Object response;
  nelko_core_status status =
      basicReceiveResponse(timeout, stream_layout::kInterfaceName, target,
                           static_cast<char const*>(uuid), Command::kName, response);
  if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
  if constexpr (stream_layout::kIsVersionQuery<Command>) {
    std::free(uuid);
    uuid_released = true;
  }
  status = stream_layout::forEachUntilFailure(outs, [&](auto out, std::size_t i) {
    return readResult<Command>(response, Command::kResultNames[i], out);
  });
  if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
  if constexpr (stream_layout::kIsVersionQuery<Command>) {
    checkTargetVersion(*std::get<0>(outs), *std::get<1>(outs));
  }
  if constexpr (!stream_layout::kIsVersionQuery<Command>) {
    std::free(uuid);
    uuid_released = true;
  }
  return NELKO_CORE_STATUS_NO_ERROR;
}

template <typename Command>
void IStream_layoutInitiator::complete(char* first_text, char* uuid,
                                       json::Object const& response) {
  Registry<Command>& pending = registry<Command>();
  try {
    // Declared before the lock so that lists are released after it, on every way out.
    typename stream_layout::HeldResultsOf<typename Command::Results>::type results;
    boost::unique_lock<boost::mutex> lock(pending.mutex);
    auto entry = pending.entries.find(std::string_view(uuid != nullptr ? uuid : ""));
    if (entry == pending.entries.end()) {
      IPC_LOG_WARNING("received a callback for %s but no initiator callback was registered",
                      Command::kName);
      return;
    }
    unsigned int status =
        stream_layout::toUnsigned(stream_layout::strict<json::Number>(response, "status"));
    if (status == NELKO_CORE_STATUS_NO_ERROR) {
      nelko_core_status converted =
          stream_layout::forEachUntilFailure(results, [&](auto& held, std::size_t i) {
            if constexpr (std::is_same<std::decay_t<decltype(held)>,
                                       stream_layout::HeldResult<stream_layout::List>>::value) {
              return stream_layout::readStrict(response, Command::kResultNames[i], held);
            } else {
              stream_layout::readStrict(response, Command::kResultNames[i], held);
              return NELKO_CORE_STATUS_NO_ERROR;
            }
          });
      if (converted != NELKO_CORE_STATUS_NO_ERROR) {
        IPC_LOG_WARNING("%s failed converting unsigned int array (%d)", Command::kCompletion,
                        static_cast<int>(converted));
        return;
      }
      if constexpr (stream_layout::kIsVersionQuery<Command>) {
        checkTargetVersion(std::get<0>(results).value, std::get<1>(results).value);
      }
    }
    typename Command::Callback callback = entry->second.first;
    void* user_data = entry->second.second;
    if (callback == nullptr) return;
    typename Registry<Command>::Call call(pending, entry->second);
    lock.unlock();
    std::apply(
        [&](auto const&... held) {
          callback(first_text, static_cast<nelko_core_status>(status), held.get()..., user_data);
        },
        results);
  } catch (...) {
    IPC_LOG_ERR("Threw an exception in function %s", Command::kCompletion);
  }
}

#endif
