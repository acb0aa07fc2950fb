// stream-layout-target: serves the simulated stream_layout service until SIGTERM or SIGINT.
//
// Threads: the channel's I/O thread answers each command in its receive callback and sends the
// answer from there; with --delay-ms the answer goes to the response queue instead, whose
// thread sends it when due. The main thread only waits for a signal and then shuts everything
// down in order. Commands that arrive before the callback is registered are handed to it once
// it is, so none is lost between opening the channel and registering.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "nelko_core.h"
#include "response_queue.h"
#include "stream_layout_service.h"
#include "target_options.h"

namespace {

struct Server {
  void* ipc;
  void* log;
  bool delayed;
  target::StreamLayoutService service;
  target::ResponseQueue responses;
};

void send_reply(void* ipc, void* log, char const* reply_to, char const* uuid,
                char const* payload) {
  nelko_core_status const sent = nelko_core_ipc_target_response_send(ipc, reply_to, uuid, payload);
  if (sent != NELKO_CORE_STATUS_NO_ERROR) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_WARNING,
                           "response %s to %s not sent: status %d", uuid, reply_to,
                           static_cast<int>(sent));
  }
}

// The command callback, on the channel's I/O thread.
void answer(char** reply_to, char** uuid, char** payload, void* user) {
  auto& server = *static_cast<Server*>(user);
  if (*reply_to == nullptr || *uuid == nullptr) return;  // nobody to answer
  try {
    std::string const response = server.service.handle(*payload != nullptr ? *payload : "");
    if (server.delayed) {
      server.responses.push({*reply_to, *uuid, response});
    } else {
      send_reply(server.ipc, server.log, *reply_to, *uuid, response.c_str());
    }
  } catch (std::exception const&) {
    // Out of memory: the request goes unanswered, the initiator's time-out reports it.
  }
}

struct LogCloser {
  void operator()(void* log) const { nelko_core_logging_deinit(log); }
};
struct ChannelCloser {
  void operator()(void* ipc) const { nelko_core_ipc_deinit(ipc); }
};

int serve(target::TargetOptions const& options, sigset_t const& stop_signals) {
  void* raw_log = nullptr;
  if (nelko_core_logging_init("stream-layout-target", &raw_log) != NELKO_CORE_STATUS_NO_ERROR) {
    std::cerr << "stream-layout-target: cannot open the log\n";
    return EXIT_FAILURE;
  }
  std::unique_ptr<void, LogCloser> const log(raw_log);

  std::string const version = std::to_string(options.service.version_major) + "." +
                              std::to_string(options.service.version_minor);
  void* raw_ipc = nullptr;
  nelko_core_status const opened = nelko_core_ipc_target_init(
      log.get(), options.name.c_str(), "stream_layout", version.c_str(), &raw_ipc);
  if (opened != NELKO_CORE_STATUS_NO_ERROR) {
    nelko_core_logging_log(log.get(), NELKO_CORE_LOG_PRIORITY_ERR,
                           "cannot serve stream_layout as %s: status %d", options.name.c_str(),
                           static_cast<int>(opened));
    std::cerr << "stream-layout-target: cannot serve '" << options.name << "' (status " << opened
              << ")\n";
    return EXIT_FAILURE;
  }
  std::unique_ptr<void, ChannelCloser> ipc(raw_ipc);

  Server server{ipc.get(), log.get(), options.delay_ms > 0,
                target::StreamLayoutService(options.service),
                target::ResponseQueue(std::chrono::milliseconds(options.delay_ms),
                                      [channel = ipc.get(), log = log.get()](auto const& reply) {
                                        send_reply(channel, log, reply.reply_to.c_str(),
                                                   reply.uuid.c_str(), reply.payload.c_str());
                                      })};
  nelko_core_ipc_target_command_receive_callback(ipc.get(), answer, &server);
  std::printf("ready\n");
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stop_signals, &signal);
  // Nothing may use the channel once it closes: first the callback (removing it waits for a
  // call in progress), then the sender stop.
  nelko_core_ipc_target_command_receive_callback(ipc.get(), nullptr, &server);
  server.responses.stop();
  ipc.reset();
  return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::string const program = argc > 0 ? argv[0] : "stream-layout-target";
  target::ParsedCommandLine const parsed = target::parse_command_line(argc, argv);
  switch (parsed.action) {
    case target::ParsedCommandLine::Action::kHelp:
      std::cout << target::help_text(program);
      return EXIT_SUCCESS;
    case target::ParsedCommandLine::Action::kVersion:
      std::cout << "stream-layout-target " NELKO_PROJECT_VERSION "\n";
      return EXIT_SUCCESS;
    case target::ParsedCommandLine::Action::kUsageError:
      std::cerr << program << ": " << parsed.error << '\n' << target::usage_text(program);
      return 2;
    case target::ParsedCommandLine::Action::kRun:
      break;
  }

  // A parent may have left these ignored, which would discard them before sigwait sees them.
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGINT, SIG_DFL);
  // Blocked before any thread starts, so every thread inherits the mask and only sigwait below
  // ever takes these signals.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // A peer that goes away while we write to it must not kill the service.
  std::signal(SIGPIPE, SIG_IGN);
  return serve(parsed.options, stop_signals);
}
