// Runs the built stream-layout-target in a child process for the tests.
#ifndef TARGET_TEST_TARGET_PROCESS_H
#define TARGET_TEST_TARGET_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace target_test {

class TargetProcess {
 public:
  // Starts the target with these arguments and returns once it printed "ready"; throws if it
  // did not within a few seconds. The child inherits NELKO_IPC_DIR.
  explicit TargetProcess(std::vector<std::string> const& arguments);
  // Stops the child with SIGKILL if it still runs.
  ~TargetProcess();
  TargetProcess(TargetProcess const&) = delete;
  TargetProcess& operator=(TargetProcess const&) = delete;

  // Sends `signal` and waits up to `timeout_ms` for the child to end. Returns its exit status,
  // or -1 when it was killed by a signal or did not end in time (it is then killed).
  int stop_with(int signal, int timeout_ms);

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;  // kept open so that the child never writes into a closed pipe
};

// Runs the target to completion with these arguments; returns its exit status and what it
// printed on standard output and standard error, together.
struct Finished {
  int status;
  std::string output;
};
Finished run_target(std::vector<std::string> const& arguments);

// A target name not used before in this test process.
std::string unique_target_name();

}  // namespace target_test

#endif
