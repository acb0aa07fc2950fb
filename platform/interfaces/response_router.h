// ResponseRouter: makes every response on an IPC channel reach the request that sent it, once.
//
// One router exists per channel (several initiator objects may share a channel). It is the
// channel's response sink: the core hands it every response before any response function sees
// it, on the channel's I/O thread or on a thread that waits in await() and reads the sockets of
// its lane itself. The router remembers each request from the moment it is sent
// until its response is handed over, so nothing it keeps outlives what somebody still waits for:
//  - a request that its object completes asynchronously (sent right after the object registered
//    its response function, see take_registration_mark) is left to the response functions: the
//    object's own one takes it (take_async) and dispatches it to the derived class;
//  - any other request's response goes to the thread waiting for it (basicReceiveResponse), or
//    is kept in the request's entry until a receive claims it.
// An entry goes when its response is handed over or claimed, when its send fails, when its
// object withdraws its response functions (the object is being destroyed), or when nobody has
// waited for it for kUnclaimedLifetime: since its response arrived with nobody waiting, or, with
// no response yet, since its last receive gave up. Nothing tells the router that a caller gave
// up (a _send whose wait timed out, an identifier released without a receive), so such entries
// would otherwise stay as long as the channel, and a target that never answers would make them
// pile up. A connection that
// breaks ends every request outstanding on it with a response {"status":4} made by the core, so
// no request waits for an answer that cannot come. Responses that no request waits for any more
// are dropped at once with a log line.
#ifndef NELKO_INTERFACES_RESPONSE_ROUTER_H
#define NELKO_INTERFACES_RESPONSE_ROUTER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "flat_index.h"
#include "identifier_hash.h"
#include "kept_records.h"
#include "nelko_core_channel_events.h"
#include "nelko_core_types.h"

namespace nelko {
namespace interfaces {

class ResponseRouter final : public nelko::core::ResponseSink {
 public:
  // The router of a channel, made (and installed as its sink) on first use; the channel owns it,
  // and it goes when the channel closes (or when the last call that holds it returns). Null
  // when the handle is not an open initiator channel.
  static std::shared_ptr<ResponseRouter> for_channel(void* ipc_handle);
  // The router installed on an open channel, without a reference, or null when none was made
  // yet. It stays while the channel is open, so a call that uses the channel itself meanwhile
  // (a send, a response function on the channel's I/O thread) may use it until it returns.
  static ResponseRouter* installed_on(void* ipc_handle);
  ~ResponseRouter();
  ResponseRouter(ResponseRouter const&) = delete;
  ResponseRouter& operator=(ResponseRouter const&) = delete;

  // A request, remembered before it goes out. `owner` is the object that sends it. The texts
  // are copied into the request's entry.
  struct Request {
    void const* owner;
    std::string_view target;
    std::string_view interface_name;
    std::string_view command;  // the command name, as the object's receive and dispatch name it
    bool async;
  };
  // Returns the request's record, which its send hands to the core (see
  // nelko::core::CommandRecord): it stays until the send returns, since nothing can end the
  // request meanwhile but its own answer, which comes only after the command went out.
  nelko::core::CommandRecord* note_sent(std::string_view uuid, Request request);
  // Its send failed: nothing will answer it.
  void forget_sent(std::string_view uuid);

  // Waits for the response to `owner`'s request `uuid` of `command`: 0 with its payload; 4 when
  // none came within timeout_ms (0 polls, negative waits without limit; on the channel's own
  // I/O thread every wait is a poll; the request stays and may be received again) or when no such request is pending (never sent, already received,
  // or ended by its connection breaking, which also answers a waiter with a status of 4); 1 for
  // a request of another command or object (it stays for the right receive); 3 when another
  // thread already waits for it.
  nelko_core_status await(void const* owner, std::string_view uuid, std::string_view command,
                          int timeout_ms, std::string& payload);

  // A response delivered to `owner`'s response function, on the channel's I/O thread: the name
  // of the command it was sent with when it answers an asynchronous request of `owner` (the
  // request is then done), else null. The name stays until the response function returns: it
  // is the request's own while its entry waits for after_callbacks, else copied into `copy`.
  char const* take_async(void const* owner, std::string_view uuid, std::string& copy);

  Route on_response(std::string_view target, std::string_view interface_name,
                    std::string_view uuid, std::string_view payload,
                    void const* connection, bool on_io_thread) override;
  void take_outstanding(void const* connection,
                        std::vector<nelko::core::OutstandingCommand>& into) override;
  void after_callbacks(std::string_view uuid) override;
  void on_withdrawn(void const* user) override;
  bool wants_prompt_reading() const override;
  // for_channel no longer hands the router out, even to a thread that used it last.
  void on_channel_closed() override { closed_.store(true, std::memory_order_release); }

  // How long an answer that came while nobody waited for it is kept for a receive; also how
  // long a request whose receive gave up is kept for another receive while no answer comes.
  static constexpr std::chrono::milliseconds kUnclaimedLifetime{30000};
  // For tests: another lifetime for every router from now on (kUnclaimedLifetime again when
  // given zero or less).
  static void set_unclaimed_lifetime(std::chrono::milliseconds lifetime);

 private:
  // Synchronous requests that nobody waits for yet whose responses may wait unread in the
  // sockets; beyond that the I/O thread reads them, so that a caller that sends many requests
  // before it receives any does not make the target hold their responses. A frame has at most
  // 1 MiB, and a target holds at most 4 MiB for a connection that does not read.
  static constexpr std::size_t kMaxUnread = 3;

  explicit ResponseRouter(void* ipc_handle) : m_ipcHandle(ipc_handle) {}

  struct Pending;
  // A thread in await(), on its own stack, in the list of waiters while it waits.
  struct Waiter {
    std::condition_variable* wake = nullptr;  // its thread's (see thread_wake)
    bool answered = false;
    std::string* payload = nullptr;  // the caller's, which takes the response
    unsigned lane = 0;  // the core's lane that its request went out on
    // The entry it waits for; null once the request was sent again, which detaches it.
    Pending* entry = nullptr;
    Waiter* next = nullptr;
    Waiter* previous = nullptr;
  };
  // One request's state, from note_sent until its response is handed over or it goes: the only
  // record of it, which the core links to the connection it is outstanding on. It stays where it
  // is meanwhile. Entries are recycled (see spare_), so a request costs no allocation once the
  // router has served a few: neither the entry nor its texts, which keep their buffers.
  struct Pending {
    std::string uuid;  // pending_ finds the entry by this text
    nelko::core::CommandRecord record;
    void const* owner = nullptr;
    std::string target;
    std::string interface_name;
    std::string command;
    bool async = false;
    unsigned lane = 0;  // see Waiter
    Waiter* waiter = nullptr;
    bool arrived = false;  // its response is kept in `payload` for a receive
    bool unread = false;   // synchronous, nobody waits for it, and its response has not come
                           // yet (counted in unread_)
    std::string payload;
    // Whether it is on the list of entries that nobody waits for (see list_unwaited): its
    // response arrived while nobody waited, or its last receive gave up before one came. Then
    // also since when, and its neighbours on that list, oldest first.
    bool listed = false;
    std::chrono::steady_clock::time_point listed_at{};
    Pending* older = nullptr;
    Pending* newer = nullptr;
  };
  // What a sweep ended, and the first of each kind: logged once the mutex is released, in one
  // line for each kind.
  struct Expired {
    struct Kind {
      std::size_t count = 0;
      std::string uuid;
      std::string target;
    };
    Kind answers;   // responses that nobody received
    Kind requests;  // requests left without an answer after their receive gave up
    int lifetime_ms = 0;
    void log() const;
  };
  // An entry that is in none of the router's places (pending_, routed_, delivering_, spare_).
  using Owned = std::unique_ptr<Pending>;
  struct UuidOf {
    std::string_view operator()(Pending const& entry) const noexcept { return entry.uuid; }
  };
  // The entries of pending_, found by their identifiers; pending_ owns them.
  using Entries =
      nelko::base::FlatIndex<Pending, UuidOf, nelko::base::IdentifierHash, nelko::core::TextEqual>;

  // With mutex_ held. A response came for the entry, or it goes.
  void mark_read(Pending& entry);
  // With mutex_ held: takes the entry out of pending_.
  Owned take_pending(Pending& entry);
  // With mutex_ held: removes the entry from pending_, keeping it for a later request.
  void erase(Pending& entry) { recycle(take_pending(entry)); }
  // With mutex_ held: an entry that left pending_ (or routed_) goes, kept for a later request.
  void recycle(Owned entry);
  // With mutex_ held: the position in routed_ of the entry of `uuid`, or routed_.size().
  std::size_t find_routed(std::string_view uuid) const;
  // With mutex_ held: removes routed_[at], keeping it for a later request.
  void erase_routed(std::size_t at);
  // With mutex_ held: an entry for `uuid`, not in pending_ yet.
  Owned make_entry(std::string_view uuid);
  // With mutex_ held: nobody waits for `entry` from now on (its response arrived, or its
  // receive gave up): lists it last, taking it off the list first if it was on it. At most once
  // per kSweepInterval, first ends the entries that have been on the list for their lifetime
  // (counted in `expired`), so that a steady stream of them costs a log line a second.
  void list_unwaited(Pending& entry, Expired& expired);
  // With mutex_ held: takes the entry off that list, if it is on it.
  void unlist(Pending& entry);
  // With `lock` (of mutex_) held: the receive of `entry` gave up before its response came. It
  // stays for a later receive, for a while (see list_unwaited). Releases the lock; 4. This is
  // the only way an unanswered entry is listed: a receive starts once its send has returned, so
  // a sweep never ends an entry whose record a send still uses (a request sent without a
  // receive so far stays until it is answered, received, or its connection breaks).
  [[gnu::noinline]] nelko_core_status gave_up(Pending& entry, std::unique_lock<std::mutex>& lock);
  // With `lock` (of mutex_) held: waits until `waiter` is answered or `deadline`, which is
  // timeout_ms from just before the call, passed (none when timeout_ms is negative), reading the
  // sockets of its lane itself while nobody else does and the core lets it.
  void wait_for(Waiter& waiter, std::unique_lock<std::mutex>& lock, int timeout_ms,
                std::chrono::steady_clock::time_point deadline);

  void* const m_ipcHandle;
  std::atomic<bool> closed_{false};  // the core closed the channel
  std::mutex mutex_;
  Entries pending_;
  // Entries of requests that ended, for the next ones: never more than were pending at once,
  // up to a window of asynchronous requests.
  static constexpr std::size_t kSpareEntries = 64;
  nelko::base::KeptRecords<Pending, kSpareEntries> spare_;
  // The entries of the responses that on_response left to the response functions, oldest
  // first, taken out of pending_: their object's take_async takes one from here, and
  // after_callbacks finds here whatever nobody took. An identifier has one entry in pending_ and
  // routed_ together. Its capacity is kept at least the number of asynchronous requests (see
  // note_sent), so that on_response moves an entry here without allocating.
  std::vector<Owned> routed_;
  std::atomic<std::size_t> routed_count_{0};  // routed_.size(), also read without the mutex
  // I/O thread only, and no other thread touches it: the entry of the asynchronous response
  // that the I/O thread hands to the response functions right now, when on_response ran on it
  // (nearly always). It is out of pending_ and routed_, so its object's take_async and then
  // after_callbacks end it without the mutex; the next on_response on the I/O thread recycles
  // it under the mutex it takes anyway. A response that comes while it is in use (one handed to
  // the callbacks by a reader thread) goes through routed_.
  struct Delivering {
    Owned node;               // null when none
    bool taken = false;       // its object's take_async took it
    bool done = false;        // after_callbacks ran: it waits to be recycled
  };
  Delivering delivering_;
  Waiter* waiters_ = nullptr;  // the threads in await(), newest first
  // The entries that nobody waits for, oldest first (by when they were listed, so also by how
  // long they have been there), and when list_unwaited last looked for expired ones.
  Pending* oldest_unwaited_ = nullptr;
  Pending* newest_unwaited_ = nullptr;
  static constexpr std::chrono::seconds kSweepInterval{1};
  std::chrono::steady_clock::time_point last_sweep_{};
  // Per lane, the one of them in read_for_sink, and its thread.
  struct Reader {
    Waiter* waiter = nullptr;
    std::thread::id thread{};
  };
  Reader readers_[nelko::core::kLanes];
  std::atomic<std::size_t> unread_{0};
  std::atomic<std::size_t> async_{0};  // asynchronous requests pending
};

}  // namespace interfaces
}  // namespace nelko

#endif
