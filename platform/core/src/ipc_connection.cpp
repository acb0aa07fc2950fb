#include "ipc_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "nelko_core_channel_events.h"
#include "nelko_core_logging.h"

namespace nelko::core {
namespace {

constexpr std::size_t kInitialInput = 16 * 1024;
// A buffer grown for a large frame is given back once it is empty again.
constexpr std::size_t kKeptInput = 64 * 1024;
constexpr int kMaxPiecesPerWrite = 64;
// What the I/O thread reads from one connection in one turn before the other connections and
// the posted and delayed work get theirs: a peer that writes as fast as frames are parsed would
// otherwise keep the thread for as long as it goes on.
constexpr std::size_t kReadPerTurn = 4 * kInitialInput;

bool would_block(int error_number) {
  return error_number == EAGAIN || error_number == EWOULDBLOCK;
}

std::string write_error(int error_number) {
  return "write failed: " + std::generic_category().message(error_number);
}

ssize_t send_pieces(int descriptor, iovec const* pieces, int count) {
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(pieces);
  message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
  ssize_t written;
  do {
    // One piece goes out with send(): the kernel then takes no vector of pieces from us.
    written = count == 1 ? ::send(descriptor, pieces[0].iov_base, pieces[0].iov_len,
                                  MSG_DONTWAIT | MSG_NOSIGNAL)
                         : ::sendmsg(descriptor, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (written < 0 && errno == EINTR);
  return written;
}

}  // namespace

bool ByteBudget::take(std::size_t bytes) {
  std::size_t used = used_.load(std::memory_order_relaxed);
  do {
    if (bytes > limit_ - used) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
  return true;
}

Connection::Connection(int descriptor, ConnectionOwner& owner, IoThread& io, void* log,
                       std::uint64_t id, std::string label, ByteBudget* budget)
    : descriptor_(descriptor),
      owner_(owner),
      io_(io),
      log_(log),
      id_(id),
      label_(std::move(label)),
      budget_(budget),
      input_(kInitialInput) {}

Connection::~Connection() {
  ::close(descriptor_);
  if (budget_ != nullptr) {
    budget_->give(queued_bytes_ + gathered_.size());
    if (input_.size() > kInitialInput) budget_->give(input_.size() - kInitialInput);
  }
}

namespace {

std::uint32_t interest_in(bool reads, bool writes) {
  return (reads ? POLLIN : 0u) | (writes ? POLLOUT : 0u);
}

}  // namespace

void Connection::start() {
  std::lock_guard<std::mutex> lock(interest_mutex_);
  interest_ = interest_in(borrowers_ == 0 && !parked_, wants_write_);
  key_ = io_.watch(descriptor_, interest_, shared_from_this());
}

void Connection::update_interest_locked() {
  std::uint32_t const wanted = interest_in(borrowers_ == 0 && !parked_, wants_write_);
  if (key_ == 0 || shut_.load() || wanted == interest_) return;
  // Putting readability back reports bytes that arrived while it was out.
  if (io_.change(descriptor_, key_, wanted)) {
    interest_ = wanted;
    return;
  }
  std::string reason = "cannot watch the socket: " + std::generic_category().message(errno);
  io_.post([self = shared_from_this(), reason] {
    if (self->begin_shut_down()) self->owner_.on_closed(*self, reason, false);
  });
}

// ---- Reading -------------------------------------------------------------------------------

void Connection::on_ready(std::uint32_t events) noexcept {
  try {
    if ((events & (POLLIN | POLLHUP | POLLERR)) != 0) read_on_io_thread();
    if ((events & (POLLOUT | POLLHUP | POLLERR)) != 0) flush_on_io_thread();
  } catch (...) {
    log_current_exception();
  }
}

// In a handler: the I/O thread's entry points must not throw.
void Connection::log_current_exception() noexcept {
  try {
    throw;
  } catch (std::exception const& error) {
    nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_ERR, "IPC connection %s: %s",
                           label_.c_str(), error.what());
  } catch (...) {
    nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_ERR,
                           "IPC connection %s: unknown exception", label_.c_str());
  }
}

void Connection::read_on_io_thread() {
  {
    std::lock_guard<std::mutex> lock(read_mutex_);
    read_locked(true);
  }
  send_gathered();
}

bool Connection::lend_reading() {
  std::lock_guard<std::mutex> lock(interest_mutex_);
  if (shut_.load() || left_to_io_thread_.load()) return false;
  if (++borrowers_ == 1) update_interest_locked();
  return true;
}

bool Connection::read_now() {
  std::unique_lock<std::mutex> lock(read_mutex_, std::try_to_lock);
  if (lock.owns_lock()) {
    read_locked(false);
    return true;
  }
  keep_io_thread_reading();
  return false;
}

bool Connection::read_waiting(int wait_ms, std::atomic<bool>& woken) {
  std::unique_lock<std::mutex> lock(read_mutex_, std::try_to_lock);
  if (!lock.owns_lock()) {
    keep_io_thread_reading();
    return false;
  }
  // Should the socket not wait in its receive, it is polled for wait_ms instead and then read
  // without waiting, which costs the system call that the direct receive saves but waits the
  // same way.
  bool const receive_waits = receive_waits_locked(wait_ms);
  if (woken.exchange(false)) {
    read_locked(false);  // what came meanwhile, without waiting: the caller looks again first
  } else if (receive_waits) {
    read_locked(false, wait_ms);
  } else {
    pollfd polled{descriptor_, POLLIN, 0};
    if (::poll(&polled, 1, wait_ms) > 0) read_locked(false);
  }
  return true;
}

// Made blocking once, with its receive time-out set whenever it changes.
bool Connection::receive_waits_locked(int wait_ms) {
  if (!blocking_) {
    int const flags = ::fcntl(descriptor_, F_GETFL);
    blocking_ = flags >= 0 && ::fcntl(descriptor_, F_SETFL, flags & ~O_NONBLOCK) == 0;
  }
  if (blocking_ && wait_ms != receive_timeout_ms_) {
    timeval const timeout{wait_ms / 1000, (wait_ms % 1000) * 1000};
    bool const set =
        ::setsockopt(descriptor_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
    receive_timeout_ms_ = set ? wait_ms : -1;
  }
  return blocking_ && receive_timeout_ms_ == wait_ms;
}

// Only while the I/O thread is the socket's one reader and nothing waits to be written: the
// thread does not watch for the socket draining meanwhile.
bool Connection::linger(int wait_ms) noexcept {
  try {
    {
      std::lock_guard<std::mutex> lock(interest_mutex_);
      if (interest_ != POLLIN || shut_.load()) return false;
    }
    bool received = false;
    {
      std::lock_guard<std::mutex> lock(read_mutex_);
      if (left_to_io_thread_.load() || !receive_waits_locked(wait_ms)) return false;
      received = read_locked(true, wait_ms);
    }
    send_gathered();
    return received;
  } catch (...) {
    log_current_exception();
  }
  return false;
}

void Connection::keep_io_thread_reading() {
  std::lock_guard<std::mutex> lock(interest_mutex_);
  io_thread_read_ = true;
}

void Connection::return_reading() {
  std::lock_guard<std::mutex> lock(interest_mutex_);
  if (--borrowers_ > 0) return;
  parked_ = !io_thread_read_ && !owner_.must_read_promptly();
  io_thread_read_ = false;
  update_interest_locked();
}

void Connection::unpark() {
  std::lock_guard<std::mutex> lock(interest_mutex_);
  parked_ = false;
  update_interest_locked();
}

// Shrinking drops what the buffer holds: done only when it is empty.
bool Connection::resize_input(std::size_t size) {
  std::size_t const charged = input_.size() > kInitialInput ? input_.size() - kInitialInput : 0;
  std::size_t const wanted = size > kInitialInput ? size - kInitialInput : 0;
  if (budget_ != nullptr && wanted > charged && !budget_->take(wanted - charged)) return false;
  try {
    if (size < input_.size()) {
      std::vector<char>(size).swap(input_);
    } else {
      input_.resize(size);
    }
  } catch (...) {
    if (budget_ != nullptr && wanted > charged) budget_->give(wanted - charged);
    throw;
  }
  if (budget_ != nullptr && charged > wanted) budget_->give(charged - wanted);
  return true;
}

bool Connection::frame_started_before(std::chrono::steady_clock::time_point limit) {
  std::lock_guard<std::mutex> lock(read_mutex_);
  return frame_pending_ && frame_started_ < limit;
}

// Reads until the socket has nothing more, or on the I/O thread until kReadPerTurn bytes are
// read, and hands every whole frame to the owner. True when bytes came, the socket has no more
// and the connection is still open.
bool Connection::read_locked(bool on_io_thread, int wait_ms) {
  if (left_to_io_thread_.load()) {
    if (!on_io_thread) return false;
    left_to_io_thread_.store(false);
    if (!parse_frames(true)) return false;
  }
  std::size_t read_this_turn = 0;
  for (;;) {
    if (shut_.load()) return false;
    std::size_t const room = input_.size() - filled_;
    // Every receive but read_waiting()'s first returns at once.
    ssize_t got =
        ::recv(descriptor_, input_.data() + filled_, room, wait_ms > 0 ? 0 : MSG_DONTWAIT);
    wait_ms = 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      if (!would_block(errno)) close_locked_reader(std::generic_category().message(errno), false);
      return read_this_turn > 0 && !closed();
    }
    if (got == 0) {
      close_locked_reader("closed by the peer", true);
      return false;
    }
    filled_ += static_cast<std::size_t>(got);
    read_this_turn += static_cast<std::size_t>(got);
    if (!parse_frames(on_io_thread)) return false;
    // A borrowing thread polls the socket again anyway and returns to its caller in between.
    // The rest waits for the next turn, after the other sockets': readiness is level-triggered,
    // so the next poll() reports it again.
    if (static_cast<std::size_t>(got) < room) return true;
    if (on_io_thread && read_this_turn >= kReadPerTurn) return false;
  }
}

// Hands every complete frame in the buffer to the owner; false when the connection got closed
// or the rest is left to the I/O thread.
bool Connection::parse_frames(bool on_io_thread) {
  std::size_t position = 0;
  std::size_t needed = 0;
  bool left = false;
  while (filled_ - position >= kFrameLengthSize) {
    std::uint32_t length = read_be32(input_.data() + position);
    // Checked before any room is made for the body, so a peer cannot make us allocate more.
    if (length == 0 || length > kMaxFrameBody) {
      close_locked_reader("frame of " + std::to_string(length) + " bytes refused (limit " +
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
      close_locked_reader("malformed frame", false);
      return false;
    }
    bool taken = true;
    // Replies to this frame may wait for those to the next (see gather_locked).
    if (on_io_thread) frames_follow_ = whole_frame_at(position + kFrameLengthSize + length);
    try {
      taken = owner_.on_frame(*this, frame, on_io_thread);
    } catch (std::exception const& error) {
      // Out of memory while copying it: this delivery is lost, the connection goes on.
      nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_ERR,
                             "IPC connection %s: frame dropped: %s", label_.c_str(), error.what());
    }
    if (on_io_thread) frames_follow_ = false;
    if (!taken) {
      left = true;
      break;
    }
    position += kFrameLengthSize + length;
    if (shut_.load()) return false;
  }
  if (position > 0) {
    std::memmove(input_.data(), input_.data() + position, filled_ - position);
    filled_ -= position;
  }
  // A frame's clock starts with its first bytes; a peer that stops halfway is timed out by the
  // owner (see frame_started_before).
  if (filled_ == 0) {
    frame_pending_ = false;
  } else if (position > 0 || !frame_pending_) {
    frame_pending_ = true;
    frame_started_ = std::chrono::steady_clock::now();
  }
  if (needed > input_.size()) {
    if (!resize_input(needed)) {
      close_locked_reader("no buffer space for a frame of " + std::to_string(needed) +
                              " bytes (all connections together may hold " +
                              std::to_string(budget_->limit()) + " bytes more)",
                          false);
      return false;
    }
  } else if (filled_ == 0 && input_.size() > kKeptInput) {
    resize_input(kInitialInput);
  }
  if (left) {
    left_to_io_thread_.store(true);
    io_.post([self = shared_from_this()] {
      std::lock_guard<std::mutex> lock(self->read_mutex_);
      self->read_locked(true);
    });
    return false;
  }
  return true;
}

void Connection::close_locked_reader(std::string const& reason, bool orderly) {
  if (begin_shut_down()) owner_.on_closed(*this, reason, orderly);
}

// ---- Writing -------------------------------------------------------------------------------

nelko_core_status Connection::send(OutgoingFrame const& frame) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  return send_locked(frame);
}

nelko_core_status Connection::send_command(OutgoingFrame const& frame,
                                           std::string_view interface_name,
                                           std::string_view uuid, CommandRecord* record) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (closed_.load(std::memory_order_relaxed)) return NELKO_CORE_STATUS_IPC_FAILED;
  std::uint64_t const sequence = ++sent_commands_;
  // Counted before the write: the answer may be read before send_locked returns.
  if (record != nullptr) {
    record->sequence = sequence;
    record->connection.store(this, std::memory_order_release);
    nelko_core_status const status = send_locked(frame);
    // Nothing went out that could be answered; unless the record was sent again meanwhile.
    if (status != NELKO_CORE_STATUS_NO_ERROR) record->claim(this);
    return status;
  }
  {
    std::lock_guard<std::mutex> outstanding(outstanding_mutex_);
    OutstandingMap::node_type entry;
    if (spare_count_ > 0) {
      entry = std::move(spare_outstanding_[--spare_count_]);
    } else {
      entry = entry_maker_.extract(entry_maker_.try_emplace(std::string_view()).first);
    }
    overwrite_text(entry.mapped().uuid, uuid);
    entry.mapped().sequence = sequence;
    reuse_text(entry.mapped().interface_name, interface_name);
    entry.key() = entry.mapped().uuid;
    auto inserted = outstanding_.insert(std::move(entry));
    if (!inserted.inserted) {  // sent again before its answer: counted once, as the latest
      Sent& counted = inserted.position->second;  // its key views counted.uuid, which stays
      counted.sequence = inserted.node.mapped().sequence;
      counted.interface_name.swap(inserted.node.mapped().interface_name);
      if (spare_count_ < spare_outstanding_.size()) {
        spare_outstanding_[spare_count_++] = std::move(inserted.node);
      }
    }
  }
  nelko_core_status status = send_locked(frame);
  if (status != NELKO_CORE_STATUS_NO_ERROR) {
    std::lock_guard<std::mutex> outstanding(outstanding_mutex_);
    forget_outstanding_locked(uuid);
  }
  return status;
}

bool Connection::forget_outstanding_locked(std::string_view uuid) {
  auto found = outstanding_.find(uuid);
  if (found == outstanding_.end()) return false;
  OutstandingMap::node_type entry = outstanding_.extract(found);
  if (spare_count_ < spare_outstanding_.size()) {
    spare_outstanding_[spare_count_++] = std::move(entry);
  }
  return true;
}

bool Connection::settle(std::string_view uuid) {
  std::lock_guard<std::mutex> lock(outstanding_mutex_);
  return forget_outstanding_locked(uuid);
}

void Connection::take_outstanding(std::vector<OutstandingCommand>& into) {
  OutstandingMap taken;
  {
    std::lock_guard<std::mutex> lock(outstanding_mutex_);
    taken.swap(outstanding_);
  }
  into.reserve(into.size() + taken.size());
  for (auto& entry : taken) {
    into.push_back(OutstandingCommand{std::move(entry.second.uuid),
                                      std::move(entry.second.interface_name),
                                      entry.second.sequence});
  }
}

nelko_core_status Connection::send_locked(OutgoingFrame const& frame) {
  if (closed_.load(std::memory_order_relaxed)) return NELKO_CORE_STATUS_IPC_FAILED;
  if (gathers_ && gather_locked(frame)) return NELKO_CORE_STATUS_NO_ERROR;
  std::size_t written = 0;
  if (queue_.empty()) {
    ssize_t result = send_pieces(descriptor_, frame.pieces(), frame.piece_count());
    if (result >= 0 && static_cast<std::size_t>(result) == frame.size()) {
      if (refused_frames_ > 0) end_refusals_locked();
      return NELKO_CORE_STATUS_NO_ERROR;
    }
    if (result < 0 && !would_block(errno)) {
      fail_locked(write_error(errno));
      return NELKO_CORE_STATUS_IPC_FAILED;
    }
    written = result > 0 ? static_cast<std::size_t>(result) : 0;
  } else if (queued_bytes_ + frame.size() > kMaxQueuedBytes) {
    refuse_locked("the peer is not reading");
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
  bool was_empty = queue_.empty();
  std::size_t rest = frame.size() - written;
  if (budget_ != nullptr && !budget_->take(rest)) {
    if (written == 0) {
      refuse_locked("the channel's connections hold all the bytes they may");
      return NELKO_CORE_STATUS_IPC_FAILED;
    }
    // Part of the frame is on the wire: the rest cannot be dropped without breaking the stream.
    fail_locked("no buffer space for the rest of a frame");
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
  try {
    queue_.push_back({frame.copy_tail(written), rest, 0});
  } catch (...) {
    if (budget_ != nullptr) budget_->give(rest);
    throw;
  }
  queued_bytes_ += rest;
  if (was_empty) {
    // Writability is watched only while something waits: a socket with room would make every
    // poll() return otherwise. Adding it reports a socket that drained meanwhile.
    std::lock_guard<std::mutex> interest(interest_mutex_);
    wants_write_ = true;
    update_interest_locked();
  }
  return NELKO_CORE_STATUS_NO_ERROR;
}

// Gathering begins only on the I/O thread, while it hands the owner a frame that another whole
// frame follows in the receive buffer: then the replies of both go out together. Nothing waits
// for bytes still to come. Frames that other threads send meanwhile join the gathering (they
// see gathered_ under write_mutex_), so order holds. Frames are gathered only while nothing is
// queued (a queue means the socket is full, and the frame goes behind it anyway), and only what
// fits: a frame that does not sends what was gathered first and then goes its usual way. The
// bytes are drawn from the budget as they are gathered, since the sender is told they are sent.
bool Connection::gather_locked(OutgoingFrame const& frame) {
  if (gathered_.empty()) {
    if (!io_.on_thread() || !frames_follow_ || !queue_.empty()) return false;
    gathered_here_ = true;
  }
  if (gathered_.size() + frame.size() > kMaxGatheredBytes ||
      (budget_ != nullptr && !budget_->take(frame.size()))) {
    send_gathered_locked();
    return false;
  }
  try {
    if (gathered_.capacity() == 0) gathered_.reserve(kMaxGatheredBytes);
    std::size_t const start = gathered_.size();
    gathered_.resize(start + frame.size());
    char* out = gathered_.data() + start;
    for (int i = 0; i < frame.piece_count(); ++i) {
      std::memcpy(out, frame.pieces()[i].iov_base, frame.pieces()[i].iov_len);
      out += frame.pieces()[i].iov_len;
    }
  } catch (...) {
    if (budget_ != nullptr) budget_->give(frame.size());
    throw;
  }
  return true;
}

// On the I/O thread, once the frames of a read are handled. gathered_here_ is this thread's
// own: when it is false, nothing was gathered, since only this thread begins a gathering.
void Connection::send_gathered() {
  if (!gathered_here_) return;
  gathered_here_ = false;
  std::lock_guard<std::mutex> lock(write_mutex_);
  send_gathered_locked();
}

bool Connection::whole_frame_at(std::size_t offset) const {
  if (filled_ - offset < kFrameLengthSize) return false;
  std::uint32_t const length = read_be32(input_.data() + offset);
  return length > 0 && length <= kMaxFrameBody && length <= filled_ - offset - kFrameLengthSize;
}

void Connection::send_gathered_locked() {
  if (gathered_.empty()) return;
  std::size_t const size = gathered_.size();
  iovec const piece{gathered_.data(), size};
  ssize_t const result = send_pieces(descriptor_, &piece, 1);
  if (result < 0 && !would_block(errno)) {
    fail_locked(write_error(errno));  // gives the gathered bytes back
    return;
  }
  std::size_t const written = result > 0 ? static_cast<std::size_t>(result) : 0;
  std::size_t const rest = size - written;
  if (rest > 0) {
    // Still drawn from the budget, now as queued bytes.
    try {
      std::unique_ptr<char[]> bytes(new char[rest]);
      std::memcpy(bytes.get(), gathered_.data() + written, rest);
      queue_.push_back({std::move(bytes), rest, 0});
    } catch (...) {
      // The peer would get a frame cut short: the connection cannot go on.
      fail_locked("no memory for the rest of the gathered frames");
      return;
    }
    queued_bytes_ += rest;
    std::lock_guard<std::mutex> interest(interest_mutex_);
    wants_write_ = true;
    update_interest_locked();
  } else if (refused_frames_ > 0) {
    end_refusals_locked();
  }
  if (budget_ != nullptr) budget_->give(written);
  gathered_.clear();
}

void Connection::flush_on_io_thread() {
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (closed_.load(std::memory_order_relaxed)) return;
  if (!queue_.empty() && !flush_locked()) return;
  if (queue_.empty()) {
    std::lock_guard<std::mutex> interest(interest_mutex_);
    wants_write_ = false;
    update_interest_locked();
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
      fail_locked(write_error(errno));
      return false;
    }
    auto written = static_cast<std::size_t>(result);
    queued_bytes_ -= written;
    if (budget_ != nullptr) budget_->give(written);
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
  end_refusals_locked();
  return true;
}

// The sender may hold locks of the owner, so the owner hears of it on the I/O thread.
void Connection::fail_locked(std::string reason) {
  closed_.store(true, std::memory_order_release);
  clear_queue_locked();
  io_.post([self = shared_from_this(), reason = std::move(reason)] {
    if (self->begin_shut_down()) self->owner_.on_closed(*self, reason, false);
  });
}

void Connection::clear_queue_locked() {
  queue_.clear();
  if (budget_ != nullptr) budget_->give(queued_bytes_ + gathered_.size());
  queued_bytes_ = 0;
  gathered_.clear();
  end_refusals_locked();
}

// A peer that never reads would otherwise be worth a line per send: the first refusal is
// logged, the rest are counted until the peer reads again or the connection closes.
void Connection::refuse_locked(char const* why) {
  if (refused_frames_++ > 0) return;
  nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_WARNING,
                         "IPC connection %s: frame refused: %s (%zu bytes wait); further refusals "
                         "are counted until frames go out again",
                         label_.c_str(), why, queued_bytes_);
}

void Connection::end_refusals_locked() {
  if (refused_frames_ > 1) {
    nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_WARNING,
                           "IPC connection %s: %zu frames were refused while the peer did not read",
                           label_.c_str(), refused_frames_);
  }
  refused_frames_ = 0;
}

// ---- Closing -------------------------------------------------------------------------------

void Connection::shut_down() { begin_shut_down(); }

// True for the one call that shuts the socket down. The descriptor itself stays open until the
// last owner lets go, so that a thread polling it never polls a reused number.
bool Connection::begin_shut_down() {
  std::shared_ptr<Connection> const keep = shared_from_this();  // the set may hold the last one
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    // Gathered frames were reported sent: they go if the socket takes them, as they would have
    // without gathering.
    if (!closed_.load(std::memory_order_relaxed)) send_gathered_locked();
    closed_.store(true, std::memory_order_release);
    clear_queue_locked();
  }
  std::lock_guard<std::mutex> lock(interest_mutex_);
  if (shut_.exchange(true)) return false;
  if (key_ != 0) io_.unwatch(descriptor_, key_);
  ::shutdown(descriptor_, SHUT_RDWR);
  return true;
}

}  // namespace nelko::core
