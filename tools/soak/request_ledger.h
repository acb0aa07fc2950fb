// The books that the soak and the fault suite keep on the requests they make, so that a run can
// say more than "nothing failed": every asynchronous request ended in exactly one callback or was
// withdrawn by cancel first, every non-blocking request was received exactly once, every answer
// belonged to the request that got it, and no wait outlived its time-out.
//
// Each request is opened with the answer it must get (its values; statuses are judged apart), and
// closed by its outcome. An asynchronous request's user_data is its ledger identifier, so that each
// callback is attributed to exactly one request; the completion functions below report to the
// ledger that exists at the time (one per process).
//
//   RequestLedger ledger(slack_ms);
//   auto id = ledger.open_async({4});
//   nelko_api_stream_layout_get_num_roi_send_async(h, "stream_layout", on_num,
//                                                  RequestLedger::user_data(id));
//   ledger.expect_completion(id, deadline);
//   nelko_api_stream_layout_get_num_roi_cancel_async(h, on_num,
//                                                    RequestLedger::user_data(id));
//   ledger.withdrawn(id);
//   if (!ledger.clean()) puts(ledger.line().c_str());
#ifndef NELKO_TOOLS_SOAK_REQUEST_LEDGER_H
#define NELKO_TOOLS_SOAK_REQUEST_LEDGER_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "nelko_api_stream_layout.h"

namespace nelko::soak {

using Clock = std::chrono::steady_clock;
using Values = std::vector<double>;

// A status as a number: statuses passed on from a target may lie outside the enumeration.
inline unsigned code(nelko_core_status const& status) {
  unsigned out = 0;
  std::memcpy(&out, &status, sizeof out);
  return out;
}

constexpr unsigned kOk = 0;
constexpr unsigned kIpcFailed = 4;

// What a request ended with: its status and, on 0, its results.
struct Answer {
  unsigned status = kIpcFailed;
  Values values;
};

// The answer of a call that has returned, or of a callback: its results count only on 0.
inline Answer answer(nelko_core_status status, Values values) {
  unsigned const number = code(status);
  return {number, number == kOk ? std::move(values) : Values{}};
}

// The nine lists of a layout as one row of values: each list's length, then its values.
inline Values layout_values(unsigned int** const (&lists)[9]) {
  Values out;
  for (unsigned int** list : lists) {
    std::size_t const at = out.size();
    out.push_back(0);
    for (unsigned int** cell = list; cell != nullptr && *cell != nullptr; ++cell) {
      out.push_back(**cell);
    }
    out[at] = static_cast<double>(out.size() - at - 1);
  }
  return out;
}

struct Totals {
  unsigned long sync = 0;             // synchronous requests answered
  unsigned long received = 0;         // non-blocking requests received once
  unsigned long completed = 0;        // asynchronous requests completed by one callback
  unsigned long cancelled = 0;        // asynchronous requests withdrawn before any callback
  unsigned long ended_by_outage = 0;  // ended with 4 while the target was down on purpose
  unsigned long refused = 0;          // ended with another non-zero status
  unsigned long unsent = 0;  // the send itself failed with 4 while the target was up (busy)
  unsigned long lost = 0;             // no answer though the target was up, or none at all
  unsigned long duplicated = 0;       // a second outcome, or a callback after cancel returned
  unsigned long misrouted = 0;        // an answer with another request's values
  unsigned long late_waits = 0;       // a wait that outlived its time-out
  long longest_wait_ms = 0;           // of all receives and synchronous calls
};

class RequestLedger {
 public:
  using Id = std::uintptr_t;

  // slack_ms: how much longer than its time-out a wait may take (scheduling, sanitizers).
  explicit RequestLedger(long slack_ms) : slack_ms_(slack_ms) { current_ = this; }
  ~RequestLedger() { current_ = nullptr; }
  RequestLedger(RequestLedger const&) = delete;
  RequestLedger& operator=(RequestLedger const&) = delete;

  // The ledger the completion functions report to.
  static RequestLedger* current() { return current_.load(); }
  static void* user_data(Id id) { return reinterpret_cast<void*>(id); }

  // Brackets a time in which the target is down on purpose: a request that was in flight at any
  // moment of it may end with 4 (or an asynchronous one with a callback of status 4).
  void outage_begins() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++outages_;
    down_ = true;
  }
  void outage_ends() {
    std::lock_guard<std::mutex> lock(mutex_);
    down_ = false;
  }

  // Makes a synchronous request: `call` sends, waits up to timeout_ms and returns the answer,
  // which must be `want`.
  template <class Call>
  Answer sync(Values want, int timeout_ms, Call&& call) {
    Id const id = open(Form::kSync, std::move(want));
    return timed(id, timeout_ms, std::forward<Call>(call));
  }

  // A non-blocking request, opened before it is sent; closed by receive() or not_sent().
  Id open_non_blocking(Values want) { return open(Form::kNonBlocking, std::move(want)); }
  // Its final receive: `call` waits up to timeout_ms and returns the answer.
  template <class Call>
  Answer receive(Id id, int timeout_ms, Call&& call) {
    return timed(id, timeout_ms, std::forward<Call>(call));
  }

  // An asynchronous request, opened before it is sent. `then` runs on the callback's thread after
  // the callback has been counted (a callback that cancels other requests, say).
  Id open_async(Values want, std::function<void()> then = {}) {
    return open(Form::kAsync, std::move(want), std::move(then));
  }
  // The send of a request was refused (status `status`): no answer is to come, and a callback
  // that came all the same is a second outcome.
  void not_sent(Id id, unsigned status) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto entry = entries_.find(id);
    if (entry == entries_.end()) return;
    if (entry->second.called) ++totals_.duplicated;
    // A target that cannot take another connection (its backlog is full) fails the send at once:
    // the request has ended, with its status, and nothing else is owed.
    if (status == kIpcFailed && !outage(entry->second)) {
      ++totals_.unsent;
    } else {
      judge_failure(entry->second, status);
    }
    if (entry->second.form == Form::kAsync) {
      entry->second.called = true;  // nothing is owed; withdrawn() still closes it
    } else {
      entries_.erase(entry);
    }
  }
  // Reports one callback; called by the completion functions on the I/O thread.
  void called_back(void* user_data, Answer const& answer) {
    Id const id = reinterpret_cast<Id>(user_data);
    std::function<void()> then;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto entry = entries_.find(id);
      if (entry == entries_.end()) {
        // Closed already (a callback after cancel returned) or never opened.
        ++(id != 0 && id < next_id_ ? totals_.duplicated : totals_.misrouted);
        return;
      }
      Entry& request = entry->second;
      if (request.form != Form::kAsync || request.called) {
        ++(request.form != Form::kAsync ? totals_.misrouted : totals_.duplicated);
        return;
      }
      request.called = true;
      if (!request.given_up) judge(request, answer, &totals_.completed);
      then = std::move(request.then);
      changed_.notify_all();
    }
    if (then) then();
  }
  // cancel_async (or the handle's deinit) has returned for this request: no callback may follow.
  void withdrawn(Id id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto entry = entries_.find(id);
    if (entry == entries_.end()) return;
    if (!entry->second.called && !entry->second.given_up) ++totals_.cancelled;
    entries_.erase(entry);
    changed_.notify_all();
  }
  // Waits for the callback of `id`; one that has not come by `deadline` counts as lost.
  bool expect_completion(Id id, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [&] {
      auto entry = entries_.find(id);
      return entry == entries_.end() || entry->second.called;
    });
    auto entry = entries_.find(id);
    if (entry == entries_.end() || entry->second.called) return true;
    give_up(entry->second);
    return false;
  }
  // Waits until every asynchronous request has had its callback or been withdrawn; those still
  // open at `deadline` count as lost.
  bool settle(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto const open_async = [&] {
      for (auto const& entry : entries_) {
        if (entry.second.form == Form::kAsync && !entry.second.called) return true;
      }
      return false;
    };
    if (changed_.wait_until(lock, deadline, [&] { return !open_async(); })) return true;
    for (auto& entry : entries_) {
      if (entry.second.form == Form::kAsync && !entry.second.called) give_up(entry.second);
    }
    return false;
  }

  // The books as they stand; requests still open count as lost, so take them at the end.
  Totals totals() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Totals out = totals_;
    for (auto const& entry : entries_) {
      if (!entry.second.given_up && !(entry.second.form == Form::kAsync && entry.second.called)) {
        ++out.lost;
      }
    }
    return out;
  }
  bool clean() const {
    Totals const t = totals();
    return t.lost == 0 && t.duplicated == 0 && t.misrouted == 0 && t.late_waits == 0;
  }
  std::string first_loss() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_loss_.empty() ? "a request still open at the end" : first_loss_;
  }
  std::string line() const {
    Totals const t = totals();
    auto n = [](unsigned long value) { return std::to_string(value); };
    return n(t.sync) + " sync, " + n(t.received) + " non-blocking received once, " +
           n(t.completed) + " async completed once, " + n(t.cancelled) + " cancelled, " +
           n(t.ended_by_outage) + " ended by outage, " + n(t.unsent) + " not sent (target busy), " +
           n(t.refused) + " refused, " + n(t.lost) +
           " lost, " + n(t.duplicated) + " duplicated, " + n(t.misrouted) + " misrouted, " +
           n(t.late_waits) + " late waits" + (t.lost == 0 ? "" : "; first lost: " + first_loss());
  }

 private:
  enum class Form { kSync, kNonBlocking, kAsync };
  struct Entry {
    Form form;
    Values want;
    std::function<void()> then;
    unsigned long outages_at_open;
    bool down_at_open;
    bool called = false;    // asynchronous: its callback ran (or nothing is owed)
    bool given_up = false;  // already counted as lost
  };

  Id open(Form form, Values want, std::function<void()> then = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    Id const id = next_id_++;
    entries_.emplace(id, Entry{form, std::move(want), std::move(then), outages_, down_});
    return id;
  }

  template <class Call>
  Answer timed(Id id, int timeout_ms, Call&& call) {
    Clock::time_point const start = Clock::now();
    Answer answer = call();
    auto const elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    std::lock_guard<std::mutex> lock(mutex_);
    if (timeout_ms >= 0 && elapsed > timeout_ms + slack_ms_) ++totals_.late_waits;
    totals_.longest_wait_ms = std::max(totals_.longest_wait_ms, static_cast<long>(elapsed));
    auto entry = entries_.find(id);
    if (entry == entries_.end()) {
      ++totals_.duplicated;
      return answer;
    }
    unsigned long const lost_before = totals_.lost;
    judge(entry->second, answer,
          entry->second.form == Form::kSync ? &totals_.sync : &totals_.received);
    if (totals_.lost != lost_before) {
      note_loss(entry->second, "ended with 4 after " + std::to_string(elapsed) + " ms (time-out " +
                                   std::to_string(timeout_ms) + " ms)");
    }
    entries_.erase(entry);
    return answer;
  }

  // Counts an outcome: a success under `success` (or as misrouted when its values are another
  // request's), a failure by its kind.
  void judge(Entry const& request, Answer const& answer, unsigned long* success) {
    if (answer.status != kOk) {
      judge_failure(request, answer.status);
    } else if (answer.values != request.want) {
      ++totals_.misrouted;
    } else {
      ++*success;
    }
  }
  bool outage(Entry const& request) const {
    return request.down_at_open || down_ || request.outages_at_open != outages_;
  }
  void judge_failure(Entry const& request, unsigned status) {
    if (status != kIpcFailed) {
      ++totals_.refused;
    } else {
      ++(outage(request) ? totals_.ended_by_outage : totals_.lost);
    }
  }
  // A request that never ended is lost, target outage or not: an outage ends it with 4.
  void give_up(Entry& request) {
    if (request.given_up) return;
    request.given_up = true;
    ++totals_.lost;
    note_loss(request, "no callback by its deadline");
  }
  // The first loss, described for the accounting line: what a count alone does not say.
  void note_loss(Entry const& request, std::string const& how) {
    if (!first_loss_.empty()) return;
    static char const* const kForms[] = {"sync", "non-blocking", "async"};
    first_loss_ = std::string(kForms[static_cast<int>(request.form)]) + " request " + how;
  }
  std::string first_loss_;

  static inline std::atomic<RequestLedger*> current_{nullptr};
  long const slack_ms_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Id next_id_ = 1;
  unsigned long outages_ = 0;
  bool down_ = false;
  std::unordered_map<Id, Entry> entries_;
  Totals totals_;
};

// Completion functions of the seven commands for requests whose user_data is a ledger identifier.
inline void report_completion(void* user_data, nelko_core_status status, Values values) {
  if (RequestLedger* ledger = RequestLedger::current()) {
    ledger->called_back(user_data, answer(status, std::move(values)));
  }
}
inline void on_version(char*, nelko_core_status s, unsigned int major, unsigned int minor,
                       void* u) {
  report_completion(u, s, {double(major), double(minor)});
}
inline void on_num(char*, nelko_core_status s, unsigned int num, void* u) {
  report_completion(u, s, {double(num)});
}
inline void on_roi(char*, nelko_core_status s, double pan, double tilt, double roll, double vfov,
                   void* u) {
  report_completion(u, s, {pan, tilt, roll, vfov});
}
inline void on_point(char*, nelko_core_status s, double pan, double tilt, void* u) {
  report_completion(u, s, {pan, tilt});
}
// Set_roi and Set_stream_layout.
inline void on_done(char*, nelko_core_status s, void* u) {
  report_completion(u, s, {});
}
inline void on_layout(char*, nelko_core_status s, unsigned int** l1, unsigned int** l2,
                      unsigned int** l3, unsigned int** l4, unsigned int** l5, unsigned int** l6,
                      unsigned int** l7, unsigned int** l8, unsigned int** l9, void* u) {
  unsigned int** const lists[9] = {l1, l2, l3, l4, l5, l6, l7, l8, l9};
  report_completion(u, s, layout_values(lists));
}

}  // namespace nelko::soak

#endif
