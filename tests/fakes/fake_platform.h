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
#include "nelko_core_types.h"

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
  std::vector<Registration> registrations;
  std::vector<LogLine> log;

  // Interfaces library.
  nelko_core_status send_status = NELKO_CORE_STATUS_NO_ERROR;
  bool send_throws = false;
  std::vector<Sent> sent;
  std::vector<Receive> receives;
  // Answers a receive: fills the response and returns the status. Default: 4 (time-out).
  std::function<nelko_core_status(Receive const&, json::Object&)> answer;

  // Scripts every receive to return `status` with the response parsed from `json_text`.
  void answerWith(nelko_core_status status, std::string const& json_text);
  // The log lines' texts, in order.
  std::vector<std::string> logTexts();
};

}  // namespace fake

#endif
