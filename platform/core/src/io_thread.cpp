#include "io_thread.h"

#include <boost/asio/post.hpp>
#include <exception>
#include <future>

#include "nelko_core_logging.h"

namespace nelko::core {

IoThread::IoThread(void* log) : log_(log), work_(boost::asio::make_work_guard(context_)) {}

IoThread::~IoThread() {
  if (thread_.joinable()) stop([] {});
}

void IoThread::start() {
  // The id is published before start() returns, so on_thread() is right from the first call.
  std::promise<void> started;
  thread_ = std::thread([this, &started] {
    id_ = std::this_thread::get_id();
    started.set_value();
    run();
  });
  started.get_future().wait();
}

void IoThread::stop(std::function<void()> last) {
  boost::asio::post(context_, std::move(last));
  work_.reset();
  thread_.join();
}

void IoThread::run() {
  // A handler that throws (out of memory while copying a delivery) loses that delivery only.
  for (;;) {
    try {
      context_.run();
      return;
    } catch (std::exception const& error) {
      nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_ERR, "IPC thread: %s", error.what());
    } catch (...) {
      nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_ERR, "IPC thread: unknown exception");
    }
  }
}

}  // namespace nelko::core
