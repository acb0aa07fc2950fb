#ifndef NELKO_CORE_IO_THREAD_H
#define NELKO_CORE_IO_THREAD_H

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <functional>
#include <thread>

namespace nelko::core {

// The one thread of a channel: it runs the channel's io_context, so every socket operation and
// every delivery to callbacks happens on it.
class IoThread {
 public:
  explicit IoThread(void* log);
  ~IoThread();
  IoThread(IoThread const&) = delete;
  IoThread& operator=(IoThread const&) = delete;

  boost::asio::io_context& context() { return context_; }
  void start();
  // Runs `last` on the thread (to close the channel's sockets, which ends their operations),
  // lets the thread run out of work and joins it. Must not be called on the thread itself.
  void stop(std::function<void()> last);
  bool on_thread() const { return std::this_thread::get_id() == id_; }

 private:
  void run();

  void* log_;
  boost::asio::io_context context_{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::thread thread_;
  std::thread::id id_;
};

}  // namespace nelko::core

#endif
