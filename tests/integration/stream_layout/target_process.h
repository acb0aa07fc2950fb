// Runs stream-layout-target in another process, in a private IPC directory, for a test; the
// stream_layout, target and cli suites share it.
#ifndef NELKO_TESTS_TARGET_PROCESS_H
#define NELKO_TESTS_TARGET_PROCESS_H

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

class TargetProcess {
 public:
  // Starts the target with these options and waits until it says it is ready. NELKO_IPC_DIR is
  // set for this process too, a fresh directory per TargetProcess.
  explicit TargetProcess(std::vector<std::string> options = {});
  ~TargetProcess();
  TargetProcess(TargetProcess const&) = delete;
  TargetProcess& operator=(TargetProcess const&) = delete;

  void signal(int signo) const;
  // Sends `signo` (to a stopped target as well) and waits for the end; returns the exit status,
  // or 128 + the signal that ended it.
  int stop(int signo = SIGTERM);
  // Starts it again with the same options, in the same directory.
  void restart();
  std::string const& ipcDir() const { return m_ipcDir; }

 private:
  void start();

  std::vector<std::string> m_options;
  std::string m_ipcDir;
  pid_t m_pid = -1;
};

#endif
