#include "ipc_initiator_channel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <system_error>
#include <type_traits>
#include <utility>

#include "delivery_texts.h"
#include "ipc_frame.h"
#include "ipc_socket_directory.h"
#include "nelko_core_logging.h"

namespace nelko::core {

nelko_core_status InitiatorChannel::open(void* log, char const* name, InitiatorChannel*& channel) {
  SocketDirectory directory;
  nelko_core_status status = resolve_socket_directory(log, directory);
  if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
  std::unique_ptr<InitiatorChannel> made(new InitiatorChannel(log, name, std::move(directory)));
  made->io_.start();
  channel = made.release();
  return NELKO_CORE_STATUS_NO_ERROR;
}

namespace {

int make_eventfd() {
  int descriptor = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (descriptor < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  return descriptor;
}

std::array<int, kLanes> make_eventfds() {
  std::array<int, kLanes> descriptors;
  descriptors.fill(-1);
  try {
    for (int& descriptor : descriptors) descriptor = make_eventfd();
  } catch (...) {
    for (int descriptor : descriptors) {
      if (descriptor >= 0) ::close(descriptor);
    }
    throw;
  }
  return descriptors;
}

// A response's texts (target, interface name, uuid, payload), copied to be delivered later on
// the I/O thread.
std::array<std::string, 4> copy_response(Connection const& connection, IncomingFrame const& frame) {
  return {connection.label(), std::string(frame.texts[0]), std::string(frame.texts[1]),
          std::string(frame.texts[2])};
}

// The serial of each channel made, never reused (unlike a closed channel's address).
std::atomic<std::uint64_t> g_next_channel_serial{0};

// The calling thread's last connection: most sends go to the target of the thread's last send
// on the same channel, and then neither take the lock of the channel's connections nor search
// them. The connection is held weakly, so that it goes with its link or its channel, and is used
// only while it is open: until then its link is the one of its lane and target in connections_.
// Each thread has one (PerThread), made on its first send.
struct LastConnection {
  std::uint64_t channel = 0;  // the serial of its channel; 0: none
  unsigned lane = 0;
  std::string target;
  std::weak_ptr<Connection> connection;
};

std::atomic<unsigned> g_next_lane{0};
// Initial-exec: a general-dynamic access costs as much again as the rest of the look-up.
__attribute__((tls_model("initial-exec"))) thread_local unsigned t_lane = kLanes;  // none yet

}  // namespace

InitiatorChannel::InitiatorChannel(void* log, std::string name, SocketDirectory directory)
    : IpcHandle(kKind),
      serial_(g_next_channel_serial.fetch_add(1, std::memory_order_relaxed) + 1),
      log_(log),
      name_(std::move(name)),
      directory_(std::move(directory)),
      io_(log),
      wake_readers_(make_eventfds()),
      responses_(kMaxQueuedResponses, io_, [this] { wake_reader(0); }) {}

InitiatorChannel::~InitiatorChannel() {
  io_.stop([this] {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    for (auto& link : connections_) link.connection->shut_down();
    for (auto link = connections_.begin(); link != connections_.end();) link = erase_link(link);
  });
  for (int descriptor : wake_readers_) ::close(descriptor);
  // Told here, while this channel's memory is still its own: once it is released, a channel
  // made by another thread may get the same address, and must not be taken for this one by a
  // thread that still holds the sink.
  if (sink_owner_) {
    try {
      sink_owner_->on_channel_closed();
    } catch (...) {
      nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_ERR,
                             "IPC: the response sink failed to close");
    }
    sink_.store(nullptr, std::memory_order_release);
    sink_owner_.reset();
  }
}

std::vector<InitiatorChannel::Link>::iterator InitiatorChannel::find_link(std::string_view target,
                                                                          unsigned lane) {
  for (auto link = connections_.begin(); link != connections_.end(); ++link) {
    if (link->lane == lane && link->target == target) return link;
  }
  return connections_.end();
}

void InitiatorChannel::add_link(Link link) {
  unsigned const lane = link.lane;
  connections_.push_back(std::move(link));
  lane_links_[lane].fetch_add(1, std::memory_order_release);
}

std::vector<InitiatorChannel::Link>::iterator InitiatorChannel::erase_link(
    std::vector<Link>::iterator link) {
  lane_links_[link->lane].fetch_sub(1, std::memory_order_release);
  return connections_.erase(link);
}

unsigned InitiatorChannel::lane_of_this_thread() {
  if (t_lane == kLanes) t_lane = g_next_lane.fetch_add(1, std::memory_order_relaxed) % kLanes;
  return t_lane;
}

nelko_core_status InitiatorChannel::connection_to(std::string_view target, unsigned lane,
                                                  std::shared_ptr<Connection>& connection,
                                                  bool& fresh) {
  std::lock_guard<std::mutex> lock(connections_mutex_);
  auto found = find_link(target, lane);
  if (found != connections_.end()) {
    if (!found->connection->closed()) {
      connection = found->connection;
      fresh = false;
      return NELKO_CORE_STATUS_NO_ERROR;
    }
    erase_link(found);
  }
  sockaddr_un address;
  socklen_t length;
  if (!make_socket_address(directory_.path, target, address, length)) {
    nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_ERR,
                           "IPC: target name '%.*s' makes a socket path that is too long",
                           static_cast<int>(target.size()), target.data());
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  // Non-blocking, so that a target whose backlog is full (stopped, overloaded) fails the send
  // at once instead of holding the caller.
  int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (descriptor < 0 ||
      ::connect(descriptor, reinterpret_cast<sockaddr const*>(&address), length) != 0) {
    int error_number = errno;
    if (descriptor >= 0) ::close(descriptor);
    nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_WARNING,
                           "IPC: cannot connect to target '%.*s': %s",
                           static_cast<int>(target.size()), target.data(),
                           std::generic_category().message(error_number).c_str());
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
  if (!target_admitted(log_, descriptor, directory_, target)) {
    ::close(descriptor);
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
  std::shared_ptr<Connection> made;
  try {
    made = std::make_shared<Connection>(descriptor, static_cast<ConnectionOwner&>(*this), io_,
                                        log_, ++next_connection_id_, std::string(target));
  } catch (...) {
    ::close(descriptor);
    throw;
  }
  nelko_core_status status = made->send(OutgoingFrame(FrameKind::hello, {name_}));
  if (status == NELKO_CORE_STATUS_NO_ERROR && lane == 0 && subscriptions_.count(target) > 0) {
    status = made->send(OutgoingFrame(FrameKind::subscribe, {}));
  }
  made->start();
  if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
  add_link(Link{std::string(target), lane, made});
  connection = std::move(made);
  fresh = true;
  return NELKO_CORE_STATUS_NO_ERROR;
}

nelko_core_status InitiatorChannel::send_command(char const* target, char const* interface_name,
                                                 char const* uuid, char const* payload) {
  if (target == nullptr || interface_name == nullptr || uuid == nullptr || payload == nullptr) {
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  return send_command(std::string_view(target), interface_name, uuid, payload);
}

std::shared_ptr<Connection> InitiatorChannel::last_connection(std::string_view target,
                                                              unsigned lane) const {
  LastConnection const* last = PerThread<LastConnection>::find();
  if (last == nullptr || last->channel != serial_ || last->lane != lane || last->target != target) {
    return nullptr;
  }
  std::shared_ptr<Connection> connection = last->connection.lock();
  if (connection && connection->closed()) connection.reset();
  return connection;
}

void InitiatorChannel::remember_connection(std::string_view target, unsigned lane,
                                           std::shared_ptr<Connection> const& connection) const {
  LastConnection& last = PerThread<LastConnection>::get();
  last.channel = 0;  // until it is complete
  if (last.target != target) last.target.assign(target.data(), target.size());
  last.lane = lane;
  last.connection = connection;
  last.channel = serial_;
}

nelko_core_status InitiatorChannel::send_command(std::string_view target,
                                                 std::string_view interface_name,
                                                 std::string_view uuid, std::string_view payload,
                                                 CommandRecord* record) {
  unsigned const lane = lane_of_this_thread();
  // A target that this thread's last connection goes to was found valid when it was made.
  std::shared_ptr<Connection> connection = last_connection(target, lane);
  if (!connection && !valid_endpoint_name(target)) return NELKO_CORE_STATUS_INVALID_PARAMS;
  OutgoingFrame frame(FrameKind::command, {interface_name, uuid, payload});
  if (frame.too_large()) {
    nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_ERR,
                           "IPC: command to '%.*s' exceeds the frame limit of %u bytes",
                           static_cast<int>(target.size()), target.data(), kMaxFrameBody);
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  // A target that restarted leaves a broken connection behind until the I/O thread notices;
  // a write that finds it broken gets one fresh connection.
  for (int attempt = 0;; ++attempt) {
    bool fresh = false;
    if (!connection) {
      nelko_core_status status = connection_to(target, lane, connection, fresh);
      if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
      remember_connection(target, lane, connection);
    }
    nelko_core_status status = connection->send_command(frame, interface_name, uuid, record);
    if (status == NELKO_CORE_STATUS_NO_ERROR || fresh || attempt > 0 || !connection->closed()) {
      return status;
    }
    connection.reset();
  }
}

nelko_core_status InitiatorChannel::receive_response(int timeout_ms, char** first,
                                                     char** interface_name, char** uuid,
                                                     char** payload) {
  if (first == nullptr || interface_name == nullptr || uuid == nullptr || payload == nullptr) {
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  *first = *interface_name = *uuid = *payload = nullptr;
  Responses::Item response;
  nelko_core_status status =
      responses_.pull(response, timeout_ms, io_.on_thread(),
                      [this](int wait_ms) { read_for_puller(kAllLanes, wait_ms); });
  if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
  *first = response[0].release();
  *interface_name = response[1].release();
  *uuid = response[2].release();
  *payload = response[3].release();
  return NELKO_CORE_STATUS_NO_ERROR;
}

nelko_core_status InitiatorChannel::set_response_callback(
    initiator_response_receive_callback callback, void* user) {
  if (responses_.set_callback(callback, user, io_.on_thread())) unpark_all();
  ResponseSink* sink = sink_.load(std::memory_order_acquire);
  if (callback == nullptr && sink != nullptr) sink->on_withdrawn(user);
  return NELKO_CORE_STATUS_NO_ERROR;
}

std::shared_ptr<ResponseSink> InitiatorChannel::install_sink(void* ipc_handle,
                                                            MakeResponseSink make) {
  std::shared_ptr<ResponseSink> made;
  {
    std::lock_guard<std::mutex> lock(sink_mutex_);
    if (sink_owner_) return sink_owner_;
    made = make(ipc_handle);
    if (!made) return nullptr;
    sink_owner_ = made;
    sink_.store(made.get(), std::memory_order_release);
  }
  unpark_all();
  return made;
}

nelko_core_status InitiatorChannel::set_event_callback(initiator_event_receive_callback callback,
                                                       void* user) {
  if (callback == nullptr) {
    event_callbacks_.remove(user, io_.on_thread());
  } else if (event_callbacks_.add(callback, user)) {
    unpark_all();
  }
  return NELKO_CORE_STATUS_NO_ERROR;
}

// What arrives may wait in the socket until the next puller reads it, unless an event callback
// waits, or the sink wants it read at once (without a sink: a response callback waits).
bool InitiatorChannel::must_read_promptly() const {
  if (!event_callbacks_.empty()) return true;
  ResponseSink const* sink = sink_.load(std::memory_order_acquire);
  return sink != nullptr ? sink->wants_prompt_reading() : responses_.has_callbacks();
}

SinkRead InitiatorChannel::read_for_sink(unsigned lane, int wait_ms) {
  if (io_.on_thread()) return SinkRead::refused;
  // When the I/O thread was reading a connection, it goes on reading it and hands over what
  // comes: the sink waits for that instead of polling the socket again at once.
  return read_for_puller(lane, wait_ms) ? SinkRead::read : SinkRead::refused;
}

void InitiatorChannel::wake_sink_reader(unsigned lane) { wake_reader(lane); }

void InitiatorChannel::wake_reader(unsigned index) {
  woken_[index].store(true);
  ::eventfd_write(wake_readers_[index], 1);
}

void InitiatorChannel::unpark_all() {
  std::lock_guard<std::mutex> lock(connections_mutex_);
  for (auto& link : connections_) link.connection->unpark();
}

nelko_core_status InitiatorChannel::subscribe(char const* target) {
  if (!valid_endpoint_name(target)) return NELKO_CORE_STATUS_INVALID_PARAMS;
  {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    subscriptions_.emplace(target);
  }
  std::shared_ptr<Connection> connection;
  bool fresh = false;
  nelko_core_status status = connection_to(target, 0, connection, fresh);
  if (status == NELKO_CORE_STATUS_NO_ERROR && !fresh) {
    status = connection->send(OutgoingFrame(FrameKind::subscribe, {}));
  }
  if (status != NELKO_CORE_STATUS_NO_ERROR) {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    auto subscribed = subscriptions_.find(std::string_view(target));
    if (subscribed != subscriptions_.end()) subscriptions_.erase(subscribed);
  }
  return status;
}

nelko_core_status InitiatorChannel::unsubscribe(char const* target) {
  if (!valid_endpoint_name(target)) return NELKO_CORE_STATUS_INVALID_PARAMS;
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    auto subscribed = subscriptions_.find(std::string_view(target));
    if (subscribed != subscriptions_.end()) subscriptions_.erase(subscribed);
    auto found = find_link(target, 0);
    if (found == connections_.end() || found->connection->closed()) {
      return NELKO_CORE_STATUS_NO_ERROR;
    }
    connection = found->connection;
  }
  return connection->send(OutgoingFrame(FrameKind::unsubscribe, {}));
}

namespace {

// The connections that one read covers, kept alive while it polls them. Only those added are
// constructed and destroyed: a read usually covers one connection of a possible fifteen.
class ReadSet {
 public:
  static constexpr std::size_t kMax = 15;
  ReadSet() = default;
  ReadSet(ReadSet const&) = delete;
  ReadSet& operator=(ReadSet const&) = delete;
  ~ReadSet() {
    for (std::size_t i = 0; i < count_; ++i) at(i).~shared_ptr();
  }
  bool full() const { return count_ == kMax; }
  std::size_t size() const { return count_; }
  void add(std::shared_ptr<Connection> connection) {
    new (&slots_[count_]) std::shared_ptr<Connection>(std::move(connection));
    ++count_;
  }
  std::shared_ptr<Connection>& at(std::size_t i) {
    return *std::launder(reinterpret_cast<std::shared_ptr<Connection>*>(&slots_[i]));
  }

 private:
  std::aligned_storage_t<sizeof(std::shared_ptr<Connection>), alignof(std::shared_ptr<Connection>)>
      slots_[kMax];
  std::size_t count_ = 0;
};

}  // namespace

bool InitiatorChannel::read_for_puller(unsigned lane, int wait_ms) {
  // More connections than ReadSet::kMax stay with the I/O thread, which hands their responses
  // over.
  ReadSet read;
  // A thread that waits for the answer to its own command reads the lane it sent it on, which
  // usually has that one connection: the thread's last one, which is open and so still the
  // lane's link. It is then read without the lock of the connections. Like the copy made under
  // the lock, what it finds may be overtaken by a link made meanwhile; the caller reads again.
  LastConnection const* last = PerThread<LastConnection>::find();
  if (lane != kAllLanes && last != nullptr && last->channel == serial_ && last->lane == lane &&
      lane_links_[lane].load(std::memory_order_acquire) == 1) {
    std::shared_ptr<Connection> connection = last->connection.lock();
    if (connection && !connection->closed()) read.add(std::move(connection));
  }
  if (read.size() == 0) {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    for (auto const& link : connections_) {
      if (read.full()) break;
      if (lane == kAllLanes || link.lane == lane) read.add(link.connection);
    }
  }
  unsigned const wake_index = lane == kAllLanes ? 0 : lane;
  int const wake_descriptor = wake_readers_[wake_index];
  pollfd polled[ReadSet::kMax + 1];
  polled[0] = {wake_descriptor, POLLIN, 0};
  std::size_t lent = 0;  // the first `lent` of `read` were lent to this thread
  for (std::size_t i = 0; i < read.size(); ++i) {
    if (!read.at(i)->lend_reading()) continue;
    if (i != lent) read.at(lent).swap(read.at(i));
    polled[1 + lent] = {read.at(lent)->descriptor(), POLLIN, 0};
    ++lent;
  }
  struct GiveBack {
    ReadSet& connections;
    std::size_t count;
    ~GiveBack() {
      for (std::size_t i = 0; i < count; ++i) connections.at(i)->return_reading();
    }
  } give_back{read, lent};

  // The common wait, one thread for the one connection of its lane, waits in the socket's own
  // receive: one system call per response instead of a poll and a receive. That receive does
  // not hear the eventfd; a wake that came before it is seen in woken_ just before it, and only
  // a wake without bytes that comes during it (a response that came another way at that very
  // moment) waits out the rest of its slice, after which the caller looks again at what it
  // waits for. Short waits keep the poll, which ends on time to the millisecond.
  if (lent == 1 && read.size() == 1 && (wait_ms < 0 || wait_ms >= kReceiveSliceMs * 2)) {
    return read.at(0)->read_waiting(kReceiveSliceMs, woken_[wake_index]);
  }
  // A time-out, or EINTR: the caller loops.
  if (::poll(polled, lent + 1, wait_ms) <= 0) return true;
  if (polled[0].revents != 0) {
    woken_[wake_index].store(false);
    eventfd_t ignored;
    ::eventfd_read(wake_descriptor, &ignored);
  }
  bool all_read = true;
  for (std::size_t i = 0; i < lent; ++i) {
    if (polled[1 + i].revents != 0 && !read.at(i)->read_now()) all_read = false;
  }
  if (!all_read) {
    // The caller now waits for the I/O thread to hand over what comes, on every connection it
    // had: none of them may be parked, though nothing asynchronous may be pending on them.
    for (std::size_t i = 0; i < lent; ++i) read.at(i)->keep_io_thread_reading();
  }
  return all_read;
}

bool InitiatorChannel::on_frame(Connection& connection, IncomingFrame const& frame,
                                bool on_io_thread) {
  switch (frame.kind) {
    case FrameKind::response: {
      std::string_view const uuid = frame.texts[1];
      ResponseSink* const sink = sink_.load(std::memory_order_acquire);
      if (sink != nullptr) {
        // The sink keeps the records of its commands: its look-up finds the request and tells
        // whether it is outstanding here. What it does not know may be one of the core's own.
        ResponseSink::Route route = sink->on_response(connection.label(), frame.texts[0], uuid,
                                                      frame.texts[2], &connection, on_io_thread);
        if (route == ResponseSink::Route::unsolicited) {
          if (!connection.settle(uuid)) {
            drop_unsolicited(connection, uuid);
            return true;
          }
          route = sink->on_response(connection.label(), frame.texts[0], uuid, frame.texts[2],
                                    nullptr, on_io_thread);
        }
        if (route != ResponseSink::Route::to_callbacks) return true;
        if (on_io_thread) {
          deliver_to_callbacks(*sink, connection.label(), frame.texts[0], uuid, frame.texts[2]);
        } else {
          // A thread in read_for_sink: what the sink leaves to the callbacks goes to the I/O
          // thread, where they run.
          io_.post([this, sink, texts = copy_response(connection, frame)] {
            deliver_to_callbacks(*sink, texts[0], texts[1], texts[2], texts[3]);
          });
        }
        return true;
      }
      if (!on_io_thread && responses_.has_callbacks()) {
        return false;  // callbacks run on the I/O thread
      }
      if (!connection.settle(uuid)) {
        drop_unsolicited(connection, uuid);
        return true;
      }
      if (on_io_thread) {
        deliver_response(connection.label(), frame.texts[0], uuid, frame.texts[2]);
        return true;
      }
      bool kept = true;
      if (!responses_.queue_for_pullers(
              {connection.label(), frame.texts[0], frame.texts[1], frame.texts[2]}, kept)) {
        // A callback came since the check: the I/O thread delivers it, ahead of what follows.
        io_.post([this, texts = copy_response(connection, frame)] {
          deliver_response(texts[0], texts[1], texts[2], texts[3]);
        });
        return true;
      }
      if (!kept) log_dropped_response();
      return true;
    }
    case FrameKind::event:
      if (!on_io_thread) return false;  // event callbacks run on the I/O thread
      deliver_event(connection, frame);
      return true;
    default:
      warn("unexpected frame from " + connection.label(),
           "IPC: target '%s' sent a frame of kind %d, ignored", connection.label().c_str(),
           static_cast<int>(frame.kind));
      return true;
  }
}

void InitiatorChannel::drop_unsolicited(Connection const& connection, std::string_view uuid) {
  warn("unsolicited answer from " + connection.label(),
       "IPC: target '%s' answered request %.*s, which is not outstanding on its connection "
       "(never sent there, answered already, or given up and forgotten); dropped",
       connection.label().c_str(), static_cast<int>(uuid.size()), uuid.data());
}

void InitiatorChannel::log_dropped_response() {
  warn("responses wait unread", "IPC: %zu responses wait unread; the oldest was dropped",
       kMaxQueuedResponses);
}

template <typename... Args>
void InitiatorChannel::warn(std::string const& cause, char const* format, Args... args) {
  warnings_.sweep(RepeatedWarnings::Clock::now());  // a quiet cause starts a new run
  warnings_.log(NELKO_CORE_LOG_PRIORITY_WARNING, cause, format, args...);
}

void InitiatorChannel::deliver_response(std::string_view target, std::string_view interface_name,
                                        std::string_view uuid, std::string_view payload) {
  ResponseSink* sink = sink_.load(std::memory_order_acquire);
  if (sink == nullptr) {
    if (!responses_.deliver({target, interface_name, uuid, payload})) log_dropped_response();
    return;
  }
  if (sink->on_response(target, interface_name, uuid, payload, nullptr, true) !=
      ResponseSink::Route::to_callbacks) {
    return;
  }
  deliver_to_callbacks(*sink, target, interface_name, uuid, payload);
}

void InitiatorChannel::deliver_to_callbacks(ResponseSink& sink, std::string_view target,
                                            std::string_view interface_name,
                                            std::string_view uuid, std::string_view payload) {
  if (responses_.has_callbacks()) {
    try {
      responses_.deliver({target, interface_name, uuid, payload});
    } catch (...) {
      sink.after_callbacks(uuid);  // the sink's record of the response goes all the same
      throw;
    }
  } else {
    nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_WARNING,
                           "IPC: response to request %.*s from target '%.*s' has no receiver; "
                           "dropped",
                           static_cast<int>(uuid.size()), uuid.data(),
                           static_cast<int>(target.size()), target.data());
  }
  sink.after_callbacks(uuid);
}

void InitiatorChannel::deliver_event(Connection& connection, IncomingFrame const& frame) {
  if (event_callbacks_.empty()) return;  // events are not kept for later
  DeliveryTexts<3> texts({connection.label(), frame.texts[0], frame.texts[1]});
  event_callbacks_.deliver([&texts](initiator_event_receive_callback callback, void* user) {
    texts.refill();
    callback(texts.slot(0), texts.slot(1), texts.slot(2), user);
  });
}

void InitiatorChannel::on_closed(Connection& connection, std::string const& reason, bool) {
  nelko_core_logging_log(log_, NELKO_CORE_LOG_PRIORITY_WARNING,
                         "IPC: connection to target '%s' dropped (%s); the next send reconnects",
                         connection.label().c_str(), reason.c_str());
  {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    for (auto found = connections_.begin(); found != connections_.end(); ++found) {
      if (found->connection.get() == &connection) {
        erase_link(found);
        break;
      }
    }
  }
  std::vector<OutstandingCommand> outstanding;
  connection.take_outstanding(outstanding);
  if (ResponseSink* sink = sink_.load(std::memory_order_acquire)) {
    sink->take_outstanding(&connection, outstanding);
  }
  if (outstanding.empty()) return;
  std::sort(outstanding.begin(), outstanding.end(),
            [](OutstandingCommand const& a, OutstandingCommand const& b) {
              return a.sequence < b.sequence;
            });
  if (io_.on_thread()) {
    fail_outstanding(connection.label(), outstanding);
  } else {
    io_.post([this, target = connection.label(), outstanding = std::move(outstanding)] {
      fail_outstanding(target, outstanding);
    });
  }
}

// The outcome of a command whose connection broke is unknown: it ends like a transport failure.
void InitiatorChannel::fail_outstanding(std::string const& target,
                                        std::vector<OutstandingCommand> const& outstanding) {
  static constexpr char kTransportFailure[] = "{\"status\":4}";
  for (OutstandingCommand const& command : outstanding) {
    deliver_response(target, command.interface_name, command.uuid, kTransportFailure);
  }
}

}  // namespace nelko::core
