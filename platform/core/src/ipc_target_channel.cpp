#include "ipc_target_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "ipc_frame.h"
#include "ipc_socket_directory.h"
#include "nelko_core_logging.h"

namespace nelko::core {
namespace {

// The answer the core gives itself to a command for an interface this target does not serve.
constexpr std::string_view kUnsupportedFunctionPayload = "{\"status\":8}";

std::string error_text(int error_number) {
  return std::generic_category().message(error_number);
}

// True when a running target accepts (or is too busy to accept) connections at `address`.
bool target_listens(sockaddr_un const& address, socklen_t length) {
  int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) return false;
  int result = ::connect(probe, reinterpret_cast<sockaddr const*>(&address), length);
  int error_number = errno;
  ::close(probe);
  return result == 0 || error_number == EAGAIN;
}

// Binds and listens at `address`; the socket file gets its mode whatever the umask.
int listen_at(void* log, SocketDirectory const& directory, sockaddr_un const& address,
              socklen_t length) {
  char const* path = address.sun_path;
  int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (descriptor < 0) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR, "IPC: socket: %s",
                           error_text(errno).c_str());
    return -1;
  }
  if (::bind(descriptor, reinterpret_cast<sockaddr const*>(&address), length) != 0) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR, "IPC: cannot bind %s: %s", path,
                           error_text(errno).c_str());
    ::close(descriptor);
    return -1;
  }
  if (!set_socket_file_access(directory, path) || ::listen(descriptor, SOMAXCONN) != 0) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR, "IPC: cannot listen at %s: %s", path,
                           error_text(errno).c_str());
    ::close(descriptor);
    ::unlink(path);
    return -1;
  }
  return descriptor;
}

}  // namespace

nelko_core_status TargetChannel::open(void* log, char const* target_name,
                                      char const* interface_name, TargetChannel*& channel) {
  SocketDirectory directory;
  nelko_core_status status = resolve_socket_directory(log, directory);
  if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
  sockaddr_un address;
  socklen_t length;
  if (!make_socket_address(directory.path, target_name, address, length)) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR,
                           "IPC: target name '%s' makes a socket path that is too long",
                           target_name);
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  std::string path = address.sun_path;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR, "IPC: %s exists and is not a socket",
                             path.c_str());
      return NELKO_CORE_STATUS_IPC_FAILED;
    }
    if (target_listens(address, length)) {
      nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR,
                             "IPC: target name '%s' is in use by a running target", target_name);
      return NELKO_CORE_STATUS_IPC_FAILED;
    }
    ::unlink(path.c_str());  // left behind by a target that did not close its channel
  }
  int descriptor = listen_at(log, directory, address, length);
  if (descriptor < 0) return NELKO_CORE_STATUS_IPC_FAILED;
  std::unique_ptr<TargetChannel> made;
  try {
    made.reset(new TargetChannel(log, target_name, interface_name, std::move(directory), path,
                                 descriptor));
  } catch (...) {
    ::close(descriptor);
    ::unlink(path.c_str());
    throw;
  }
  // Watched before the thread starts, which then reads the keys without a lock.
  made->watch_check_timer();
  made->listening_key_ = made->io_.watch(descriptor, POLLIN, std::make_shared<Listener>(*made));
  made->io_.linger_on_busy_peer();
  made->io_.start();
  channel = made.release();
  return NELKO_CORE_STATUS_NO_ERROR;
}

TargetChannel::TargetChannel(void* log, std::string name, std::string interface_name,
                             SocketDirectory directory, std::string path, int listening_descriptor)
    : IpcHandle(kKind),
      log_(log),
      name_(std::move(name)),
      interface_name_(std::move(interface_name)),
      directory_(std::move(directory)),
      path_(std::move(path)),
      io_(log),
      listening_(listening_descriptor) {
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0) {
    socket_device_ = info.st_dev;
    socket_inode_ = info.st_ino;
  }
}

TargetChannel::~TargetChannel() {
  // Only our own socket file: a successor may already have replaced it.
  struct stat info {};
  if (::lstat(path_.c_str(), &info) == 0 && info.st_dev == socket_device_ &&
      info.st_ino == socket_inode_) {
    ::unlink(path_.c_str());
  }
  io_.stop([this] {
    if (listening_key_ != 0) io_.unwatch(listening_, listening_key_);
    if (check_timer_key_ != 0) io_.unwatch(check_timer_, check_timer_key_);
    std::lock_guard<std::mutex> lock(peers_mutex_);
    for (auto& entry : peers_) entry.second.connection->shut_down();
    peers_.clear();
  });
  ::close(listening_);
  if (check_timer_ >= 0) ::close(check_timer_);
}

void TargetChannel::watch_check_timer() {
  int const timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timer < 0) return;
  try {
    check_timer_key_ = io_.watch(timer, POLLIN, std::make_shared<CheckTimer>(*this));
  } catch (std::exception const&) {
    ::close(timer);
    return;
  }
  check_timer_ = timer;
}

void TargetChannel::accept_pending() noexcept {
  arm_check();
  for (;;) {
    int descriptor = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (descriptor < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      // Out of descriptors, typically: the listener stays readable, so it is not watched until
      // a try a little later, instead of spinning.
      int const error_number = errno;
      warnings_.log(NELKO_CORE_LOG_PRIORITY_WARNING, "accept", "IPC target '%s': accept: %s",
                    name_.c_str(), error_text(error_number).c_str());
      if (!accept_retry_pending_) {
        accept_retry_pending_ = true;
        io_.change(listening_, listening_key_, 0);
        io_.post_after(std::chrono::milliseconds(100), [this] {
          accept_retry_pending_ = false;
          io_.change(listening_, listening_key_, POLLIN);
          accept_pending();
        });
      }
      return;
    }
    try {
      accept_one(descriptor);
    } catch (std::exception const& error) {
      nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_ERR,
                             "IPC target '%s': connection refused: %s", name_.c_str(),
                             error.what());
    }
  }
}

void TargetChannel::accept_one(int descriptor) {
  std::uint64_t id = ++next_connection_id_;
  std::string number = "#" + std::to_string(id);
  std::shared_ptr<Connection> connection;
  try {
    std::lock_guard<std::mutex> lock(peers_mutex_);
    if (!may_accept(descriptor)) {
      ::close(descriptor);
      return;
    }
    connection = std::make_shared<Connection>(descriptor, static_cast<ConnectionOwner&>(*this), io_,
                                              log_, id, name_ + number, &budget_);
    connection->gather_replies();
    peers_.emplace(id, Peer{connection, number, false, false});
  } catch (...) {
    if (!connection) ::close(descriptor);
    throw;
  }
  try {
    connection->start();
  } catch (...) {
    std::lock_guard<std::mutex> lock(peers_mutex_);
    peers_.erase(id);
    throw;
  }
}

bool TargetChannel::may_accept(int descriptor) {
  PeerCredentials peer;
  if (!peer_admitted(descriptor, directory_, peer)) {
    if (!peer.known) {
      warnings_.log(NELKO_CORE_LOG_PRIORITY_ERR, "no credentials",
                    "IPC target '%s': refusing a connection whose credentials cannot be read",
                    name_.c_str());
    } else {
      warnings_.log(NELKO_CORE_LOG_PRIORITY_ERR, "uid " + std::to_string(peer.uid),
                    "IPC target '%s': refusing a connection from uid %lu (pid %ld), which is "
                    "neither this user, root nor a member of the IPC group",
                    name_.c_str(), static_cast<unsigned long>(peer.uid),
                    static_cast<long>(peer.pid));
    }
    return false;
  }
  if (peers_.size() >= kMaxConnections) {
    warnings_.log(NELKO_CORE_LOG_PRIORITY_WARNING, "connection limit",
                  "IPC target '%s': refusing a connection from uid %lu (pid %ld): %zu are open, "
                  "the most it serves",
                  name_.c_str(), static_cast<unsigned long>(peer.uid), static_cast<long>(peer.pid),
                  kMaxConnections);
    return false;
  }
  return true;
}

void TargetChannel::drop_locked(Peers::iterator peer, std::string_view cause,
                                std::string const& why) {
  warnings_.log(NELKO_CORE_LOG_PRIORITY_WARNING, cause, "IPC target '%s': connection %s closed: %s",
                name_.c_str(), peer->second.reply_to.c_str(), why.c_str());
  std::shared_ptr<Connection> connection = std::move(peer->second.connection);
  peers_.erase(peer);
  connection->shut_down();
}

// An idle target is not woken: the check runs while there are connections or log runs.
void TargetChannel::arm_check() {
  if (check_armed_) return;
  check_armed_ = true;
  if (check_timer_ >= 0) {
    itimerspec const once{{0, 0}, {1, 0}};
    if (::timerfd_settime(check_timer_, 0, &once, nullptr) == 0) return;
  }
  io_.post_after(std::chrono::seconds(1), [this] { check_periodically(); });
}

void TargetChannel::on_check_timer() noexcept {
  std::uint64_t expirations;
  if (::read(check_timer_, &expirations, sizeof expirations) != sizeof expirations) return;
  try {
    check_periodically();
  } catch (std::exception const& error) {
    nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_ERR, "IPC target '%s': check: %s",
                           name_.c_str(), error.what());
  }
}

void TargetChannel::check_periodically() {
  check_armed_ = false;
  auto const now = std::chrono::steady_clock::now();
  std::vector<std::shared_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(peers_mutex_);
    connections.reserve(peers_.size());
    for (auto const& entry : peers_) connections.push_back(entry.second.connection);
  }
  // Asked without peers_mutex_: a connection calls its owner with its read lock held.
  for (auto const& connection : connections) {
    if (!connection->frame_started_before(now - kFrameTimeout)) continue;
    std::lock_guard<std::mutex> lock(peers_mutex_);
    auto found = peers_.find(connection->id());
    if (found == peers_.end()) continue;
    drop_locked(found, "frame time-out",
                "a frame begun more than " + std::to_string(kFrameTimeout.count()) +
                    " s ago is still incomplete");
  }
  bool const serving = !connections.empty();
  if (!warnings_.sweep(now) || serving) arm_check();
}

// Only the I/O thread reads a target's connections.
bool TargetChannel::on_frame(Connection& connection, IncomingFrame const& frame, bool) {
  if (frame.kind == FrameKind::command) {
    deliver_command(connection, frame);
    return true;
  }
  std::lock_guard<std::mutex> lock(peers_mutex_);
  auto found = peers_.find(connection.id());
  if (found == peers_.end()) return true;
  Peer& peer = found->second;
  switch (frame.kind) {
    case FrameKind::hello:
      // The name is fixed once: reply addresses handed out must keep naming this connection.
      if (peer.named) {
        warnings_.log(NELKO_CORE_LOG_PRIORITY_WARNING, "second hello",
                      "IPC target '%s': %s sent a second hello, ignored", name_.c_str(),
                      peer.reply_to.c_str());
      } else if (!valid_initiator_name(frame.texts[0])) {
        // A NUL, '#' or '/' would let the name pass for another reply address in C code. The
        // line shows the name up to a NUL, where a C text would end it anyway.
        std::string_view name = frame.texts[0];
        name = name.substr(0, std::min({name.size(), std::size_t{64}, name.find('\0')}));
        drop_locked(found, "initiator name",
                    "initiator name '" + std::string(name) + "' (" +
                        std::to_string(frame.texts[0].size()) +
                        " bytes) refused: it must be 1 to " + std::to_string(kMaxInitiatorName) +
                        " bytes without control bytes, NUL, '#' or '/'");
      } else {
        peer.reply_to = std::string(frame.texts[0]) + "#" + std::to_string(connection.id());
        peer.named = true;
      }
      break;
    case FrameKind::subscribe:
      peer.subscribed = true;
      break;
    case FrameKind::unsubscribe:
      peer.subscribed = false;
      break;
    default:
      warnings_.log(NELKO_CORE_LOG_PRIORITY_WARNING, "unexpected frame",
                    "IPC target '%s': %s sent a frame of kind %d, ignored", name_.c_str(),
                    peer.reply_to.c_str(), static_cast<int>(frame.kind));
      break;
  }
  return true;
}

void TargetChannel::deliver_command(Connection& connection, IncomingFrame const& frame) {
  std::string_view interface_name = frame.texts[0];
  if (interface_name != interface_name_) {
    connection.send(OutgoingFrame(FrameKind::response,
                                  {interface_name, frame.texts[1], kUnsupportedFunctionPayload}));
    return;
  }
  // Read without the lock and not copied: peers_ and the addresses in it change only on this
  // thread, and the delivery's callbacks run on it too (they may send, which only reads peers_).
  auto found = peers_.find(connection.id());
  if (found == peers_.end()) return;
  std::string_view const reply_to = found->second.reply_to;
  if (!commands_.deliver({reply_to, frame.texts[1], frame.texts[2]})) {
    warnings_.log(NELKO_CORE_LOG_PRIORITY_WARNING, "command queue full",
                  "IPC target '%s': commands wait unread (at most %zu or %zu bytes are kept); "
                  "the oldest was dropped",
                  name_.c_str(), kMaxQueuedCommands, kMaxQueuedCommandBytes);
  }
}

void TargetChannel::on_closed(Connection& connection, std::string const& reason, bool orderly) {
  std::lock_guard<std::mutex> lock(peers_mutex_);
  auto found = peers_.find(connection.id());
  if (found == peers_.end()) return;
  // Initiators come and go; only a broken connection is worth a warning. A peer that breaks
  // connection after connection repeats one cause, whatever sizes the reasons quote.
  if (orderly) {
    nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_DEBUG,
                           "IPC target '%s': connection %s closed (%s)", name_.c_str(),
                           found->second.reply_to.c_str(), reason.c_str());
  } else {
    std::string cause = reason;
    cause.erase(
        std::remove_if(cause.begin(), cause.end(), [](char c) { return c >= '0' && c <= '9'; }),
        cause.end());
    warnings_.log(NELKO_CORE_LOG_PRIORITY_WARNING, cause,
                  "IPC target '%s': connection %s closed (%s)", name_.c_str(),
                  found->second.reply_to.c_str(), reason.c_str());
  }
  peers_.erase(found);
}

nelko_core_status TargetChannel::receive_command(unsigned timeout_ms, char** reply_to, char** uuid,
                                                 char** payload) {
  if (reply_to == nullptr || uuid == nullptr || payload == nullptr) {
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  *reply_to = *uuid = *payload = nullptr;
  Commands::Item command;
  nelko_core_status status = commands_.pull(command, timeout_ms, io_.on_thread());
  if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
  *reply_to = command[0].release();
  *uuid = command[1].release();
  *payload = command[2].release();
  return NELKO_CORE_STATUS_NO_ERROR;
}

nelko_core_status TargetChannel::set_command_callback(target_command_receive_callback callback,
                                                      void* user) {
  commands_.set_callback(callback, user, io_.on_thread());
  return NELKO_CORE_STATUS_NO_ERROR;
}

nelko_core_status TargetChannel::send_response(char const* reply_to, char const* uuid,
                                               char const* payload) {
  if (reply_to == nullptr || uuid == nullptr || payload == nullptr) {
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  // The connection number after the last '#' names the connection; numbers are never reused.
  // Only an address handed out can match below, so a number too long to be one fails here.
  char const* number = std::strrchr(reply_to, '#');
  if (number == nullptr || number[1] == '\0') return NELKO_CORE_STATUS_IPC_FAILED;
  std::uint64_t id = 0;
  int digits = 0;
  char const* digit = number + 1;
  for (; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9' || ++digits > 19) return NELKO_CORE_STATUS_IPC_FAILED;
    id = id * 10 + static_cast<std::uint64_t>(*digit - '0');
  }
  std::string_view const address(reply_to, static_cast<std::size_t>(digit - reply_to));
  OutgoingFrame frame(FrameKind::response, {interface_name_, uuid, payload});
  if (frame.too_large()) return NELKO_CORE_STATUS_INVALID_PARAMS;
  // The whole address must be the one handed out for that connection.
  auto const addressed = [&](Peers::const_iterator found) {
    return found != peers_.end() && found->second.reply_to == address;
  };
  if (io_.on_thread()) {
    // Answers given in the command callback: peers_ changes only on this thread, so it is read
    // without the lock, and the peer keeps its connection at least until this call returns (a
    // failed send closes it later, from posted work).
    auto const found = peers_.find(id);
    if (!addressed(found)) return NELKO_CORE_STATUS_IPC_FAILED;
    return found->second.connection->send(frame);
  }
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> lock(peers_mutex_);
    auto const found = peers_.find(id);
    if (!addressed(found)) return NELKO_CORE_STATUS_IPC_FAILED;
    connection = found->second.connection;
  }
  return connection->send(frame);
}

nelko_core_status TargetChannel::send_event(char const* payload) {
  if (payload == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  OutgoingFrame frame(FrameKind::event, {interface_name_, payload});
  if (frame.too_large()) return NELKO_CORE_STATUS_INVALID_PARAMS;
  std::vector<std::shared_ptr<Connection>> subscribers;
  {
    std::lock_guard<std::mutex> lock(peers_mutex_);
    for (auto const& entry : peers_) {
      if (entry.second.subscribed) subscribers.push_back(entry.second.connection);
    }
  }
  nelko_core_status status = NELKO_CORE_STATUS_NO_ERROR;
  for (auto const& subscriber : subscribers) {
    if (subscriber->send(frame) != NELKO_CORE_STATUS_NO_ERROR)
      status = NELKO_CORE_STATUS_IPC_FAILED;
  }
  return status;
}

}  // namespace nelko::core
