#include "target_harness.h"

#include <cstdlib>
#include <stdexcept>

#include "nelko_core.h"

namespace target_test {
namespace {

void check(nelko_core_status status, char const* what) {
  if (status != NELKO_CORE_STATUS_NO_ERROR) {
    throw std::runtime_error(std::string(what) + ": status " + std::to_string(status));
  }
}

}  // namespace

TargetClient::TargetClient(std::string target) : target_(std::move(target)) {
  check(nelko_core_logging_init("target_test", &log_), "nelko_core_logging_init");
  check(nelko_core_ipc_initiator_init(log_, "target_test", &ipc_), "nelko_core_ipc_initiator_init");
}

TargetClient::~TargetClient() {
  nelko_core_ipc_deinit(ipc_);
  nelko_core_logging_deinit(log_);
}

std::string TargetClient::send(std::string const& payload) {
  std::string const uuid = "00000000-0000-4000-8000-" + std::to_string(100000000000 + ++sent_);
  check(nelko_core_ipc_initiator_command_send(ipc_, target_.c_str(), "stream_layout", uuid.c_str(),
                                              payload.c_str()),
        "nelko_core_ipc_initiator_command_send");
  return uuid;
}

std::pair<std::string, rapidjson::Document> TargetClient::receive() {
  char *first = nullptr, *interface_name = nullptr, *uuid = nullptr, *payload = nullptr;
  nelko_core_status const status = nelko_core_ipc_initiator_response_receive(
      ipc_, 3000, &first, &interface_name, &uuid, &payload);
  std::string const id = uuid ? uuid : "", text = payload ? payload : "";
  for (char* owned : {first, interface_name, uuid, payload}) std::free(owned);
  check(status, "nelko_core_ipc_initiator_response_receive");
  rapidjson::Document response;
  response.Parse<rapidjson::kParseFullPrecisionFlag | rapidjson::kParseNanAndInfFlag>(text.c_str());
  if (response.HasParseError() || !response.IsObject() || !response.HasMember("status") ||
      !response["status"].IsNumber()) {
    throw std::runtime_error("not a response: " + text);
  }
  return {id, std::move(response)};
}

rapidjson::Document TargetClient::call(std::string const& payload) {
  std::string const uuid = send(payload);
  auto [answered, response] = receive();
  if (answered != uuid) throw std::runtime_error("waited for " + uuid + ", got " + answered);
  return std::move(response);
}

int TargetClient::status_of(std::string const& payload) {
  return static_cast<int>(call(payload)["status"].GetDouble());
}

std::array<char const*, 9> const kLayoutKeys = {"source_upper_left_x_millipercent",
                                                "source_upper_left_y_millipercent",
                                                "source_width_millipercent",
                                                "source_height_millipercent",
                                                "destination_type",
                                                "destination_upper_left_x_millipercent",
                                                "destination_upper_left_y_millipercent",
                                                "destination_width_millipercent",
                                                "destination_height_millipercent"};

std::string set_layout_request(unsigned int stream, std::vector<Placement> const& layout) {
  std::string text = R"({"command":"Set_stream_layout","stream_index":)" + std::to_string(stream);
  for (std::size_t key = 0; key < kLayoutKeys.size(); ++key) {
    text += std::string(",\"") + kLayoutKeys[key] + "\":[";
    for (std::size_t i = 0; i < layout.size(); ++i) {
      text += (i ? "," : "") + std::to_string(layout[i][key]);
    }
    text += "]";
  }
  return text + "}";
}

}  // namespace target_test
