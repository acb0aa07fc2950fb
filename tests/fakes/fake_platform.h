// A scripted stand-in for the core and interfaces libraries, linked into the unit tests in place
// of the real ones: it records every call the initiator makes, returns the statuses a test
// chooses, answers synchronous receives from a script and captures log lines.
#ifndef NELKO_TESTS_FAKE_PLATFORM_H
#define NELKO_TESTS_FAKE_PLATFORM_H

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "json/elements.h"
#include "nelko_core_ipc.h"

namespace fake {

struct LogLine {
  void* handle;
  int priority;
  std::string text;
};

struct Sent {
  std::string interface_name;
  std::string target;
  std::string uuid;
  json::Object command;
};

struct Receive {
  int timeout;
  std::string uuid;
  std::string command;
};

struct Registration {
  void* channel;
  bool withdraw;  // registered with a null function
  void* user;
  initiator_response_receive_callback function;
};

struct Platform {
  static Platform& get();
  // Back to defaults: every call succeeds, receives time out (4).
  void reset();

  std::mutex mutex;  // guards everything below while other threads run

  // Core library.
  void* const opened_channel = reinterpret_cast<void*>(0x5eed);
  nelko_core_status init_status = NELKO_CORE_STATUS_NO_ERROR;
  nelko_core_status deinit_status = NELKO_CORE_STATUS_NO_ERROR;
  nelko_core_status register_status = NELKO_CORE_STATUS_NO_ERROR;
  std::vector<std::string> init_names;
  std::vector<void*> deinits;
  // Closes refused with 3, as the core refuses them, because they ran on a thread that was
  // delivering a response of that channel (standing in for the channel's I/O thread).
  std::vector<void*> refused_deinits;
  std::vector<Registration> registrations;
  std::vector<LogLine> log;

  // Interfaces library.
  nelko_core_status send_status = NELKO_CORE_STATUS_NO_ERROR;
  bool send_throws = false;
  std::vector<Sent> sent;
  std::vector<Receive> receives;
  // Answers a receive: fills the response and returns the status. Default: 4 (time-out).
  std::function<nelko_core_status(Receive const&, json::Object&)> answer;

  // Delivers a response to `user` as the core and interfaces libraries would: through the response
  // function that `user` registered last, on the calling thread, which stands for the channel's
  // I/O thread meanwhile. The fake interfaces library hands (command, first text "stream_layout",
  // uuid, response parsed from json_text) to subclassResponseDispatch. False when `user` has no
  // response function registered.
  bool deliver(void* user, char const* command, std::string uuid, std::string json_text);

  // Scripts every receive to return `status` with the response parsed from `json_text`.
  void answer_with(nelko_core_status status, std::string const& json_text);
  // The log lines' texts, in order.
  std::vector<std::string> log_texts();
};

}  // namespace fake

#endif
