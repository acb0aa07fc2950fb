// ResponseRouter: makes every response on an IPC channel reach the request that sent it.
//
// One router exists per channel (several initiator objects may share a channel). Requests are
// answered in one of three ways, and they may be mixed on one channel:
//  - a thread waits for the response synchronously (basicReceiveResponse): it is a *waiter*;
//  - the response arrives before anybody waits for it (non-blocking sends): it is *stashed*
//    until a receive claims it;
//  - the object that sent it completes it asynchronously (send_async): the core library delivers
//    it to the object's registered response function, which hands it to the derived class.
//
// The core library delivers a channel's responses either to the registered response functions
// (push: as soon as any object registered one) or to whoever pulls them. While nobody registered,
// waiters take turns pulling: one thread at a time pulls from the core and routes what it gets to
// the waiter it belongs to, or to the stash; the others sleep until their response is routed to
// them or their time-out runs out. In push mode waiters only sleep: the deliveries route.
//
// The stash holds at most kStashCapacity responses; the oldest goes first, with a warning line
// when nobody ever saw it.
#ifndef NELKO_INTERFACES_RESPONSE_ROUTER_H
#define NELKO_INTERFACES_RESPONSE_ROUTER_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "nelko_core_types.h"

namespace nelko {
namespace interfaces {

struct Response {
  std::string first_text;  // the name of the target that answered
  std::string uuid;
  std::string payload;  // the response object as JSON text
};

class ResponseRouter {
 public:
  static constexpr std::size_t kStashCapacity = 256;
  static constexpr std::size_t kSenderCapacity = 4096;

  // The router of a channel, made on first use; it goes when the core closes the channel.
  static std::shared_ptr<ResponseRouter> forChannel(void* ipc_handle);

  // Remembers who sent `uuid` and which command it carries, before it goes out.
  void noteSent(std::string const& uuid, void const* sender, std::string const& command);
  void forgetSent(std::string const& uuid);

  // Waits for the response to uuid: 0 and the response; 4 when none came within timeout_ms
  // (0 polls, negative waits without limit); 3 when another thread already waits for it; a
  // status of the core library when the channel fails.
  nelko_core_status await(std::string const& uuid, int timeout_ms, Response& out);

  // A response delivered by the core library to `receiver`'s response function. A waiter takes
  // it (moved out of `response`); otherwise it is stashed and the result tells whether the
  // receiver should complete it itself (it sent it, or nobody else is known to have), with
  // `command` set to the command name it was sent with (empty when unknown).
  bool routeDelivered(void const* receiver, Response& response, std::string& command);

 private:
  explicit ResponseRouter(void* ipc_handle) : m_ipcHandle(ipc_handle) {}

  struct Waiter {
    bool ready = false;
    Response response;
  };
  struct Stashed {
    Response response;
    bool seen = false;  // delivered to an object's response function already
  };
  struct Sender {
    void const* object;
    std::string command;
  };
  using Clock = std::chrono::steady_clock;

  // Call with m_mutex held.
  bool handToWaiter(Response& response);
  void stash(Response&& response, bool seen);
  bool takeStashed(std::string const& uuid, Response& out);
  void pullOnce(std::unique_lock<std::mutex>& lock, Clock::time_point deadline);

  void* const m_ipcHandle;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::unordered_map<std::string, Waiter*> m_waiters;
  std::unordered_map<std::string, Stashed> m_stash;
  std::deque<std::string> m_stashOrder;
  std::unordered_map<std::string, Sender> m_senders;
  std::deque<std::string> m_senderOrder;
  bool m_pulling = false;
  bool m_push = false;
  Clock::time_point m_pushSeen;
  nelko_core_status m_pullFailure = NELKO_CORE_STATUS_NO_ERROR;
};

}  // namespace interfaces
}  // namespace nelko

#endif
