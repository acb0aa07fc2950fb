#include "response_queue.h"

#include <algorithm>
#include <utility>

namespace nelko::target {

ResponseQueue::ResponseQueue(std::chrono::milliseconds delay, Deliver deliver)
    : delay_(delay), deliver_(std::move(deliver)), thread_([this] { run(); }) {}

ResponseQueue::~ResponseQueue() {
  stop();
}

void ResponseQueue::push(Reply reply, std::chrono::milliseconds extra) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    Clock::time_point const due = Clock::now() + delay_ + extra;
    // After every reply due no later, so equal delays keep their order.
    auto const place = std::upper_bound(pending_.begin(), pending_.end(), due,
                                        [](Clock::time_point t, Pending const& p) { return t < p.due; });
    pending_.insert(place, {due, std::move(reply)});
  }
  wake_.notify_one();
}

void ResponseQueue::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    pending_.clear();
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void ResponseQueue::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (stopping_) return;
    // A copy: stop() may clear the queue while this thread waits.
    Clock::time_point const due = pending_.front().due;
    if (Clock::now() < due) {
      wake_.wait_until(lock, due);
      continue;
    }
    Reply reply = std::move(pending_.front().reply);
    pending_.pop_front();
    lock.unlock();
    deliver_(reply);
    lock.lock();
  }
}

}  // namespace nelko::target
