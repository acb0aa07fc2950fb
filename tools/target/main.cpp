// stream-layout-target: serves the simulated stream_layout service until SIGTERM or SIGINT.
//
// Threads: a reader pulls each command from the channel, answers it at once and queues the
// answer; the response queue's thread sends it when due; the main thread only waits for a signal
// and then shuts everything down in order. Pulling rather than a receive callback means no
// command can arrive before anyone listens: the channel keeps them from its first moment.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "nelko_core.h"
#include "response_queue.h"
#include "stream_layout_service.h"
#include "target_options.h"

namespace {

struct Server {
  target::StreamLayoutService service;
  target::ResponseQueue responses;
};

// A pull cannot be interrupted, so it waits briefly and shutdown is never held up for longer.
constexpr unsigned int kPullMs = 100;

struct TextFreer {
  void operator()(char* text) const { std::free(text); }
};
using OwnedText = std::unique_ptr<char, TextFreer>;

void read_commands(void* ipc, void* log, Server& server, std::atomic<bool> const& stopping) {
  while (!stopping) {
    char *reply_to = nullptr, *uuid = nullptr, *payload = nullptr;
    nelko_core_status const got =
        nelko_core_ipc_target_command_receive(ipc, kPullMs, &reply_to, &uuid, &payload);
    OwnedText const owned[] = {OwnedText(reply_to), OwnedText(uuid), OwnedText(payload)};
    if (got == NELKO_CORE_STATUS_IPC_FAILED) continue;  // nothing came in time
    if (got != NELKO_CORE_STATUS_NO_ERROR) {
      nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR, "receiving a command: status %d",
                             static_cast<int>(got));
      std::this_thread::sleep_for(std::chrono::milliseconds(kPullMs));
      continue;
    }
    if (!reply_to || !uuid) continue;  // nobody to answer
    try {
      server.responses.push({reply_to, uuid, server.service.handle(payload ? payload : "")});
    } catch (std::exception const&) {
      // Out of memory: the request goes unanswered, the initiator's time-out reports it.
    }
  }
}

void send_reply(void* ipc, void* log, target::Reply const& reply) {
  nelko_core_status const sent = nelko_core_ipc_target_response_send(
      ipc, reply.reply_to.c_str(), reply.uuid.c_str(), reply.payload.c_str());
  if (sent != NELKO_CORE_STATUS_NO_ERROR) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_WARNING,
                           "response %s to %s not sent: status %d", reply.uuid.c_str(),
                           reply.reply_to.c_str(), static_cast<int>(sent));
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

  Server server{target::StreamLayoutService(options.service),
                target::ResponseQueue(std::chrono::milliseconds(options.delay_ms),
                                      [channel = ipc.get(), log = log.get()](auto const& reply) {
                                        send_reply(channel, log, reply);
                                      })};
  std::atomic<bool> stopping{false};
  std::thread reader(read_commands, ipc.get(), log.get(), std::ref(server), std::cref(stopping));
  std::printf("ready\n");
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stop_signals, &signal);
  // Nothing may use the channel once it closes: first the reader, then the sender stop.
  stopping = true;
  reader.join();
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
