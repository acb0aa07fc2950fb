#include "response_router.h"

#include <cstdlib>
#include <memory>

#include "nelko_core_channel_events.h"
#include "nelko_core_ipc.h"
#include "nelko_core_logging.h"

namespace nelko {
namespace interfaces {
namespace {

// How long a waiter trusts that the channel is still in push mode before it asks the core again
// (the objects that registered response functions may all have gone since).
constexpr auto kPushRecheck = std::chrono::milliseconds(200);

struct FreeText {
  void operator()(char* text) const { std::free(text); }
};
using OwnedText = std::unique_ptr<char, FreeText>;

}  // namespace

namespace {

struct Routers {
  std::mutex mutex;
  std::unordered_map<void*, std::shared_ptr<ResponseRouter>> byChannel;
};

// Never destroyed: the core library's threads may still deliver while the process exits.
Routers& routers() {
  static auto* all = new Routers();
  return *all;
}

// The core closed the channel and stopped its thread: its router goes. A call still running on
// it keeps it alive until it returns.
void forgetChannel(void* ipc_handle) {
  std::shared_ptr<ResponseRouter> gone;
  std::lock_guard<std::mutex> lock(routers().mutex);
  auto router = routers().byChannel.find(ipc_handle);
  if (router == routers().byChannel.end()) return;
  gone = std::move(router->second);
  routers().byChannel.erase(router);
}

}  // namespace

std::shared_ptr<ResponseRouter> ResponseRouter::forChannel(void* ipc_handle) {
  static bool const observing = (nelko::core::set_channel_closed_observer(&forgetChannel), true);
  (void)observing;
  std::lock_guard<std::mutex> lock(routers().mutex);
  std::shared_ptr<ResponseRouter>& router = routers().byChannel[ipc_handle];
  if (!router) router.reset(new ResponseRouter(ipc_handle));
  return router;
}

void ResponseRouter::noteSent(std::string const& uuid, void const* sender,
                              std::string const& command) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto inserted = m_senders.insert_or_assign(uuid, Sender{sender, command});
  if (!inserted.second) return;
  m_senderOrder.push_back(uuid);
  if (m_senderOrder.size() > kSenderCapacity) {
    m_senders.erase(m_senderOrder.front());
    m_senderOrder.pop_front();
  }
}

void ResponseRouter::forgetSent(std::string const& uuid) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_senders.erase(uuid);
}

bool ResponseRouter::handToWaiter(Response& response) {
  auto waiter = m_waiters.find(response.uuid);
  if (waiter == m_waiters.end()) return false;
  waiter->second->response = std::move(response);
  waiter->second->ready = true;
  m_changed.notify_all();
  return true;
}

void ResponseRouter::stash(Response&& response, bool seen) {
  auto existing = m_stash.find(response.uuid);
  if (existing != m_stash.end()) {
    existing->second = Stashed{std::move(response), seen || existing->second.seen};
    return;
  }
  std::string key = response.uuid;
  m_stashOrder.push_back(key);
  m_stash.emplace(std::move(key), Stashed{std::move(response), seen});
  while (m_stashOrder.size() > kStashCapacity) {
    auto oldest = m_stash.find(m_stashOrder.front());
    if (oldest != m_stash.end()) {
      if (!oldest->second.seen) {
        nelko_core_logging_log(nullptr, NELKO_CORE_LOG_PRIORITY_WARNING,
                               "dropping the unclaimed response to request %s",
                               oldest->first.c_str());
      }
      m_stash.erase(oldest);
    }
    m_stashOrder.pop_front();
  }
}

bool ResponseRouter::takeStashed(std::string const& uuid, Response& out) {
  auto stashed = m_stash.find(uuid);
  if (stashed == m_stash.end()) return false;
  out = std::move(stashed->second.response);
  m_stash.erase(stashed);
  // Its place in m_stashOrder is skipped when it comes up for eviction.
  return true;
}

void ResponseRouter::pullOnce(std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
  int wait_ms = -1;
  if (deadline != Clock::time_point::max()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
  }
  m_pulling = true;
  lock.unlock();
  char* first = nullptr;
  char* interface_name = nullptr;
  char* uuid = nullptr;
  char* payload = nullptr;
  nelko_core_status status = nelko_core_ipc_initiator_response_receive(
      m_ipcHandle, wait_ms, &first, &interface_name, &uuid, &payload);
  OwnedText owned[] = {OwnedText(first), OwnedText(interface_name), OwnedText(uuid),
                       OwnedText(payload)};
  Response response;
  if (status == NELKO_CORE_STATUS_NO_ERROR) {
    response.first_text = first != nullptr ? first : "";
    response.uuid = uuid != nullptr ? uuid : "";
    response.payload = payload != nullptr ? payload : "";
  }
  lock.lock();
  m_pulling = false;
  switch (status) {
    case NELKO_CORE_STATUS_NO_ERROR:
      if (!handToWaiter(response)) stash(std::move(response), false);
      break;
    case NELKO_CORE_STATUS_IPC_FAILED:  // nothing arrived in time
      break;
    case NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION:  // responses go to response functions now
      m_push = true;
      m_pushSeen = Clock::now();
      break;
    default:
      m_pullFailure = status;
      break;
  }
  m_changed.notify_all();  // another waiter may take over pulling
}

nelko_core_status ResponseRouter::await(std::string const& uuid, int timeout_ms, Response& out) {
  Clock::time_point const deadline =
      timeout_ms < 0 ? Clock::time_point::max()
                     : Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock<std::mutex> lock(m_mutex);
  Waiter waiter;
  if (!m_waiters.emplace(uuid, &waiter).second) return NELKO_CORE_STATUS_MULTI_THREAD_ACCESS;
  // What the waiters learnt about the channel is theirs: the last one to leave forgets it, so
  // that a failure nobody took, or push mode that has since ended, never reaches a later request
  // (nor a new channel that the allocator places at this one's address).
  struct Leave {
    ResponseRouter* router;
    std::string const& uuid;
    ~Leave() {
      router->m_waiters.erase(uuid);
      if (router->m_waiters.empty() && !router->m_pulling) {
        router->m_pullFailure = NELKO_CORE_STATUS_NO_ERROR;
        router->m_push = false;
      }
    }
  } leave{this, uuid};

  bool tried = false;
  for (;;) {
    if (waiter.ready || takeStashed(uuid, waiter.response)) {
      out = std::move(waiter.response);
      m_senders.erase(uuid);
      return NELKO_CORE_STATUS_NO_ERROR;
    }
    if (m_pullFailure != NELKO_CORE_STATUS_NO_ERROR) {
      nelko_core_status failure = m_pullFailure;
      m_pullFailure = NELKO_CORE_STATUS_NO_ERROR;
      return failure;
    }
    Clock::time_point const now = Clock::now();
    if (tried && now >= deadline) return NELKO_CORE_STATUS_IPC_FAILED;
    if (m_push && now - m_pushSeen >= kPushRecheck) m_push = false;
    if (!m_pulling && !m_push) {
      pullOnce(lock, deadline);
    } else if (now >= deadline) {
      return NELKO_CORE_STATUS_IPC_FAILED;
    } else {
      Clock::time_point wake = deadline;
      if (m_push && m_pushSeen + kPushRecheck < wake) wake = m_pushSeen + kPushRecheck;
      m_changed.wait_until(lock, wake);
    }
    tried = true;
  }
}

bool ResponseRouter::routeDelivered(void const* receiver, Response& response,
                                    std::string& command) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_push = true;
  m_pushSeen = Clock::now();
  if (handToWaiter(response)) return false;
  auto sender = m_senders.find(response.uuid);
  bool const mine = sender == m_senders.end() || sender->second.object == receiver;
  if (sender != m_senders.end()) command = sender->second.command;
  // Kept as well, for a receive that may still claim it (a non-blocking send on a handle that
  // also sends asynchronously).
  stash(Response(response), mine);
  return mine;
}

}  // namespace interfaces
}  // namespace nelko
