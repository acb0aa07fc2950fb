#ifndef NELKO_CORE_IPC_CONNECTION_H
#define NELKO_CORE_IPC_CONNECTION_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "io_thread.h"
#include "ipc_frame.h"
#include "nelko_core_channel_events.h"
#include "nelko_core_types.h"

namespace nelko::core {

class Connection;

// Bytes that the connections of one channel may hold beyond their fixed receive buffers, shared
// by all of them: receive buffers grown for a large frame, and frames queued for a slow peer.
// Without it, many peers that each stay within their own bounds could still exhaust memory.
class ByteBudget {
 public:
  explicit ByteBudget(std::size_t limit) : limit_(limit) {}
  // False, taking nothing, when `bytes` more would exceed the limit.
  bool take(std::size_t bytes);
  void give(std::size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }
  std::size_t limit() const { return limit_; }

 private:
  std::size_t const limit_;
  std::atomic<std::size_t> used_{0};
};

// The channel that owns connections.
class ConnectionOwner {
 public:
  // A frame read by the I/O thread (`on_io_thread`), which takes every frame, or by a thread
  // that borrowed the reading (see Connection::read_now), which may leave a frame to the I/O
  // thread by returning false: the connection then stops handing frames to that thread, and
  // the I/O thread gets this frame and all that follow it, in order.
  virtual bool on_frame(Connection& connection, IncomingFrame const& frame, bool on_io_thread) = 0;
  // The connection is closed; called once, on the I/O thread or on a thread reading it.
  // `orderly` is true when the peer closed it and false for a failed read or write or a broken
  // frame; `reason` says what happened.
  virtual void on_closed(Connection& connection, std::string const& reason, bool orderly) = 0;
  // False while frames may wait in the socket until a thread borrows the reading again: then
  // a borrower that is done leaves the reading parked instead of handing it back to the I/O
  // thread, which saves two system calls per borrowing. Asked with the connection's lock held.
  virtual bool must_read_promptly() const { return true; }

 protected:
  ~ConnectionOwner() = default;
};

// One stream socket to a peer, reading and writing frames.
//
// Reading: one thread at a time reads the socket and hands the frames to the owner straight
// from the receive buffer, in arrival order. Normally that is the I/O thread, when the socket
// reports readability. A thread waiting for a response may borrow the reading instead
// (lend_reading / read_now / return_reading): while it is lent, the I/O thread is not woken for
// incoming bytes, and the borrower reads them itself, which saves handing each frame from one
// thread to another. When the last borrower is done, the reading goes back to the I/O thread,
// or stays parked while the owner does not need prompt reading (must_read_promptly) until
// unpark(). A hang-up or error is always reported to the I/O thread.
//
// Writing is done by the sending thread itself when nothing is queued: one sendmsg() that does
// not wait. Only what the socket does not take at once is copied into a queue that the I/O
// thread writes when the socket drains; later frames queue behind it, so order holds. A
// connection that gathers replies (gather_replies) collects what is sent while the I/O thread
// hands the owner frames of one read that more whole frames follow, and writes it with one
// sendmsg() once they are handled: a target that answers several commands of one read sends
// the responses together.
class Connection final : public std::enable_shared_from_this<Connection>, public Watched {
 public:
  // Bytes that may wait in the queue before sends fail: a peer that stopped reading must not
  // make the process grow without bound.
  static constexpr std::size_t kMaxQueuedBytes = 4u << 20;

  // Takes over `descriptor` (a connected, non-blocking stream socket). With a `budget`, what
  // the connection holds beyond its fixed receive buffer is drawn from it: a frame that does not
  // fit closes the connection, and a send that does not fit fails as with a full queue.
  Connection(int descriptor, ConnectionOwner& owner, IoThread& io, void* log, std::uint64_t id,
             std::string label, ByteBudget* budget = nullptr);
  ~Connection();
  Connection(Connection const&) = delete;
  Connection& operator=(Connection const&) = delete;

  std::uint64_t id() const { return id_; }
  std::string const& label() const { return label_; }
  int descriptor() const { return descriptor_; }
  bool closed() const { return closed_.load(std::memory_order_acquire); }

  // Starts watching the socket; call once, after the connection is owned by a shared_ptr.
  void start();
  // Before start(): frames sent while the I/O thread hands the owner frames of one read go out
  // together once those are handled (at most kMaxGatheredBytes at a time). For owners that
  // take every frame on the I/O thread and do not wait there for the peer.
  void gather_replies() { gathers_ = true; }
  static constexpr std::size_t kMaxGatheredBytes = 16 * 1024;
  // From any thread. NO_ERROR when the frame is written or queued; IPC_FAILED when the
  // connection is closed, broken (it is then closed) or its queue is full.
  nelko_core_status send(OutgoingFrame const& frame);

  // Sends a command frame as send() does and, when it went out, counts it as outstanding until
  // it is answered: with a `record` (a sink's, see CommandRecord), by linking the record to this
  // connection; without, in the connection's own entries until settle() takes it. Nothing is
  // counted once the connection is closed, so what is outstanding after the close is complete.
  nelko_core_status send_command(OutgoingFrame const& frame, std::string_view interface_name,
                                 std::string_view uuid, CommandRecord* record = nullptr);
  // True when `uuid` was outstanding here in the connection's own entries (it no longer is).
  bool settle(std::string_view uuid);
  // What is outstanding in the connection's own entries; call after the connection closed.
  void take_outstanding(std::vector<OutstandingCommand>& into);
  // Closes the connection without telling the owner (channel shut-down); from any thread.
  void shut_down();

  // For a thread other than the I/O thread. lend_reading() is false when the connection is
  // closed or has frames that only the I/O thread may take; otherwise the caller polls the
  // descriptor, calls read_now() when it is readable (or calls read_waiting() instead of both)
  // and return_reading() in the end.
  // read_now() never waits for the I/O thread: when that is reading the socket at the moment
  // (it was about to when the reading was lent, or it takes a hang-up), it is false, and the
  // reading stays with the I/O thread after return_reading(), which delivers what comes.
  bool lend_reading();
  bool read_now();
  // read_now() without the poll before it: waits up to wait_ms (more than 0) in the socket's
  // receive for the first bytes, unless `woken` is set (it is cleared then). The read lock is
  // held meanwhile, so only a thread that borrowed the connection alone calls it (the I/O thread
  // does not read a lent connection, and takes the read lock otherwise only on a hang-up, which
  // ends the receive too).
  bool read_waiting(int wait_ms, std::atomic<bool>& woken);
  void return_reading();
  // Keeps this connection with the I/O thread when its borrower gives it back: the borrower
  // stopped reading and waits for the I/O thread to hand over what comes.
  void keep_io_thread_reading();
  // Gives parked reading back to the I/O thread.
  void unpark();
  // True when the first bytes of a frame that is still incomplete came before `limit`.
  bool frame_started_before(std::chrono::steady_clock::time_point limit);

  void on_ready(std::uint32_t events) noexcept override;
  bool linger(int wait_ms) noexcept override;

 private:
  struct Pending {
    std::unique_ptr<char[]> bytes;
    std::size_t size;
    std::size_t offset;
  };

  // On the I/O thread: reads what the socket holds, up to one turn's share, and sends the
  // replies gathered meanwhile.
  void read_on_io_thread();
  // Logs the exception being handled.
  void log_current_exception() noexcept;
  // With read_mutex_ held. `wait_ms` > 0: the first receive waits that long for bytes.
  bool read_locked(bool on_io_thread, int wait_ms = 0);
  // With read_mutex_ held: the next receive that does not pass MSG_DONTWAIT waits up to
  // wait_ms; false when the socket cannot be made to.
  bool receive_waits_locked(int wait_ms);
  // Resizes the receive buffer, drawing on or giving back to the budget; false when it is short.
  bool resize_input(std::size_t size);
  bool parse_frames(bool on_io_thread);
  void close_locked_reader(std::string const& reason, bool orderly);

  void flush_on_io_thread();
  // On the I/O thread, with read_mutex_ held: a whole frame starts at `offset` of the buffer.
  bool whole_frame_at(std::size_t offset) const;
  // On the I/O thread, once the frames of one read are handled.
  void send_gathered();
  // With write_mutex_ held.
  nelko_core_status send_locked(OutgoingFrame const& frame);
  // True when `frame` joined the gathered bytes.
  bool gather_locked(OutgoingFrame const& frame);
  // Writes the gathered bytes; what the socket does not take goes to the queue.
  void send_gathered_locked();
  bool flush_locked();
  void fail_locked(std::string reason);
  // Empties the queue, giving its bytes back to the budget.
  void clear_queue_locked();
  // A frame refused because the peer does not read: logged once per episode.
  void refuse_locked(char const* why);
  void end_refusals_locked();
  // With interest_mutex_ held: tells the I/O thread what to wait for.
  void update_interest_locked();
  bool begin_shut_down();

  int const descriptor_;
  ConnectionOwner& owner_;
  IoThread& io_;
  void* log_;
  std::uint64_t const id_;
  std::string const label_;
  std::atomic<bool> shut_{false};  // the socket is shut down and no longer watched

  std::mutex write_mutex_;
  std::atomic<bool> closed_{false};  // written with write_mutex_ held: no send after it is set
  std::deque<Pending> queue_;
  std::size_t queued_bytes_ = 0;
  std::size_t refused_frames_ = 0;  // since the peer last drained the queue
  ByteBudget* const budget_;
  bool gathers_ = false;  // set before start()
  // Sent while the I/O thread hands frames to the owner, drawn from the budget; empty while
  // the queue is not.
  std::vector<char> gathered_;
  bool gathered_here_ = false;  // I/O thread only: it began gathered_

  // Commands sent, with write_mutex_ held: orders what is outstanding (see CommandRecord).
  std::uint64_t sent_commands_ = 0;
  // Taken after write_mutex_ when both are held.
  std::mutex outstanding_mutex_;
  struct Sent {
    std::string uuid;        // the entry's key views this text
    std::uint64_t sequence;  // orders what take_outstanding() hands out
    std::string interface_name;
  };
  // Keyed by views of the entries' own identifiers: a look-up needs no key made for it.
  using OutstandingMap = std::unordered_map<std::string_view, Sent, TextHash>;
  OutstandingMap outstanding_;
  // Removes `uuid` from outstanding_ (true when it was there); outstanding_mutex_ held.
  bool forget_outstanding_locked(std::string_view uuid);
  // Entries of settled commands, kept for the next ones: a command's entry then costs no
  // allocation, neither its node nor its identifier's text (longer than a short string).
  // Never more than were outstanding at once.
  std::array<OutstandingMap::node_type, 64> spare_outstanding_;
  std::size_t spare_count_ = 0;
  // Always empty: makes new entries (a map of its own would allocate its buckets each time).
  OutstandingMap entry_maker_;

  std::mutex interest_mutex_;
  std::uint64_t key_ = 0;       // among what the I/O thread watches
  std::uint32_t interest_ = 0;  // what it watches the socket for now
  int borrowers_ = 0;           // threads that borrowed the reading
  bool parked_ = false;         // nobody reads, and the I/O thread is not asked to
  bool io_thread_read_ = false;  // a borrower found the I/O thread reading: it goes on
  bool wants_write_ = false;    // the queue waits for the socket to drain

  std::mutex read_mutex_;
  std::vector<char> input_;
  std::size_t filled_ = 0;
  // I/O thread only: the frame it hands the owner is followed by another whole one.
  bool frames_follow_ = false;
  bool frame_pending_ = false;  // filled_ holds the start of a frame, which came at:
  std::chrono::steady_clock::time_point frame_started_{};
  // read_waiting(): the descriptor was made blocking (every other receive and send passes
  // MSG_DONTWAIT), and the receive time-out it carries now, in ms (0: none, -1: unknown).
  bool blocking_ = false;
  int receive_timeout_ms_ = 0;
  // A borrower met a frame that only the I/O thread may take: the I/O thread reads next.
  std::atomic<bool> left_to_io_thread_{false};
};

}  // namespace nelko::core

#endif
