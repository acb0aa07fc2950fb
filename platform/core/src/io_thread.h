#ifndef NELKO_CORE_IO_THREAD_H
#define NELKO_CORE_IO_THREAD_H

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
  // On the I/O thread, with the epoll events that were reported. Must not throw: edges are
  // reported once, and the other events taken with this one would be lost.
  virtual void on_ready(std::uint32_t events) noexcept = 0;

 protected:
  ~Watched() = default;
};

// The one thread of a channel. It waits on an epoll set of the channel's sockets
// (edge-triggered) and acts on their readiness, and it runs work posted to it; so every delivery
// to callbacks happens on it. Any thread may change what a socket is watched for: a thread that
// pulls responses takes a socket's readability out of the set while it reads the socket itself,
// so this thread is not woken for bytes it will not read (see Connection).
//
// One epoll_wait() per wake-up, with nothing in between: on the device every system call counts.
class IoThread {
 public:
  // Throws std::system_error when the epoll set or the wake-up descriptor cannot be made.
  explicit IoThread(void* log);
  ~IoThread();
  IoThread(IoThread const&) = delete;
  IoThread& operator=(IoThread const&) = delete;

  void start();
  // Runs `last` on the thread (to close the channel's sockets), then whatever is still posted,
  // and joins the thread. Must not be called on the thread itself.
  void stop(std::function<void()> last);
  bool on_thread() const { return std::this_thread::get_id() == id_; }

  // Runs `work` on the thread after what was posted before it. From any thread.
  void post(std::function<void()> work);
  // Runs `work` on the thread once `delay` has passed. On the thread only.
  void post_after(std::chrono::milliseconds delay, std::function<void()> work);

  // The epoll set, from any thread. `watched` is kept alive while it is in the set. An event
  // that the thread took from the set just before unwatch() may still reach it afterwards.
  // watch() throws std::system_error when epoll refuses; change() returns false then.
  std::uint64_t watch(int descriptor, std::uint32_t events, std::shared_ptr<Watched> watched);
  bool change(int descriptor, std::uint64_t key, std::uint32_t events);
  void unwatch(int descriptor, std::uint64_t key);

 private:
  using Clock = std::chrono::steady_clock;

  void run();
  void dispatch(std::uint64_t key, std::uint32_t events);
  // Runs the delayed work due at `now`.
  void run_due(Clock::time_point now);
  // True when something was run.
  bool run_posted();
  void run_guarded(std::function<void()>& work);

  void* log_;
  int epoll_ = -1;
  int wake_ = -1;  // an eventfd in the set: posted work waits
  std::thread thread_;
  std::thread::id id_;

  std::mutex watched_mutex_;
  std::unordered_map<std::uint64_t, std::shared_ptr<Watched>> watched_;
  std::uint64_t next_key_ = 0;

  std::mutex posted_mutex_;
  std::deque<std::function<void()>> posted_;
  bool wake_pending_ = false;  // the eventfd was written and not yet read
  bool stopping_ = false;

  struct Delayed {
    Clock::time_point due;
    std::function<void()> work;
  };
  // Thread only; a handful at most (a channel's periodic checks), so a plain list does.
  std::vector<Delayed> delayed_;
};

}  // namespace nelko::core

#endif
