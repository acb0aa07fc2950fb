#include "target_client.h"

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "nelko_core.h"

namespace target_test {
namespace {

struct Freed {
  void operator()(char* text) const { std::free(text); }
};
using Text = std::unique_ptr<char, Freed>;

void check(nelko_core_status status, char const* what) {
  if (status != NELKO_CORE_STATUS_NO_ERROR) {
    throw std::runtime_error(std::string(what) + " failed with status " + std::to_string(status));
  }
}

}  // namespace

TargetClient::TargetClient(std::string target) : target_(std::move(target)) {
  check(nelko_core_logging_init("target_test", &log_), "nelko_core_logging_init");
  nelko_core_status const opened = nelko_core_ipc_initiator_init(log_, "target_test", &ipc_);
  if (opened != NELKO_CORE_STATUS_NO_ERROR) {
    nelko_core_logging_deinit(log_);
    check(opened, "nelko_core_ipc_initiator_init");
  }
}

TargetClient::~TargetClient() {
  nelko_core_ipc_deinit(ipc_);
  nelko_core_logging_deinit(log_);
}

std::string TargetClient::send(std::string const& payload) {
  // Distinct per request, which is all a request identifier needs to be here.
  std::string const uuid = "00000000-0000-4000-8000-" + std::to_string(100000000000 + ++sent_);
  check(nelko_core_ipc_initiator_command_send(ipc_, target_.c_str(), "stream_layout", uuid.c_str(),
                                              payload.c_str()),
        "nelko_core_ipc_initiator_command_send");
  return uuid;
}

TargetClient::Response TargetClient::receive(int timeout_ms) {
  char *first = nullptr, *interface_name = nullptr, *uuid = nullptr, *payload = nullptr;
  nelko_core_status const status = nelko_core_ipc_initiator_response_receive(
      ipc_, timeout_ms, &first, &interface_name, &uuid, &payload);
  Text const owned[] = {Text(first), Text(interface_name), Text(uuid), Text(payload)};
  check(status, "nelko_core_ipc_initiator_response_receive");
  return {uuid ? uuid : "", payload ? payload : ""};
}

rapidjson::Document TargetClient::call(std::string const& payload) {
  std::string const uuid = send(payload);
  Response response = receive();
  if (response.uuid != uuid)
    throw std::runtime_error("waited for " + uuid + ", got " + response.uuid);
  return parse(response.payload);
}

int TargetClient::status_of(std::string const& payload) {
  rapidjson::Document const response = call(payload);
  auto const status = response.FindMember("status");
  if (status == response.MemberEnd() || !status->value.IsNumber()) {
    throw std::runtime_error("response without a status");
  }
  return static_cast<int>(status->value.GetDouble());
}

rapidjson::Document parse(std::string const& text) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseFullPrecisionFlag | rapidjson::kParseNanAndInfFlag>(text.c_str());
  if (document.HasParseError() || !document.IsObject()) {
    throw std::runtime_error("not a JSON object: " + text);
  }
  return document;
}

}  // namespace target_test
