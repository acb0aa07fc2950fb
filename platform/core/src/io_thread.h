#ifndef NELKO_CORE_IO_THREAD_H
#define NELKO_CORE_IO_THREAD_H

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace nelko::core {

// Something with a descriptor whose readiness the I/O thread acts on.
class Watched {
 public:
  // On the I/O thread, with the poll events that were reported (POLLIN, POLLOUT, POLLHUP,
  // POLLERR). Must not throw: the other events taken with this one would be lost.
  virtual void on_ready(std::uint32_t events) noexcept = 0;
  // On the I/O thread of a lingering IoThread, when poll() reported only this one's POLLIN
  // several turns in a row: waits up to `wait_ms` in a receive on the descriptor and acts on
  // what comes as on_ready(POLLIN) would. False when nothing came, the descriptor is gone, or it
  // cannot wait so; the thread then polls again.
  virtual bool linger(int wait_ms) noexcept {
    (void)wait_ms;
    return false;
  }

 protected:
  ~Watched() = default;
};

// The one thread of a channel. It waits in poll() on the channel's sockets and acts on their
// readiness, and it runs work posted to it; so every delivery to callbacks happens on it. Any
// thread may change what a socket is watched for: a thread that pulls responses takes a socket's
// readability out of the set while it reads the socket itself (see Connection).
//
// poll() rather than an epoll set: a socket in an epoll set runs the set's callback, under a
// lock that masks interrupts, on every write of its peer, also while this thread is busy and
// would not be woken anyway; a polled socket costs its peer only while this thread sleeps in
// poll(). With four threads making synchronous calls on one handle that took the rate from
// 80,000-110,000 to 136,000-140,000 round trips per second on the development machine. A
// channel has a few sockets (a target at most kMaxConnections), so passing them to each poll()
// is cheap. Readiness is level-triggered: what a turn leaves unread is reported again by the
// next poll(), so nothing depends on seeing an edge.
// One poll() per wake-up, with nothing in between: on the device every system call counts.
class IoThread {
 public:
  // Throws std::system_error when the wake-up descriptor cannot be made.
  explicit IoThread(void* log);
  ~IoThread();
  IoThread(IoThread const&) = delete;
  IoThread& operator=(IoThread const&) = delete;

  void start();
  // Before start(): while one peer alone keeps the thread busy, sending its next request soon
  // after each answer, and no other socket was reported for kQuietFor, the thread waits for
  // that peer's next bytes in its receive, as a service with a thread per peer would, instead
  // of in poll(). Waking a thread that sleeps in a receive costs the peer less than waking one
  // that sleeps in poll(), and each request then takes one system call to read instead of two:
  // a synchronous round trip took a quarter less on the development machine. The thread goes
  // back to poll() after kLingerFor, when a receive waits kLingerMs in vain, when the peer sends
  // more than one turn's share, and as soon as it notices posted work, a changed watch set or
  // due work between two requests. A socket that becomes ready meanwhile, posted work (stop()
  // too) and a reply queued for the socket to drain wait up to kLingerFor; when the busy peer
  // falls silent at that moment, up to kLingerFor and one receive time-out more, which the
  // kernel rounds up to a tick and its timer stretches to about two (4-8 ms measured at 250 Hz;
  // at 100 Hz expect 10-20 ms). That is why a thread with several active peers does not
  // linger. For a target, whose peers wait for its answers; an initiator's thread does not.
  void linger_on_busy_peer() { lingers_ = true; }
  // Runs `last` on the thread (to close the channel's sockets), then whatever is still posted,
  // and joins the thread; on this thread when it never started. Must not be called on the
  // thread itself.
  void stop(std::function<void()> last);
  bool on_thread() const { return std::this_thread::get_id() == id_; }

  // Runs `work` on the thread after what was posted before it. From any thread.
  void post(std::function<void()> work);
  // Runs `work` on the thread once `delay` has passed. On the thread only.
  void post_after(std::chrono::milliseconds delay, std::function<void()> work);

  // The watched set, from any thread; `events` are POLLIN and POLLOUT. `watched` is kept alive
  // while it is in the set. A descriptor with neither event is not polled at all, so its
  // hang-up is not reported either: whoever reads it (or the next send) finds out. A thread that
  // adds events wakes the I/O thread, which then polls for them; one that takes events away does
  // not, and a report that the I/O thread's current poll() makes of them is dropped. An event
  // that the thread took just before unwatch() may still reach `watched` afterwards. change() is
  // false for a key that is not watched.
  std::uint64_t watch(int descriptor, std::uint32_t events, std::shared_ptr<Watched> watched);
  bool change(int descriptor, std::uint64_t key, std::uint32_t events);
  void unwatch(int descriptor, std::uint64_t key);

 private:
  using Clock = std::chrono::steady_clock;

  struct Entry {
    int descriptor;
    std::uint32_t events;
    std::shared_ptr<Watched> watched;
  };

  void run();
  // Waits in `key`'s receive while it goes on sending and nothing else comes up; `now` is the
  // turn's clock reading, and the last one is returned.
  Clock::time_point linger(std::uint64_t key, Clock::time_point now);
  // With watched_mutex_ held: polled_ and polled_keys_ made again from watched_.
  void make_poll_set();
  void dispatch(std::uint64_t key, std::uint32_t events);
  // Makes the thread's poll() return, unless a wake-up is pending anyway.
  void wake();
  // Runs the delayed work due at `now`.
  void run_due(Clock::time_point now);
  // True when something was run.
  bool run_posted();
  void run_guarded(std::function<void()>& work);

  void* log_;
  int wake_ = -1;  // an eventfd, always polled: posted work waits, or the set changed
  std::thread thread_;
  std::thread::id id_;

  std::mutex watched_mutex_;
  std::unordered_map<std::uint64_t, Entry> watched_;
  std::uint64_t next_key_ = 0;
  // polled_ no longer matches watched_. Set under watched_mutex_; read without it by the thread,
  // which so takes the lock only in a turn after a change.
  std::atomic<bool> set_changed_{true};
  // Thread only: what the next poll() passes, the wake-up descriptor first, and whose each is.
  std::vector<pollfd> polled_;
  std::vector<std::uint64_t> polled_keys_;

  std::mutex posted_mutex_;
  std::deque<std::function<void()>> posted_;
  // The eventfd was written and not yet read. Written with posted_mutex_ held; a lingering
  // thread reads it without.
  std::atomic<bool> wake_pending_{false};
  bool stopping_ = false;

  bool lingers_ = false;
  // Thread only: the one socket that poll() reported alone, readable and soon, the last turns
  // in a row.
  std::uint64_t alone_key_ = 0;
  int alone_turns_ = 0;
  Clock::time_point last_woke_{};     // when the last turn's poll() returned
  Clock::time_point last_crowded_{};  // when a turn last reported another or more

  struct Delayed {
    Clock::time_point due;
    std::function<void()> work;
  };
  // Thread only; a handful at most (a channel's periodic checks), so a plain list does.
  std::vector<Delayed> delayed_;
};

}  // namespace nelko::core

#endif
