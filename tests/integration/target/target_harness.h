// Runs the built stream-layout-target in a child process and talks raw JSON to it through the
// initiator side of the core's IPC. Every target gets its own name; NELKO_IPC_DIR is set once
// for the whole test program (test_main.cpp).
#ifndef TARGET_TEST_TARGET_HARNESS_H
#define TARGET_TEST_TARGET_HARNESS_H

#include <rapidjson/document.h>
#include <sys/types.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace target_test {

std::string unique_target_name();

class TargetProcess {
 public:
  // Returns once the target printed "ready"; throws if it did not within a few seconds.
  explicit TargetProcess(std::vector<std::string> const& arguments);
  ~TargetProcess();  // SIGKILL if still running
  TargetProcess(TargetProcess const&) = delete;
  TargetProcess& operator=(TargetProcess const&) = delete;

  // Sends `signal`; the exit status if the target ends within timeout_ms, else -1.
  int stop_with(int signal, int timeout_ms);

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;  // kept open: the target must never write into a closed pipe
};

// Runs a target that is expected to end by itself; its exit status and its merged output.
std::pair<int, std::string> run_to_end(std::string const& arguments);

class TargetClient {
 public:
  explicit TargetClient(std::string target);
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
