// Talks raw JSON to stream-layout-target (started by TargetProcess, which also sets
// NELKO_IPC_DIR) through the initiator side of the core's IPC.
#ifndef TARGET_TEST_TARGET_HARNESS_H
#define TARGET_TEST_TARGET_HARNESS_H

#include <rapidjson/document.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"

namespace target_test {

using nelko::test::TargetProcess;

class TargetClient {
 public:
  explicit TargetClient(std::string target = "stream_layout");
  ~TargetClient();
  TargetClient(TargetClient const&) = delete;
  TargetClient& operator=(TargetClient const&) = delete;

  std::string send(std::string const& payload);  // returns the request identifier
  // The identifier and the parsed payload of the next response; throws if none comes in time.
  std::pair<std::string, rapidjson::Document> receive();
  rapidjson::Document call(std::string const& payload);
  int status_of(std::string const& payload);

 private:
  std::string const target_;
  void* log_ = nullptr;
  void* ipc_ = nullptr;
  unsigned int sent_ = 0;
};

// The nine layout values of one placement, in the order of the layout members.
using Placement = std::array<unsigned int, 9>;
extern std::array<char const*, 9> const kLayoutKeys;
std::string set_layout_request(unsigned int stream, std::vector<Placement> const& layout);

}  // namespace target_test

#endif
