#include "response_router.h"

#include <cstdlib>
#include <memory>
#include <unordered_map>

#include "nelko_core_ipc.h"
#include "nelko_core_logging.h"

namespace nelko {
namespace interfaces {
namespace {

// How long a waiter trusts that the channel is still in push mode before it asks the core again
// (the objects that registered response functions may all have gone since).
constexpr auto kPushRecheck = std::chrono::milliseconds(200);

}  // namespace

ResponseRouter& ResponseRouter::forChannel(void* ipc_handle) {
  // Never destroyed: the core library's threads may still deliver while the process exits.
  static auto* routers = new std::unordered_map<void*, std::unique_ptr<ResponseRouter>>();
  static auto* routers_mutex = new std::mutex();
  std::lock_guard<std::mutex> lock(*routers_mutex);
  std::unique_ptr<ResponseRouter>& router = (*routers)[ipc_handle];
  if (!router) router.reset(new ResponseRouter(ipc_handle));
  return *router;
}

void ResponseRouter::noteSent(std::string const& uuid, void const* sender,
                              std::string const& command) {
  std::lock_guard<std::mutex> lock(m_mutex);
  bool added = false;
  Sender& entry = m_senders.insert(uuid, added, [](std::string_view, Sender&) {});
  entry.object = sender;
  entry.command = command;
}

void ResponseRouter::forgetSent(std::string const& uuid) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_senders.erase(uuid);
}

bool ResponseRouter::handToWaiter(Response& response) {
  std::string_view const uuid = response.uuidText();
  for (auto& waiter : m_waiters) {
    if (waiter.first != uuid) continue;
    waiter.second->response = std::move(response);
    waiter.second->ready = true;
    m_changed.notify_all();
    return true;
  }
  return false;
}

void ResponseRouter::stash(Response&& response, bool seen) {
  bool added = false;
  Stashed& entry = m_stash.insert(
      response.uuidText(), added, [](std::string_view uuid, Stashed const& oldest) {
        if (oldest.seen) return;
        nelko_core_logging_log(nullptr, NELKO_CORE_LOG_PRIORITY_WARNING,
                               "dropping the unclaimed response to request %.*s",
                               static_cast<int>(uuid.size()), uuid.data());
      });
  entry.seen = seen || (!added && entry.seen);
  entry.response = std::move(response);
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
  OwnedText const owned_first(first), owned_interface(interface_name);
  Response response;
  response.uuid.reset(uuid);
  response.payload.reset(payload);
  if (status == NELKO_CORE_STATUS_NO_ERROR && first != nullptr) response.first_text = first;
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
  for (auto const& other : m_waiters) {
    if (other.first == uuid) return NELKO_CORE_STATUS_MULTI_THREAD_ACCESS;
  }
  m_waiters.emplace_back(uuid, &waiter);
  struct Leave {
    ResponseRouter* router;
    Waiter* waiter;
    ~Leave() {
      auto& waiters = router->m_waiters;
      for (auto it = waiters.begin(); it != waiters.end(); ++it) {
        if (it->second != waiter) continue;
        *it = waiters.back();
        waiters.pop_back();
        break;
      }
    }
  } leave{this, &waiter};

  bool tried = false;
  for (;;) {
    Stashed stashed;
    if (!waiter.ready && m_stash.take(uuid, stashed)) {
      waiter.response = std::move(stashed.response);
      waiter.ready = true;
    }
    if (waiter.ready) {
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

bool ResponseRouter::routeDelivered(void const* receiver, Response&& response,
                                    std::string& command) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_push = true;
  m_pushSeen = Clock::now();
  if (handToWaiter(response)) return false;
  Sender const* sender = m_senders.find(response.uuidText());
  bool const mine = sender == nullptr || sender->object == receiver;
  if (sender != nullptr) command = sender->command;
  // Kept as well, for a receive that may still claim it (a non-blocking send on a handle that
  // also sends asynchronously).
  stash(std::move(response), mine);
  return mine;
}

}  // namespace interfaces
}  // namespace nelko
