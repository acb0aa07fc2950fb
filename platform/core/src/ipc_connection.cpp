#include "ipc_connection.h"

#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "nelko_core_logging.h"

namespace nelko::core {
namespace {

constexpr std::size_t kInitialInput = 16 * 1024;
// A buffer grown for a large frame is given back once it is empty again.
constexpr std::size_t kKeptInput = 64 * 1024;
constexpr int kMaxPiecesPerWrite = 64;

bool would_block(int error_number) {
  return error_number == EAGAIN || error_number == EWOULDBLOCK;
}

ssize_t send_pieces(int descriptor, iovec const* pieces, int count) {
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(pieces);
  message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
  ssize_t written;
  do {
    written = ::sendmsg(descriptor, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (written < 0 && errno == EINTR);
  return written;
}

}  // namespace

Connection::Connection(Socket socket, ConnectionOwner& owner, void* log, std::uint64_t id,
                       std::string label)
    : socket_(std::move(socket)),
      descriptor_(socket_.native_handle()),
      owner_(owner),
      log_(log),
      id_(id),
      label_(std::move(label)),
      input_(kInitialInput) {}

Connection::~Connection() = default;

void Connection::start() {
  boost::asio::post(socket_.get_executor(), [self = shared_from_this()] { self->read_more(); });
}

// Asio tries the socket before it waits, so bytes that came before the read was started are
// not missed.
void Connection::read_more() {
  socket_.async_read_some(
      boost::asio::buffer(input_.data() + filled_, input_.size() - filled_),
      [self = shared_from_this()](boost::system::error_code const& error, std::size_t count) {
        self->on_read(error, count);
      });
}

void Connection::on_read(boost::system::error_code const& error, std::size_t count) {
  if (socket_closed_) return;
  if (error) {
    if (error == boost::asio::error::operation_aborted) return;
    bool orderly = error == boost::asio::error::eof;
    close_on_io_thread(orderly ? "closed by the peer" : error.message(), orderly);
    return;
  }
  filled_ += count;
  if (parse_frames()) read_more();
}

// Hands every complete frame in the buffer to the owner; false when the connection got closed.
bool Connection::parse_frames() {
  std::size_t position = 0;
  std::size_t needed = 0;
  while (filled_ - position >= kFrameLengthSize) {
    std::uint32_t length = read_be32(input_.data() + position);
    // Checked before any room is made for the body, so a peer cannot make us allocate more.
    if (length == 0 || length > kMaxFrameBody) {
      close_on_io_thread("frame of " + std::to_string(length) + " bytes refused (limit " +
                             std::to_string(kMaxFrameBody) + ")",
                         false);
      return false;
    }
    if (filled_ - position - kFrameLengthSize < length) {
      needed = kFrameLengthSize + length;
      break;
    }
    IncomingFrame frame;
    if (!parse_frame_body(input_.data() + position + kFrameLengthSize, length, frame)) {
      close_on_io_thread("malformed frame", false);
      return false;
    }
    position += kFrameLengthSize + length;
    owner_.on_frame(*this, frame);
    if (socket_closed_) return false;
  }
  if (position > 0) {
    std::memmove(input_.data(), input_.data() + position, filled_ - position);
    filled_ -= position;
  }
  if (needed > input_.size()) {
    input_.resize(needed);
  } else if (filled_ == 0 && input_.size() > kKeptInput) {
    std::vector<char>(kInitialInput).swap(input_);
  }
  return true;
}

nelko_core_status Connection::send(OutgoingFrame const& frame) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (closed_.load(std::memory_order_relaxed)) return NELKO_CORE_STATUS_IPC_FAILED;
  std::size_t written = 0;
  if (queue_.empty()) {
    ssize_t result = send_pieces(descriptor_, frame.pieces(), frame.piece_count());
    if (result >= 0 && static_cast<std::size_t>(result) == frame.size()) {
      return NELKO_CORE_STATUS_NO_ERROR;
    }
    if (result < 0 && !would_block(errno)) {
      fail_locked(errno);
      return NELKO_CORE_STATUS_IPC_FAILED;
    }
    written = result > 0 ? static_cast<std::size_t>(result) : 0;
  } else if (queued_bytes_ + frame.size() > kMaxQueuedBytes) {
    nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_WARNING,
                           "IPC connection %s: peer is not reading, %zu bytes wait; frame refused",
                           label_.c_str(), queued_bytes_);
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
  bool was_empty = queue_.empty();
  std::size_t rest = frame.size() - written;
  queue_.push_back({frame.copy_tail(written), rest, 0});
  queued_bytes_ += rest;
  if (was_empty) {
    boost::asio::post(socket_.get_executor(),
                      [self = shared_from_this()] { self->flush_on_io_thread(); });
  }
  return NELKO_CORE_STATUS_NO_ERROR;
}

// Waiting for writability only after a write on this thread would have blocked: the reactor
// reports readiness as edges, and such an edge cannot be missed before the wait is queued.
void Connection::flush_on_io_thread() {
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (closed_.load(std::memory_order_relaxed) || queue_.empty()) return;
  if (flush_locked() && !queue_.empty()) {
    socket_.async_wait(Socket::wait_write,
                       [self = shared_from_this()](boost::system::error_code const& error) {
                         if (!error) self->flush_on_io_thread();
                       });
  }
}

bool Connection::flush_locked() {
  while (!queue_.empty()) {
    iovec pieces[kMaxPiecesPerWrite];
    int count = 0;
    for (Pending const& pending : queue_) {
      if (count == kMaxPiecesPerWrite) break;
      pieces[count++] = {pending.bytes.get() + pending.offset, pending.size - pending.offset};
    }
    ssize_t result = send_pieces(descriptor_, pieces, count);
    if (result < 0) {
      if (would_block(errno)) return true;
      fail_locked(errno);
      return false;
    }
    auto written = static_cast<std::size_t>(result);
    queued_bytes_ -= written;
    while (written > 0) {
      Pending& front = queue_.front();
      std::size_t left = front.size - front.offset;
      if (written < left) {
        front.offset += written;
        break;
      }
      written -= left;
      queue_.pop_front();
    }
  }
  return true;
}

void Connection::fail_locked(int error_number) {
  closed_.store(true, std::memory_order_release);
  queue_.clear();
  queued_bytes_ = 0;
  std::string reason = "write failed: " + std::generic_category().message(error_number);
  boost::asio::post(socket_.get_executor(), [self = shared_from_this(), reason] {
    self->close_on_io_thread(reason, false);
  });
}

void Connection::close_on_io_thread(std::string const& reason, bool orderly) {
  if (socket_closed_) return;
  shut_down();
  owner_.on_closed(*this, reason, orderly);
}

void Connection::shut_down() {
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    closed_.store(true, std::memory_order_release);
    queue_.clear();
    queued_bytes_ = 0;
  }
  socket_closed_ = true;
  boost::system::error_code ignored;
  socket_.close(ignored);
}

}  // namespace nelko::core
