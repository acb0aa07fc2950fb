// A target for the two-process tests: answers each command with "re:" + payload. A payload
// "event:<text>" first sends <text> as an event. Prints "ready" once it listens; SIGTERM
// closes the channel and exits.
#include <signal.h>
#include <stdio.h>

#include <string>

#include "nelko_core.h"

namespace {

void answer(char** reply_to, char** uuid, char** payload, void* target) {
  std::string text = *payload;
  if (text.rfind("event:", 0) == 0) nelko_core_ipc_target_event_send(target, text.c_str() + 6);
  nelko_core_ipc_target_response_send(target, *reply_to, *uuid, ("re:" + text).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s TARGET_NAME\n", argv[0]);
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  // Blocked before the I/O thread starts, so that only sigwait below sees it.
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  void* target = nullptr;
  if (nelko_core_ipc_target_init(nullptr, argv[1], "stream_layout", "0.9", &target) !=
      NELKO_CORE_STATUS_NO_ERROR) {
    return 1;
  }
  nelko_core_ipc_target_command_receive_callback(target, answer, target);
  printf("ready\n");
  fflush(stdout);
  int signal_number = 0;
  sigwait(&stop, &signal_number);
  return nelko_core_ipc_deinit(target) == NELKO_CORE_STATUS_NO_ERROR ? 0 : 1;
}
