// What stream-layout-target does instead of answering normally, so that a client's error
// handling can be exercised: answer a command with a chosen status, answer one command late,
// drop every connection when the n-th request arrives. Also the text of --trace.
#ifndef STREAM_LAYOUT_TARGET_FAULT_PLAN_H
#define STREAM_LAYOUT_TARGET_FAULT_PLAN_H

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nelko::target {

struct FaultPlan {
  std::vector<std::pair<std::string, int>> fail;            // command, status to answer with
  std::vector<std::pair<std::string, unsigned int>> delay;  // command, extra delay in ms
  unsigned int drop_at = 0;                                 // 1-based request number; 0 never
  bool empty() const { return fail.empty() && delay.empty() && drop_at == 0; }
};

// What to do with one request.
struct Decision {
  enum class Action { kAnswer, kFail, kDrop } action = Action::kAnswer;
  int status = 0;                          // for kFail
  std::chrono::milliseconds delay{0};      // extra delay of the answer, for kAnswer and kFail
};

// `number` counts the requests the service received, from 1, over every connection.
Decision decide(FaultPlan const& plan, std::string_view request, unsigned long number);

// The "command" member of a request; empty when there is none or the text is not JSON.
std::string command_of(std::string_view request);

// A payload as one line for the trace: control bytes and backslashes as \xNN, at most 2000
// bytes of it followed by how long it was.
std::string trace_text(std::string_view payload);

}  // namespace nelko::target

#endif
