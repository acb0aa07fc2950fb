#include "fault_plan.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cstdio>

namespace nelko::target {

std::string command_of(std::string_view request) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNanAndInfFlag>(request.data(),
                                                                                 request.size());
  if (document.HasParseError() || !document.IsObject()) return {};
  auto const command = document.FindMember("command");
  if (command == document.MemberEnd() || !command->value.IsString()) return {};
  return {command->value.GetString(), command->value.GetStringLength()};
}

Decision decide(FaultPlan const& plan, std::string_view request, unsigned long number) {
  Decision decision;
  if (plan.drop_at != 0 && number == plan.drop_at) {
    decision.action = Decision::Action::kDrop;
    return decision;
  }
  if (plan.fail.empty() && plan.delay.empty()) return decision;
  std::string const command = command_of(request);
  auto const named = [&command](auto const& entry) { return entry.first == command; };
  if (auto const it = std::find_if(plan.fail.begin(), plan.fail.end(), named);
      it != plan.fail.end()) {
    decision.action = Decision::Action::kFail;
    decision.status = it->second;
  }
  if (auto const it = std::find_if(plan.delay.begin(), plan.delay.end(), named);
      it != plan.delay.end()) {
    decision.delay = std::chrono::milliseconds(it->second);
  }
  return decision;
}

std::string trace_text(std::string_view payload) {
  constexpr std::size_t kShown = 2000;
  std::string text;
  for (char c : payload.substr(0, kShown)) {
    auto const byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '\\') {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      text += escaped;
    } else {
      text += c;
    }
  }
  if (payload.size() > kShown) text += "... (" + std::to_string(payload.size()) + " bytes)";
  return text;
}

}  // namespace nelko::target
