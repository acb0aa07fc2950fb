// Delivers responses after a delay, on a thread of its own: every reply waits the queue's delay,
// some (see push) longer; replies due at the same time keep the order they were queued in. The
// thread that queues a response (the IPC channel's I/O thread) never waits for the delay.
#ifndef STREAM_LAYOUT_TARGET_RESPONSE_QUEUE_H
#define STREAM_LAYOUT_TARGET_RESPONSE_QUEUE_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace nelko::target {

struct Reply {
  std::string reply_to;
  std::string uuid;
  std::string payload;
  unsigned long number = 0;  // which request it answers, counted from 1 (for the trace)
};

class ResponseQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using Deliver = std::function<void(Reply const&)>;

  // `deliver` runs on the queue's thread, one reply at a time, without the queue's lock.
  ResponseQueue(std::chrono::milliseconds delay, Deliver deliver);
  ~ResponseQueue();
  ResponseQueue(ResponseQueue const&) = delete;
  ResponseQueue& operator=(ResponseQueue const&) = delete;

  // Queues a reply due the queue's delay plus `extra` from now. Ignored once stop() was called.
  void push(Reply reply, std::chrono::milliseconds extra = std::chrono::milliseconds(0));

  // Drops the replies not yet delivered and waits for a delivery in progress; after it, nothing
  // is delivered any more. Called again (or by the destructor), it does nothing.
  void stop();

 private:
  struct Pending {
    Clock::time_point due;
    Reply reply;
  };

  void run();

  std::chrono::milliseconds const delay_;
  Deliver const deliver_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Pending> pending_;  // sorted by due time
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace nelko::target

#endif
