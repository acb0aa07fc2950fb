// Starting this build's programs from tests, the soak run and benchmarks: a program run to
// completion with its output captured, and stream-layout-target kept running in a private IPC
// directory. A cross build runs them through its emulator, as ctest runs the tests themselves.
#ifndef NELKO_TEST_SUPPORT_CHILD_PROCESS_H
#define NELKO_TEST_SUPPORT_CHILD_PROCESS_H

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "scratch_directory.h"

namespace nelko {
namespace test {

// The command that runs one of this build's programs: the program itself, or the cross build's
// emulator followed by it.
std::vector<std::string> built_program(std::string const& program);

// This build's stream-layout-target.
std::string target_program();

struct RunResult {
  int exit_status = -1;  // -1 when the program was killed by a signal (a crash) or timed out
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};

// Runs `command` (program and arguments) with NELKO_IPC_DIR=ipc_dir, feeding `input` on standard
// input; kills it after `limit`.
RunResult run(std::vector<std::string> const& command, std::string const& ipc_dir,
              std::string const& input = "",
              std::chrono::milliseconds limit = std::chrono::seconds(60));

// stream-layout-target in another process, in a scratch IPC directory of its own.
class TargetProcess {
 public:
  // Starts the target with these options and waits until it says it is ready (throws
  // std::runtime_error when it does not within 10 s). NELKO_IPC_DIR is set for this process too,
  // a fresh directory per TargetProcess.
  explicit TargetProcess(std::vector<std::string> options = {},
                         std::string const& program = target_program());
  ~TargetProcess();
  TargetProcess(TargetProcess const&) = delete;
  TargetProcess& operator=(TargetProcess const&) = delete;

  // Sends `signo` (to a stopped target as well) and waits for the end; returns the exit status,
  // or 128 + the signal that ended it.
  int stop(int signo = SIGTERM);
  // Starts it again with the same options, in the same directory.
  void restart();
  std::string const& ipc_dir() const { return ipc_dir_.path(); }
  pid_t pid() const { return pid_; }

 private:
  void start();

  std::vector<std::string> command_;
  ScratchDirectory ipc_dir_;
  pid_t pid_ = -1;
};

}  // namespace test
}  // namespace nelko

#endif
