#ifndef NELKO_CORE_IPC_CONNECTION_H
#define NELKO_CORE_IPC_CONNECTION_H

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ipc_frame.h"
#include "nelko_core_types.h"

namespace nelko::core {

class Connection;

// The channel that owns connections; called on the I/O thread.
class ConnectionOwner {
 public:
  virtual void on_frame(Connection& connection, IncomingFrame const& frame) = 0;
  // The connection is closed; called once. `orderly` is true when the peer closed it and false
  // for a failed read or write or a broken frame; `reason` says what happened.
  virtual void on_closed(Connection& connection, std::string const& reason, bool orderly) = 0;

 protected:
  ~ConnectionOwner() = default;
};

// One stream socket to a peer, reading and writing frames.
//
// Reading runs on the I/O thread; frames are handed to the owner straight from the receive
// buffer. Writing is done by the sending thread itself when nothing is queued: one sendmsg()
// that does not wait. Only what the socket does not take at once is copied into a queue that
// the I/O thread writes when the socket drains; later frames queue behind it, so order holds.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Socket = boost::asio::local::stream_protocol::socket;

  // Bytes that may wait in the queue before sends fail: a peer that stopped reading must not
  // make the process grow without bound.
  static constexpr std::size_t kMaxQueuedBytes = 4u << 20;

  Connection(Socket socket, ConnectionOwner& owner, void* log, std::uint64_t id, std::string label);
  ~Connection();
  Connection(Connection const&) = delete;
  Connection& operator=(Connection const&) = delete;

  std::uint64_t id() const { return id_; }
  std::string const& label() const { return label_; }
  bool closed() const { return closed_.load(std::memory_order_acquire); }

  // Starts reading (on the I/O thread); call once, after the connection is owned by a
  // shared_ptr.
  void start();
  // From any thread. NO_ERROR when the frame is written or queued; IPC_FAILED when the
  // connection is closed, broken (it is then closed) or its queue is full.
  nelko_core_status send(OutgoingFrame const& frame);
  // Closes the socket without telling the owner; on the I/O thread (channel shut-down).
  void shut_down();

 private:
  struct Pending {
    std::unique_ptr<char[]> bytes;
    std::size_t size;
    std::size_t offset;
  };

  void read_more();
  void on_read(boost::system::error_code const& error, std::size_t count);
  bool parse_frames();
  void flush_on_io_thread();
  // Both with write_mutex_ held.
  bool flush_locked();
  void fail_locked(int error_number);
  void close_on_io_thread(std::string const& reason, bool orderly);

  Socket socket_;
  int const descriptor_;
  ConnectionOwner& owner_;
  void* log_;
  std::uint64_t const id_;
  std::string const label_;

  std::mutex write_mutex_;
  std::atomic<bool> closed_{false};  // written with write_mutex_ held: no send after it is set
  std::deque<Pending> queue_;
  std::size_t queued_bytes_ = 0;

  // I/O thread only.
  std::vector<char> input_;
  std::size_t filled_ = 0;
  bool socket_closed_ = false;
};

}  // namespace nelko::core

#endif
