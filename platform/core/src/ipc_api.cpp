// The C functions of nelko_core_ipc.h: argument checks, handle kinds and the rule that nothing
// is thrown across the C boundary; the channels do the work.
#include <atomic>
#include <new>

#include "ipc_handle.h"
#include "ipc_initiator_channel.h"
#include "ipc_socket_directory.h"
#include "ipc_target_channel.h"
#include "nelko_core_channel_events.h"
#include "nelko_core_ipc.h"

using nelko::core::channel_from_handle;
using nelko::core::InitiatorChannel;
using nelko::core::IpcHandle;
using nelko::core::TargetChannel;

namespace {

template <typename Work>
nelko_core_status guarded(Work&& work) noexcept {
  try {
    return work();
  } catch (std::bad_alloc const&) {
    return NELKO_CORE_STATUS_ALLOC_FAILED;
  } catch (...) {
    return NELKO_CORE_STATUS_INTERNAL_EXCEPTION_CAUGHT;
  }
}

// Runs `work` on the channel when the handle is a channel of that kind, else INVALID_PARAMS.
template <typename Channel, typename Work>
nelko_core_status on_channel(void* handle, Work&& work) noexcept {
  Channel* channel = channel_from_handle<Channel>(handle);
  if (channel == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  return guarded([&] { return work(*channel); });
}

// The channel's own I/O thread cannot join itself: deinit is refused there.
template <typename Channel>
nelko_core_status close(Channel* channel) noexcept {
  if (channel->on_io_thread()) return NELKO_CORE_STATUS_MULTI_THREAD_ACCESS;
  channel->kind.store(IpcHandle::Kind::closed, std::memory_order_relaxed);
  return guarded([&] {
    delete channel;
    return NELKO_CORE_STATUS_NO_ERROR;
  });
}

// The calling thread's latest registration of a response function (see take_registration_mark).
struct RegistrationMark {
  void* ipc_handle = nullptr;
  void const* user = nullptr;
};
// Initial-exec: asked on every send, and reached so without a call into the dynamic linker.
__attribute__((tls_model("initial-exec"))) thread_local RegistrationMark t_registration;

}  // namespace

std::shared_ptr<nelko::core::ResponseSink> nelko::core::install_response_sink(
    void* ipc_handle, MakeResponseSink make) {
  InitiatorChannel* channel = channel_from_handle<InitiatorChannel>(ipc_handle);
  if (channel == nullptr || make == nullptr) return nullptr;
  return channel->install_sink(ipc_handle, make);
}

bool nelko::core::on_channel_thread(void* ipc_handle) {
  InitiatorChannel* channel = channel_from_handle<InitiatorChannel>(ipc_handle);
  return channel != nullptr && channel->on_io_thread();
}

nelko::core::SinkRead nelko::core::read_for_sink(void* ipc_handle, unsigned lane, int wait_ms) {
  InitiatorChannel* channel = channel_from_handle<InitiatorChannel>(ipc_handle);
  if (channel == nullptr || lane >= kLanes) return SinkRead::refused;
  try {
    return channel->read_for_sink(lane, wait_ms);
  } catch (...) {
    channel->unpark_all();  // the I/O thread reads instead
    return SinkRead::refused;
  }
}

void nelko::core::wake_sink_reader(void* ipc_handle, unsigned lane) {
  InitiatorChannel* channel = channel_from_handle<InitiatorChannel>(ipc_handle);
  if (channel != nullptr && lane < kLanes) channel->wake_sink_reader(lane);
}

unsigned nelko::core::sending_lane() { return InitiatorChannel::lane_of_this_thread(); }

void nelko::core::read_promptly(void* ipc_handle) {
  if (InitiatorChannel* channel = channel_from_handle<InitiatorChannel>(ipc_handle)) {
    channel->unpark_all();
  }
}

nelko_core_status nelko::core::send_command(void* ipc_handle, std::string_view target,
                                            std::string_view interface_name,
                                            std::string_view uuid, std::string_view payload,
                                            CommandRecord* record) {
  return on_channel<InitiatorChannel>(ipc_handle, [&](InitiatorChannel& channel) {
    return channel.send_command(target, interface_name, uuid, payload, record);
  });
}

nelko::core::ResponseSink* nelko::core::response_sink(void* ipc_handle) {
  InitiatorChannel* channel = channel_from_handle<InitiatorChannel>(ipc_handle);
  return channel != nullptr ? channel->sink() : nullptr;
}

bool nelko::core::take_registration_mark(void* ipc_handle, void const* user) {
  RegistrationMark const mark = t_registration;
  t_registration = RegistrationMark{};
  return mark.ipc_handle == ipc_handle && mark.user == user && ipc_handle != nullptr;
}

extern "C" {

nelko_core_status nelko_core_ipc_initiator_init(void* log_handle, char const* initiator_name,
                                                void** ipc_handle) {
  if (ipc_handle == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  *ipc_handle = nullptr;
  if (initiator_name == nullptr || !nelko::core::valid_initiator_name(initiator_name)) {
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  return guarded([&] {
    InitiatorChannel* channel = nullptr;
    nelko_core_status status = InitiatorChannel::open(log_handle, initiator_name, channel);
    if (status == NELKO_CORE_STATUS_NO_ERROR) *ipc_handle = static_cast<IpcHandle*>(channel);
    return status;
  });
}

nelko_core_status nelko_core_ipc_target_init(void* log_handle, char const* target_name,
                                             char const* interface_name,
                                             char const* /*interface_version*/, void** ipc_handle) {
  if (ipc_handle == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  *ipc_handle = nullptr;
  if (!nelko::core::valid_endpoint_name(target_name) || interface_name == nullptr) {
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  return guarded([&] {
    TargetChannel* channel = nullptr;
    nelko_core_status status =
        TargetChannel::open(log_handle, target_name, interface_name, channel);
    if (status == NELKO_CORE_STATUS_NO_ERROR) *ipc_handle = static_cast<IpcHandle*>(channel);
    return status;
  });
}

nelko_core_status nelko_core_ipc_deinit(void* ipc_handle) {
  if (auto* initiator = channel_from_handle<InitiatorChannel>(ipc_handle)) return close(initiator);
  if (auto* target = channel_from_handle<TargetChannel>(ipc_handle)) return close(target);
  return NELKO_CORE_STATUS_INVALID_PARAMS;
}

nelko_core_status nelko_core_ipc_initiator_command_send(void* ipc_handle, char const* target,
                                                        char const* interface_name,
                                                        char const* uuid, char const* payload) {
  return on_channel<InitiatorChannel>(ipc_handle, [&](InitiatorChannel& channel) {
    return channel.send_command(target, interface_name, uuid, payload);
  });
}

nelko_core_status nelko_core_ipc_initiator_response_receive(void* ipc_handle, int timeout_ms,
                                                            char** first, char** interface_name,
                                                            char** uuid, char** payload) {
  return on_channel<InitiatorChannel>(ipc_handle, [&](InitiatorChannel& channel) {
    return channel.receive_response(timeout_ms, first, interface_name, uuid, payload);
  });
}

nelko_core_status nelko_core_ipc_initiator_response_receive_callback(
    void* ipc_handle, initiator_response_receive_callback callback, void* user_data) {
  nelko_core_status status =
      on_channel<InitiatorChannel>(ipc_handle, [&](InitiatorChannel& channel) {
        return channel.set_response_callback(callback, user_data);
      });
  if (status == NELKO_CORE_STATUS_NO_ERROR && callback != nullptr) {
    t_registration = RegistrationMark{ipc_handle, user_data};
  }
  return status;
}

nelko_core_status nelko_core_ipc_initiator_event_receive_callback(
    void* ipc_handle, initiator_event_receive_callback callback, void* user_data) {
  return on_channel<InitiatorChannel>(ipc_handle, [&](InitiatorChannel& channel) {
    return channel.set_event_callback(callback, user_data);
  });
}

nelko_core_status nelko_core_ipc_initiator_event_subscribe(void* ipc_handle, char const* target) {
  return on_channel<InitiatorChannel>(
      ipc_handle, [&](InitiatorChannel& channel) { return channel.subscribe(target); });
}

nelko_core_status nelko_core_ipc_initiator_event_unsubscribe(void* ipc_handle, char const* target) {
  return on_channel<InitiatorChannel>(
      ipc_handle, [&](InitiatorChannel& channel) { return channel.unsubscribe(target); });
}

nelko_core_status nelko_core_ipc_target_command_receive(void* ipc_handle, unsigned int timeout_ms,
                                                        char** reply_to, char** uuid,
                                                        char** payload) {
  return on_channel<TargetChannel>(ipc_handle, [&](TargetChannel& channel) {
    return channel.receive_command(timeout_ms, reply_to, uuid, payload);
  });
}

nelko_core_status nelko_core_ipc_target_command_receive_callback(
    void* ipc_handle, target_command_receive_callback callback, void* user_data) {
  return on_channel<TargetChannel>(ipc_handle, [&](TargetChannel& channel) {
    return channel.set_command_callback(callback, user_data);
  });
}

nelko_core_status nelko_core_ipc_target_response_send(void* ipc_handle, char const* reply_to,
                                                      char const* uuid, char const* payload) {
  return on_channel<TargetChannel>(ipc_handle, [&](TargetChannel& channel) {
    return channel.send_response(reply_to, uuid, payload);
  });
}

nelko_core_status nelko_core_ipc_target_event_send(void* ipc_handle, char const* payload) {
  return on_channel<TargetChannel>(
      ipc_handle, [&](TargetChannel& channel) { return channel.send_event(payload); });
}

}  // extern "C"
