// stream-layout-target: serves the simulated stream_layout service until SIGTERM or SIGINT.
//
// Threads: the channel's I/O thread answers each command in its receive callback and sends the
// answer from there; an answer that is to come late (--delay-ms, --delay) goes to the response
// queue instead, whose thread sends it when due. The main thread waits for a signal: SIGTERM
// and SIGINT shut everything down in order; SIGUSR1, raised by the callback for --drop-at,
// closes the channel (and with it every connection) and opens it again. Commands that arrive
// before the callback is registered are handed to it once it is, so none is lost between opening
// the channel and registering. Only the callback uses the service, so one thread at a time, which
// the service relies on: removing the callback waits for a call in progress, so the reopened
// channel's I/O thread takes over only after the old one is done with it.
#include <chrono>
#include <csignal>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "fault_plan.h"
#include "nelko_core.h"
#include "response_queue.h"
#include "stream_layout_service.h"
#include "target_options.h"

namespace {

struct Server {
  // Held by the response queue's thread while it sends, and by the main thread while it
  // reopens the channel (--drop-at); the callback does not need it, as it is unregistered then.
  std::mutex channel_mutex;
  void* ipc;
  void* log;
  nelko::target::TargetOptions const& options;
  nelko::target::StreamLayoutService service;
  nelko::target::ResponseQueue responses;
  unsigned long requests = 0;  // counted on the I/O thread only
  // The requests up to this number came on connections that --drop-at closed: their late
  // answers are not sent, since the reopened channel numbers its connections afresh and a reply
  // address of a closed connection may name a new one. Guarded by channel_mutex.
  unsigned long dropped_through = 0;
};

void trace(unsigned long number, char const* direction, std::string_view reply_to,
           std::string_view uuid, std::string_view payload) {
  std::fprintf(stderr, "trace: #%lu %s %s %s %s\n", number, direction,
               nelko::target::trace_text(reply_to).c_str(), nelko::target::trace_text(uuid).c_str(),
               nelko::target::trace_text(payload).c_str());
}

// `payload` is followed by a NUL byte.
void send_reply(Server const& server, char const* reply_to, char const* uuid,
                std::string_view payload, unsigned long number) {
  if (server.options.trace) trace(number, "->", reply_to, uuid, payload);
  nelko_core_status const sent =
      nelko_core_ipc_target_response_send(server.ipc, reply_to, uuid, payload.data());
  if (sent != NELKO_CORE_STATUS_NO_ERROR) {
    nelko_core_logging_log(server.log, NELKO_CORE_LOG_PRIORITY_WARNING,
                           "response %s to %s not sent: status %d", uuid, reply_to,
                           static_cast<int>(sent));
  }
}

// The command callback, on the channel's I/O thread. A response sent at once is written into
// a buffer that the thread reuses and sent from the texts the core handed over, so answering
// does not allocate; only a response that is to wait is copied into the queue.
void answer(char** reply_to, char** uuid, char** payload, void* user) {
  auto& server = *static_cast<Server*>(user);
  if (*reply_to == nullptr || *uuid == nullptr) return;  // nobody to answer
  try {
    std::string_view const request = *payload != nullptr ? *payload : "";
    unsigned long const number = ++server.requests;
    if (server.options.trace) trace(number, "<-", *reply_to, *uuid, request);
    nelko::target::Decision const decision = nelko::target::decide(server.options.faults, request, number);
    if (decision.action == nelko::target::Decision::Action::kDrop) {
      if (server.options.trace) {
        std::fprintf(stderr, "trace: #%lu dropped: every connection closes\n", number);
      }
      // The channel cannot be closed from its own I/O thread: the main thread does it.
      kill(getpid(), SIGUSR1);
      return;
    }
    thread_local std::string buffer;
    std::string_view response;
    if (decision.action == nelko::target::Decision::Action::kFail) {
      buffer = "{\"status\":" + std::to_string(decision.status) + "}";
      response = buffer;
    } else {
      response = server.service.respond(request, buffer);
    }
    if (server.options.delay_ms > 0 || decision.delay.count() > 0) {
      server.responses.push({*reply_to, *uuid, std::string(response), number}, decision.delay);
    } else {
      send_reply(server, *reply_to, *uuid, response, number);
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

// Opens the channel that serves stream_layout as options.name; nullptr (with a message) when
// that fails.
void* open_channel(nelko::target::TargetOptions const& options, void* log) {
  std::string const version = std::to_string(options.service.version_major) + "." +
                              std::to_string(options.service.version_minor);
  void* ipc = nullptr;
  nelko_core_status const opened = nelko_core_ipc_target_init(
      log, options.name.c_str(), "stream_layout", version.c_str(), &ipc);
  if (opened != NELKO_CORE_STATUS_NO_ERROR) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR,
                           "cannot serve stream_layout as %s: status %d", options.name.c_str(),
                           static_cast<int>(opened));
    std::cerr << "stream-layout-target: cannot serve '" << options.name << "' (status " << opened
              << ")\n";
    return nullptr;
  }
  return ipc;
}

int serve(nelko::target::TargetOptions const& options, sigset_t const& signals) {
  void* raw_log = nullptr;
  if (nelko_core_logging_init("stream-layout-target", &raw_log) != NELKO_CORE_STATUS_NO_ERROR) {
    std::cerr << "stream-layout-target: cannot open the log\n";
    return EXIT_FAILURE;
  }
  std::unique_ptr<void, LogCloser> const log(raw_log);
  std::unique_ptr<void, ChannelCloser> ipc(open_channel(options, log.get()));
  if (!ipc) return EXIT_FAILURE;

  Server* server_address = nullptr;
  Server server{{},
                ipc.get(),
                log.get(),
                options,
                nelko::target::StreamLayoutService(options.service),
                nelko::target::ResponseQueue(std::chrono::milliseconds(options.delay_ms),
                                      [&server_address](nelko::target::Reply const& reply) {
                                        std::lock_guard<std::mutex> lock(
                                            server_address->channel_mutex);
                                        if (reply.number <= server_address->dropped_through) {
                                          return;
                                        }
                                        send_reply(*server_address, reply.reply_to.c_str(),
                                                   reply.uuid.c_str(), reply.payload,
                                                   reply.number);
                                      })};
  server_address = &server;
  nelko_core_ipc_target_command_receive_callback(ipc.get(), answer, &server);
  std::printf("ready\n");
  std::fflush(stdout);

  int signal = 0;
  for (;;) {
    sigwait(&signals, &signal);
    if (signal != SIGUSR1) break;
    // --drop-at: every connection closes, pending requests included, and the service listens
    // again under the same name.
    nelko_core_ipc_target_command_receive_callback(ipc.get(), nullptr, &server);
    {
      std::lock_guard<std::mutex> lock(server.channel_mutex);
      // Every request so far came on the old channel: the callback has been removed.
      server.dropped_through = server.requests;
      ipc.reset();  // first, so that the name is free again
      ipc.reset(open_channel(options, log.get()));
      server.ipc = ipc.get();
    }
    if (!ipc) {
      server.responses.stop();
      return EXIT_FAILURE;
    }
    nelko_core_ipc_target_command_receive_callback(ipc.get(), answer, &server);
  }
  // Nothing may use the channel once it closes: first the callback (removing it waits for a
  // call in progress), then the sender stop.
  nelko_core_ipc_target_command_receive_callback(ipc.get(), nullptr, &server);
  server.responses.stop();
  ipc.reset();
  return EXIT_SUCCESS;
}

// The first command named by --fail or --delay that the service does not know (it would never
// apply); empty when there is none. The service's own table decides, by answering 8.
std::string unknown_command(nelko::target::TargetOptions const& options) {
  nelko::target::StreamLayoutService probe(options.service);
  std::vector<std::string> named;
  for (auto const& entry : options.faults.fail) named.push_back(entry.first);
  for (auto const& entry : options.faults.delay) named.push_back(entry.first);
  for (std::string const& command : named) {
    // Names are words (target_options.cpp), so they need no escaping.
    rapidjson::Document answer;
    answer.Parse(probe.handle("{\"command\":\"" + command + "\"}").c_str());
    auto const status = answer.IsObject() ? answer.FindMember("status") : answer.MemberEnd();
    if (status != answer.MemberEnd() && status->value.IsNumber() &&
        status->value.GetDouble() == NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION) {
      return command;
    }
  }
  return {};
}

}  // namespace

int main(int argc, char* argv[]) {
  std::string const program = argc > 0 ? argv[0] : "stream-layout-target";
  nelko::target::ParsedCommandLine const parsed = nelko::target::parse_command_line(argc, argv);
  switch (parsed.action) {
    case nelko::target::ParsedCommandLine::Action::kHelp:
      std::cout << nelko::target::help_text(program);
      return EXIT_SUCCESS;
    case nelko::target::ParsedCommandLine::Action::kVersion:
      std::cout << "stream-layout-target " NELKO_PROJECT_VERSION "\n";
      return EXIT_SUCCESS;
    case nelko::target::ParsedCommandLine::Action::kUsageError:
      std::cerr << program << ": " << parsed.error << '\n' << nelko::target::usage_text(program);
      return 2;
    case nelko::target::ParsedCommandLine::Action::kRun:
      break;
  }
  if (std::string const unknown = unknown_command(parsed.options); !unknown.empty()) {
    std::cerr << program << ": unknown command '" << unknown << "' for --fail or --delay\n"
              << nelko::target::usage_text(program);
    return 2;
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
  sigaddset(&stop_signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // A peer that goes away while we write to it must not kill the service.
  std::signal(SIGPIPE, SIG_IGN);
  return serve(parsed.options, stop_signals);
}
