#include "fake_platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "json/text.h"
#include "nelko_core.h"
#include "nelko_initiator_interfaces.h"

namespace fake {

namespace {
thread_local void* t_deliveringChannel = nullptr;
}

Platform& Platform::get() {
  static Platform platform;
  return platform;
}

void Platform::reset() {
  std::lock_guard<std::mutex> lock(mutex);
  init_status = deinit_status = register_status = send_status = NELKO_CORE_STATUS_NO_ERROR;
  send_throws = false;
  init_names.clear();
  deinits.clear();
  refused_deinits.clear();
  registrations.clear();
  log.clear();
  sent.clear();
  receives.clear();
  answer = nullptr;
}

void Platform::answer_with(nelko_core_status status, std::string const& json_text) {
  answer = [status, json_text](Receive const&, json::Object& response) {
    json::Read(response, json_text);
    return status;
  };
}

bool Platform::deliver(void* user, char const* command, std::string uuid, std::string json_text) {
  Registration latest{};
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto const& registration : registrations) {
      if (registration.user == user) latest = registration;
    }
  }
  if (latest.function == nullptr) return false;
  std::string first = "stream_layout", name = command;
  char* texts[4] = {&first[0], &name[0], &uuid[0], &json_text[0]};
  void* const outer = t_deliveringChannel;
  t_deliveringChannel = latest.channel;
  latest.function(&texts[0], &texts[1], &texts[2], &texts[3], user);
  t_deliveringChannel = outer;
  return true;
}

std::vector<std::string> Platform::log_texts() {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::string> texts;
  for (auto const& line : log) texts.push_back(line.text);
  return texts;
}

}  // namespace fake

using fake::Platform;

extern "C" {

nelko_core_status nelko_core_ipc_initiator_init(void*, char const* name, void** ipc_handle) {
  Platform& p = Platform::get();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.init_names.push_back(name != nullptr ? name : "(null)");
  if (p.init_status != NELKO_CORE_STATUS_NO_ERROR) return p.init_status;
  *ipc_handle = p.opened_channel;
  return NELKO_CORE_STATUS_NO_ERROR;
}

nelko_core_status nelko_core_ipc_deinit(void* ipc_handle) {
  Platform& p = Platform::get();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (ipc_handle == fake::t_deliveringChannel) {
    p.refused_deinits.push_back(ipc_handle);
    return NELKO_CORE_STATUS_MULTI_THREAD_ACCESS;
  }
  p.deinits.push_back(ipc_handle);
  return p.deinit_status;
}

nelko_core_status nelko_core_ipc_initiator_response_receive_callback(
    void* ipc_handle, initiator_response_receive_callback callback, void* user) {
  Platform& p = Platform::get();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.registrations.push_back({ipc_handle, callback == nullptr, user, callback});
  return callback == nullptr ? NELKO_CORE_STATUS_NO_ERROR : p.register_status;
}

nelko_core_status nelko_core_logging_logv(void* handle, nelko_core_log_priority priority,
                                          char const* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  Platform& p = Platform::get();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.log.push_back({handle, static_cast<int>(priority), text});
  return NELKO_CORE_STATUS_NO_ERROR;
}

unsigned int** nelko_core_alloc_uint_array(unsigned int n) {
  auto** array = static_cast<unsigned int**>(std::calloc(n + 1, sizeof(unsigned int*)));
  for (unsigned int i = 0; i < n; ++i) {
    array[i] = static_cast<unsigned int*>(std::calloc(1, sizeof(unsigned int)));
  }
  return array;
}

void nelko_core_free_uint_array(unsigned int** array) {
  if (array == nullptr) return;
  for (unsigned int** cell = array; *cell != nullptr; ++cell) std::free(*cell);
  std::free(array);
}

}  // extern "C"

nelko_core_status nelkoInitiatorInterfaces::basicSendCommand(char const* interface_name,
                                                             char const* target, char const* uuid,
                                                             json::Object const& command) {
  Platform& p = Platform::get();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (p.send_throws) throw std::runtime_error("interfaces library failure");
  p.sent.push_back({interface_name, target != nullptr ? target : "(null)", uuid, command});
  return p.send_status;
}

nelko_core_status nelkoInitiatorInterfaces::basicReceiveResponse(int timeout, char const*,
                                                                 char const*, char const* uuid,
                                                                 char const* command_name,
                                                                 json::Object& response) {
  Platform& p = Platform::get();
  fake::Receive call{timeout, uuid, command_name};
  std::function<nelko_core_status(fake::Receive const&, json::Object&)> answer;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    p.receives.push_back(call);
    answer = p.answer;
  }
  return answer ? answer(call, response) : NELKO_CORE_STATUS_IPC_FAILED;
}

void nelkoInitiatorInterfaces::initiatorResponseCallback(char** first, char** command, char** uuid,
                                                         char** payload) {
  json::Object response;
  json::Read(response, *payload);
  subclassResponseDispatch(*command, *first, *uuid, response);
}
