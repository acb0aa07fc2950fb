#include "response_router.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "nelko_core_ipc.h"
#include "nelko_core_logging.h"

namespace nelko {
namespace interfaces {
namespace {

// The condition variable that a thread waits on in await(): a thread waits for one response at
// a time, so one per thread serves all its waits instead of one made and destroyed for each.
std::condition_variable& thread_wake() {
  return nelko::core::PerThread<std::condition_variable>::get();
}

void log_dropped(std::string_view uuid, std::string_view target, char const* why) {
  nelko_core_logging_log(nullptr, NELKO_CORE_LOG_PRIORITY_WARNING,
                         "dropping the response to request %.*s from target '%.*s': %s",
                         static_cast<int>(uuid.size()), uuid.data(),
                         static_cast<int>(target.size()), target.data(), why);
}

std::atomic<int> unclaimed_lifetime_ms{
    static_cast<int>(ResponseRouter::kUnclaimedLifetime.count())};

}  // namespace

void ResponseRouter::set_unclaimed_lifetime(std::chrono::milliseconds lifetime) {
  unclaimed_lifetime_ms.store(
      static_cast<int>(lifetime.count() > 0 ? lifetime.count() : kUnclaimedLifetime.count()));
}

std::shared_ptr<ResponseRouter> ResponseRouter::for_channel(void* ipc_handle) {
  // The calling thread's last router, which spares most calls the channel's lock. A channel
  // closed since has marked its router, so that a new channel at the same address is not taken
  // for it.
  // Initial-exec: the general-dynamic access of a library's thread_local costs a call into the
  // dynamic linker on every use.
  __attribute__((tls_model("initial-exec"))) thread_local struct {
    void* handle = nullptr;
    std::weak_ptr<ResponseRouter> router;
  } last;
  if (last.handle == ipc_handle && ipc_handle != nullptr) {
    std::shared_ptr<ResponseRouter> router = last.router.lock();
    if (router && !router->closed_.load(std::memory_order_acquire)) return router;
  }
  auto const make = [](void* handle) -> std::shared_ptr<nelko::core::ResponseSink> {
    return std::shared_ptr<ResponseRouter>(new ResponseRouter(handle));
  };
  // Every sink is a router: this is the only place that installs sinks.
  std::shared_ptr<ResponseRouter> router = std::static_pointer_cast<ResponseRouter>(
      nelko::core::install_response_sink(ipc_handle, make));
  if (!router) return nullptr;
  last.handle = ipc_handle;
  last.router = router;
  return router;
}

ResponseRouter::~ResponseRouter() {
  pending_.for_each([](Pending* entry) { delete entry; });
}

// Every sink is a router (see for_channel).
ResponseRouter* ResponseRouter::installed_on(void* ipc_handle) {
  return static_cast<ResponseRouter*>(nelko::core::response_sink(ipc_handle));
}

nelko::core::CommandRecord* ResponseRouter::note_sent(std::string_view uuid, Request request) {
  bool const sync = !request.async;
  bool crossed = false;  // more unread than may wait in the sockets, from now on
  nelko::core::CommandRecord* record;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Room in routed_ for every asynchronous request, this one included, before anything
    // changes: a failure here leaves the request unsent.
    if (request.async) {
      std::size_t const needed = async_.load(std::memory_order_relaxed) + 1;
      if (routed_.capacity() < needed) routed_.reserve(2 * needed);
    }
    // An identifier sent again while the response to its last request is on its way to the
    // response functions: the old request ends unanswered, as below.
    if (!routed_.empty()) {
      std::size_t const routed = find_routed(uuid);
      if (routed != routed_.size()) erase_routed(routed);
    }
    Pending* entry = pending_.find(uuid);
    if (entry == nullptr) {
      pending_.reserve(pending_.size() + 1);  // before the entry is made: inserting cannot fail
      entry = make_entry(uuid).release();
      pending_.insert(entry);
    } else {  // an identifier sent again takes over its entry
      mark_read(*entry);
      unlist(*entry);
      entry->arrived = false;
      if (entry->async) async_.fetch_sub(1, std::memory_order_relaxed);
      // A thread still waiting for the old request gets no answer from this one.
      if (entry->waiter != nullptr) entry->waiter->entry = nullptr;
      entry->waiter = nullptr;
      entry->payload.clear();
    }
    // No answer to an earlier request under this identifier counts for this one.
    entry->record.connection.store(nullptr, std::memory_order_relaxed);
    record = &entry->record;
    entry->owner = request.owner;
    nelko::core::reuse_text(entry->target, request.target);
    nelko::core::reuse_text(entry->interface_name, request.interface_name);
    nelko::core::reuse_text(entry->command, request.command);
    entry->async = request.async;
    entry->lane = nelko::core::sending_lane();
    entry->unread = sync;
    if (sync) {
      crossed = unread_.fetch_add(1, std::memory_order_relaxed) == kMaxUnread;
    } else {
      // Its response goes to the response functions, on the I/O thread: that reads from now.
      crossed = async_.fetch_add(1, std::memory_order_relaxed) == 0;
    }
  }
  if (crossed) nelko::core::read_promptly(m_ipcHandle);
  return record;
}

ResponseRouter::Owned ResponseRouter::make_entry(std::string_view uuid) {
  Owned entry = spare_.take();
  if (!entry) entry = std::make_unique<Pending>();
  nelko::core::overwrite_text(entry->uuid, uuid);
  return entry;
}

// The entry no longer counts as unread: its response came, somebody waits for it, or it goes.
void ResponseRouter::mark_read(Pending& entry) {
  if (!entry.unread) return;
  entry.unread = false;
  unread_.fetch_sub(1, std::memory_order_relaxed);
}

std::size_t ResponseRouter::find_routed(std::string_view uuid) const {
  std::size_t at = 0;
  for (; at < routed_.size(); ++at) {
    if (nelko::core::same_text(routed_[at]->uuid, uuid)) break;
  }
  return at;
}

void ResponseRouter::erase_routed(std::size_t at) {
  Owned entry = std::move(routed_[at]);
  if (at + 1 == routed_.size()) {  // nearly always: one response is routed at a time
    routed_.pop_back();
  } else {
    routed_.erase(routed_.begin() + static_cast<std::ptrdiff_t>(at));
  }
  routed_count_.store(routed_.size(), std::memory_order_release);
  recycle(std::move(entry));
}

ResponseRouter::Owned ResponseRouter::take_pending(Pending& entry) {
  pending_.erase(&entry);
  return Owned(&entry);
}

void ResponseRouter::list_unwaited(Pending& entry, Expired& expired) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point const now = Clock::now();
  unlist(entry);
  if (oldest_unwaited_ != nullptr && now - last_sweep_ >= kSweepInterval) {
    last_sweep_ = now;
    expired.lifetime_ms = unclaimed_lifetime_ms.load();
    auto const lifetime = std::chrono::milliseconds(expired.lifetime_ms);
    while (oldest_unwaited_ != nullptr && now - oldest_unwaited_->listed_at >= lifetime) {
      Pending& old = *oldest_unwaited_;
      Expired::Kind& kind = old.arrived ? expired.answers : expired.requests;
      if (kind.count++ == 0) {
        try {
          kind.uuid = old.uuid;
          kind.target = old.target;
        } catch (std::bad_alloc const&) {
          // It goes all the same; the line then names no request.
        }
      }
      erase(old);  // nobody waits for it, so it is in pending_
    }
  }
  entry.listed = true;
  entry.listed_at = now;
  entry.older = newest_unwaited_;
  entry.newer = nullptr;
  if (newest_unwaited_ != nullptr) {
    newest_unwaited_->newer = &entry;
  } else {
    oldest_unwaited_ = &entry;
  }
  newest_unwaited_ = &entry;
}

void ResponseRouter::unlist(Pending& entry) {
  if (!entry.listed) return;
  entry.listed = false;
  (entry.older != nullptr ? entry.older->newer : oldest_unwaited_) = entry.newer;
  (entry.newer != nullptr ? entry.newer->older : newest_unwaited_) = entry.older;
  entry.older = entry.newer = nullptr;
}

void ResponseRouter::Expired::log() const {
  if (answers.count == 1) {
    std::string const why =
        "nobody received it within " + std::to_string(lifetime_ms) + " ms of its arrival";
    log_dropped(answers.uuid, answers.target, why.c_str());
  } else if (answers.count > 1) {
    nelko_core_logging_log(
        nullptr, NELKO_CORE_LOG_PRIORITY_WARNING,
        "dropping %zu responses that nobody received within %d ms of their arrival, the first "
        "to request %s from target '%s'",
        answers.count, lifetime_ms, answers.uuid.c_str(), answers.target.c_str());
  }
  if (requests.count == 1) {
    nelko_core_logging_log(nullptr, NELKO_CORE_LOG_PRIORITY_WARNING,
                           "forgetting request %s to target '%s': no answer came within %d ms "
                           "after its receive gave up",
                           requests.uuid.c_str(), requests.target.c_str(), lifetime_ms);
  } else if (requests.count > 1) {
    nelko_core_logging_log(nullptr, NELKO_CORE_LOG_PRIORITY_WARNING,
                           "forgetting %zu requests that had no answer within %d ms after their "
                           "receive gave up, the first %s to target '%s'",
                           requests.count, lifetime_ms, requests.uuid.c_str(),
                           requests.target.c_str());
  }
}

void ResponseRouter::recycle(Owned entry) {
  Pending& kept = *entry;
  mark_read(kept);
  unlist(kept);
  kept.arrived = false;
  if (kept.async) async_.fetch_sub(1, std::memory_order_relaxed);
  kept.waiter = nullptr;
  // A large response's buffer is not kept for the next request.
  constexpr std::size_t kKeptCapacity = 16 * 1024;
  if (kept.payload.capacity() > kKeptCapacity) {
    std::string().swap(kept.payload);
  } else {
    kept.payload.clear();
  }
  spare_.give(std::move(entry));
}

bool ResponseRouter::wants_prompt_reading() const {
  return async_.load(std::memory_order_relaxed) > 0 ||
         unread_.load(std::memory_order_relaxed) > kMaxUnread;
}

void ResponseRouter::forget_sent(std::string_view uuid) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Pending* entry = pending_.find(uuid)) {
    if (entry->waiter == nullptr) erase(*entry);
    return;
  }
  // Its connection broke meanwhile, and the core's answer for it is on its way to the response
  // functions: the failed send ends it instead.
  std::size_t const routed = find_routed(uuid);
  if (routed != routed_.size()) erase_routed(routed);
}

nelko_core_status ResponseRouter::await(void const* owner, std::string_view uuid,
                                        std::string_view command, int timeout_ms,
                                        std::string& payload) {
  using Clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> lock(mutex_);
  Pending* const pending = pending_.find(uuid);
  if (pending == nullptr) {
    // An asynchronous request whose response is on its way to the response functions.
    return find_routed(uuid) != routed_.size() ? NELKO_CORE_STATUS_INVALID_PARAMS
                                               : NELKO_CORE_STATUS_IPC_FAILED;
  }
  Pending& entry = *pending;
  if (entry.async || entry.owner != owner || entry.command != command) {
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  if (entry.waiter != nullptr) return NELKO_CORE_STATUS_MULTI_THREAD_ACCESS;
  if (entry.arrived) {
    payload.swap(entry.payload);  // the entry keeps the caller's buffer for a later response
    erase(entry);
    return NELKO_CORE_STATUS_NO_ERROR;
  }
  // On the channel's own thread nothing more can arrive while this call runs: it only polls.
  if (nelko::core::on_channel_thread(m_ipcHandle)) return NELKO_CORE_STATUS_IPC_FAILED;

  // The response is handed to the waiter under the mutex; the entry cannot go while it has a
  // waiter (a request sent again under the same identifier detaches the waiter first), and the
  // waiter erases it (an answered entry takes no other response). The response is copied into
  // `payload`'s own buffer, which the caller may reuse from call to call: no memory passes
  // between the threads. Nothing else touches `payload` until the waiter returns: it is written
  // only while the entry has this waiter and before it is answered.
  Waiter waiter;
  waiter.wake = &thread_wake();
  // The time of the call, give or take the look-up above: a response that arrived meanwhile
  // was taken without reading the clock.
  Clock::time_point const deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  waiter.payload = &payload;
  waiter.lane = entry.lane;
  waiter.entry = &entry;
  entry.waiter = &waiter;
  mark_read(entry);
  unlist(entry);  // when an earlier receive of it gave up
  wait_for(waiter, lock, timeout_ms, deadline);
  if (waiter.entry != nullptr) {
    Pending& waited = *waiter.entry;
    if (!waiter.answered) return gave_up(waited, lock);
    erase(waited);
  }
  bool const answered = waiter.answered;
  lock.unlock();
  return answered ? NELKO_CORE_STATUS_NO_ERROR : NELKO_CORE_STATUS_IPC_FAILED;
}

nelko_core_status ResponseRouter::gave_up(Pending& entry, std::unique_lock<std::mutex>& lock) {
  entry.waiter = nullptr;
  entry.unread = true;
  // See note_sent.
  bool const crossed = unread_.fetch_add(1, std::memory_order_relaxed) == kMaxUnread;
  Expired expired;
  list_unwaited(entry, expired);
  lock.unlock();
  expired.log();
  if (crossed) nelko::core::read_promptly(m_ipcHandle);
  return NELKO_CORE_STATUS_IPC_FAILED;
}

// One waiter at a time reads the sockets of a lane (its reader); the others of that lane wait
// for what it hands them. A waiter that leaves wakes the next of its lane, which reads from then
// on. While the core refuses (the I/O thread is reading one of the sockets), the I/O thread
// hands the responses over instead.
void ResponseRouter::wait_for(Waiter& waiter, std::unique_lock<std::mutex>& lock, int timeout_ms,
                              std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  bool const forever = timeout_ms < 0;
  bool first = true;  // the deadline was set from the clock just before: no need to read it
  Reader& reader = readers_[waiter.lane];
  waiter.next = waiters_;
  if (waiters_ != nullptr) waiters_->previous = &waiter;
  waiters_ = &waiter;
  bool last_read = false;  // the read without waiting once the time is up
  while (!waiter.answered) {
    int wait_ms = -1;
    if (!forever) {
      if (first) {
        wait_ms = timeout_ms;
      } else {
        auto const left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        wait_ms = left.count() < INT_MAX ? static_cast<int>(left.count()) : INT_MAX;
      }
      first = false;
      if (wait_ms <= 0) {
        // Whoever reads now would have handed over a response that was there.
        if (last_read || reader.waiter != nullptr) break;
        last_read = true;
        wait_ms = 0;
      }
    }
    if (reader.waiter == nullptr) {
      reader.waiter = &waiter;
      reader.thread = std::this_thread::get_id();
      lock.unlock();
      nelko::core::SinkRead const read =
          nelko::core::read_for_sink(m_ipcHandle, waiter.lane, wait_ms);
      lock.lock();
      reader.waiter = nullptr;
      // Answered meanwhile by another thread, which found it reading and woke the core's read
      // rather than the condition variable: it must not wait for a wake-up that has been spent.
      if (read == nelko::core::SinkRead::read || waiter.answered) continue;
    }
    if (last_read) break;
    if (forever) {
      waiter.wake->wait(lock);
    } else {
      waiter.wake->wait_until(lock, deadline);
    }
  }
  if (waiter.previous != nullptr) {
    waiter.previous->next = waiter.next;
  } else {
    waiters_ = waiter.next;
  }
  if (waiter.next != nullptr) waiter.next->previous = waiter.previous;
  if (reader.waiter != nullptr) return;
  for (Waiter* next = waiters_; next != nullptr; next = next->next) {
    if (next->lane == waiter.lane) {
      next->wake->notify_one();  // it reads next
      break;
    }
  }
}

char const* ResponseRouter::take_async(void const* owner, std::string_view uuid,
                                       std::string& copy) {
  // This thread's own entry (see delivering_), which no other thread touches: it stays until
  // after_callbacks, so its command's name needs no copy.
  if (delivering_.node && !delivering_.done) {
    Pending const& entry = *delivering_.node;
    if (nelko::core::same_text(entry.uuid, uuid)) {
      if (entry.owner != owner || delivering_.taken) return nullptr;
      delivering_.taken = true;
      return entry.command.c_str();
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t const routed = find_routed(uuid);
  if (routed == routed_.size() || routed_[routed]->owner != owner) return nullptr;
  copy.assign(routed_[routed]->command);
  erase_routed(routed);
  return copy.c_str();
}

nelko::core::ResponseSink::Route ResponseRouter::on_response(std::string_view target,
                                                             std::string_view,
                                                             std::string_view uuid,
                                                             std::string_view payload,
                                                             void const* connection,
                                                             bool on_io_thread) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (on_io_thread && delivering_.done) {
    recycle(std::move(delivering_.node));
    delivering_.done = false;
  }
  // A response usually answers a thread that waits for it (often the very one that read it):
  // its entry is found among the few waiters without hashing the identifier.
  Pending* found = nullptr;
  for (Waiter* waiter = waiters_; waiter != nullptr; waiter = waiter->next) {
    if (waiter->entry != nullptr && nelko::core::same_text(waiter->entry->uuid, uuid)) {
      found = waiter->entry;
      break;
    }
  }
  if (found == nullptr) {
    found = pending_.find(uuid);
    if (found == nullptr) {
      if (connection != nullptr) return Route::unsolicited;
      lock.unlock();
      log_dropped(uuid, target, "no request waits for it");
      return Route::taken;
    }
  }
  Pending& entry = *found;
  if (connection != nullptr) {
    // The one check that the answer belongs here: the request is outstanding on the connection
    // it came on (which is to the request's target), and only its first answer claims it.
    if (!entry.record.claim(connection)) return Route::unsolicited;
  } else {
    if (entry.waiter != nullptr && entry.waiter->answered) {
      lock.unlock();
      log_dropped(uuid, target, "its request was answered already");
      return Route::taken;
    }
    if (entry.target != target) {
      lock.unlock();
      log_dropped(uuid, target, "the request went to another target");
      return Route::taken;
    }
  }
  if (entry.async) {  // never waited for, so found by the look-up
    if (on_io_thread && !delivering_.node) {
      delivering_.node = take_pending(entry);
      delivering_.taken = false;
      return Route::to_callbacks;
    }
    // Within the capacity that note_sent reserved: this cannot throw.
    routed_.push_back(take_pending(entry));
    routed_count_.store(routed_.size(), std::memory_order_release);
    return Route::to_callbacks;
  }
  // Out of memory for the copy, the request still ends: with an empty payload, which its
  // receive reports as 4, or, when nobody waits yet, by going (a later receive then gets 4).
  mark_read(entry);
  if (entry.waiter != nullptr) {
    Waiter& waiter = *entry.waiter;
    try {
      waiter.payload->assign(payload);
    } catch (std::bad_alloc const&) {
      waiter.payload->clear();
    }
    waiter.answered = true;
    // Under the mutex: the waiter leaves (and goes) only after it. A waiter that is reading
    // the sockets is in the core's receive, not on its condition variable: on another thread
    // the core's read is woken, and on this one (usually) nothing needs waking.
    Reader const& reader = readers_[waiter.lane];
    if (&waiter != reader.waiter) {
      waiter.wake->notify_one();
    } else if (reader.thread != std::this_thread::get_id()) {
      nelko::core::wake_sink_reader(m_ipcHandle, waiter.lane);
    }
    return Route::taken;
  }
  try {
    entry.payload.assign(payload);
    entry.arrived = true;
  } catch (std::bad_alloc const&) {
    erase(entry);  // nobody waits for it
    return Route::taken;
  }
  Expired expired;
  list_unwaited(entry, expired);
  lock.unlock();
  expired.log();
  return Route::taken;
}

void ResponseRouter::take_outstanding(void const* connection,
                                      std::vector<nelko::core::OutstandingCommand>& into) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Entries in routed_ were answered already: only pending_ holds outstanding ones. Room for
  // all of them first, so that none is unlinked without being handed over. No send links
  // another to the closed connection meanwhile.
  std::size_t linked = 0;
  pending_.for_each([&](Pending const* entry) {
    if (entry->record.connection.load(std::memory_order_acquire) == connection) ++linked;
  });
  if (linked == 0) return;
  into.reserve(into.size() + linked);
  pending_.for_each([&](Pending* entry) {
    if (!entry->record.claim(connection)) return;
    into.push_back({entry->uuid, entry->interface_name, entry->record.sequence});
  });
}

void ResponseRouter::after_callbacks(std::string_view uuid) {
  if (delivering_.node && !delivering_.done) {
    Pending& entry = *delivering_.node;
    if (nelko::core::same_text(entry.uuid, uuid)) {
      // The request has ended: recycle() finds it counted out already.
      entry.async = false;
      async_.fetch_sub(1, std::memory_order_relaxed);
      delivering_.done = true;
      if (!delivering_.taken) {
        log_dropped(uuid, entry.target, "its object no longer takes responses");
      }
      return;
    }
  }
  // Its entry went into routed_ before the callbacks ran (on this thread, or on a reader's
  // before it handed the response over): an empty routed_ seen now means that it left again.
  if (routed_count_.load(std::memory_order_acquire) == 0) return;
  std::unique_lock<std::mutex> lock(mutex_);
  std::size_t const routed = find_routed(uuid);
  if (routed == routed_.size()) return;  // its object took it
  std::string const target = routed_[routed]->target;
  erase_routed(routed);
  lock.unlock();
  log_dropped(uuid, target, "its object no longer takes responses");
}

void ResponseRouter::on_withdrawn(void const* user) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A thread still waiting inside the object keeps its entry until it returns.
  pending_.erase_if(
      [user](Pending const* entry) { return entry->owner == user && entry->waiter == nullptr; },
      [this](Pending* entry) { recycle(Owned(entry)); });
  for (std::size_t at = routed_.size(); at-- > 0;) {
    if (routed_[at]->owner == user) erase_routed(at);
  }
}

}  // namespace interfaces
}  // namespace nelko
