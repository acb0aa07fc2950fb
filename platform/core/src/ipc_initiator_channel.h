#ifndef NELKO_CORE_IPC_INITIATOR_CHANNEL_H
#define NELKO_CORE_IPC_INITIATOR_CHANNEL_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "callback_registry.h"
#include "deliveries.h"
#include "io_thread.h"
#include "ipc_connection.h"
#include "ipc_handle.h"
#include "ipc_socket_directory.h"
#include "nelko_core_channel_events.h"
#include "nelko_core_ipc.h"
#include "repeated_warnings.h"

namespace nelko::core {

// An initiator's channel: one connection per target and lane (see kLanes), made on first use
// and again after the target went away. Responses and events arrive on the I/O thread, except
// that a thread waiting for a response reads the sockets itself: in receive_response() while no
// response callback is registered, and with a sink in the sink's read_for_sink().
class InitiatorChannel final : public IpcHandle, private ConnectionOwner {
 public:
  static constexpr Kind kKind = Kind::initiator;
  static constexpr std::size_t kMaxQueuedResponses = 4096;

  static nelko_core_status open(void* log, char const* name, InitiatorChannel*& channel);
  ~InitiatorChannel();

  bool on_io_thread() const { return io_.on_thread(); }

  nelko_core_status send_command(char const* target, char const* interface_name, char const* uuid,
                                 char const* payload);
  // The same for texts whose lengths the caller knows, with the sink's record of the command or
  // none (see nelko::core::send_command).
  nelko_core_status send_command(std::string_view target, std::string_view interface_name,
                                 std::string_view uuid, std::string_view payload,
                                 CommandRecord* record = nullptr);
  nelko_core_status receive_response(int timeout_ms, char** first, char** interface_name,
                                     char** uuid, char** payload);
  nelko_core_status set_response_callback(initiator_response_receive_callback callback, void* user);
  nelko_core_status set_event_callback(initiator_event_receive_callback callback, void* user);
  nelko_core_status subscribe(char const* target);
  nelko_core_status unsubscribe(char const* target);
  // See nelko_core_channel_events.h.
  // See install_response_sink.
  std::shared_ptr<ResponseSink> install_sink(void* ipc_handle, MakeResponseSink make);
  ResponseSink* sink() const { return sink_.load(std::memory_order_acquire); }
  SinkRead read_for_sink(unsigned lane, int wait_ms);
  void wake_sink_reader(unsigned lane);
  static unsigned lane_of_this_thread();
  // Gives the reading of every connection back to the I/O thread.
  void unpark_all();

 private:
  // A response's texts: target name, interface name, uuid, payload.
  using Responses = Deliveries<initiator_response_receive_callback, 4>;

  InitiatorChannel(void* log, std::string name, SocketDirectory directory);
  // The open connection of `lane` to `target`, connecting when there is none; `fresh` tells
  // whether it was made by this call (it then already carries the hello and, on lane 0, any
  // subscription).
  nelko_core_status connection_to(std::string_view target, unsigned lane,
                                  std::shared_ptr<Connection>& connection, bool& fresh);
  // The calling thread's last connection on this channel when it goes to `target` on `lane` and
  // is open, else null; and the one to remember instead (see LastConnection).
  std::shared_ptr<Connection> last_connection(std::string_view target, unsigned lane) const;
  void remember_connection(std::string_view target, unsigned lane,
                           std::shared_ptr<Connection> const& connection) const;
  // Polls the connections (of `lane` only, when it is one) and reads them on the calling thread
  // for up to wait_ms (-1: no limit), until a frame came, the lane's reader was woken or the
  // time ran out; a long wait for a single connection receives on it directly instead, in
  // slices of kReceiveSliceMs (see Connection::read_waiting), so it may end up to one slice
  // after the lane's reader was woken when nothing arrived on that connection meanwhile. False
  // when a connection had to be left to the I/O thread, which was reading it (see
  // Connection::read_now).
  static constexpr unsigned kAllLanes = kLanes;
  static constexpr int kReceiveSliceMs = 50;
  bool read_for_puller(unsigned lane, int wait_ms);
  bool on_frame(Connection& connection, IncomingFrame const& frame, bool on_io_thread) override;
  bool must_read_promptly() const override;
  void on_closed(Connection& connection, std::string const& reason, bool orderly) override;
  // On the I/O thread: to the sink, the callbacks or the pull queue. The response answers a
  // command that was outstanding (the sink hears it without a connection).
  void deliver_response(std::string_view target, std::string_view interface_name,
                        std::string_view uuid, std::string_view payload);
  // On the I/O thread: a response that the sink left to the callbacks.
  void deliver_to_callbacks(ResponseSink& sink, std::string_view target,
                            std::string_view interface_name, std::string_view uuid,
                            std::string_view payload);
  // Answers what was outstanding on a connection that closed (see ResponseSink).
  void fail_outstanding(std::string const& target,
                        std::vector<OutstandingCommand> const& outstanding);
  // A response on `connection` that answers no command outstanding there: dropped.
  void drop_unsolicited(Connection const& connection, std::string_view uuid);
  void log_dropped_response();
  // A warning that a target can provoke at will: logged once per run of its cause, with a count.
  template <typename... Args>
  void warn(std::string const& cause, char const* format, Args... args);
  void deliver_event(Connection& connection, IncomingFrame const& frame);

  std::uint64_t const serial_;  // distinct for every channel of the process
  void* const log_;
  std::string const name_;
  SocketDirectory const directory_;
  // Declared before everything that holds sockets, so that it is destroyed after them.
  IoThread io_;

  // A connection of one lane to one target.
  struct Link {
    std::string target;
    unsigned lane;
    std::shared_ptr<Connection> connection;
  };
  // With connections_mutex_ held: the link of `lane` to `target`, or end().
  std::vector<Link>::iterator find_link(std::string_view target, unsigned lane);
  // With connections_mutex_ held: adds or removes a link, keeping lane_links_.
  void add_link(Link link);
  std::vector<Link>::iterator erase_link(std::vector<Link>::iterator link);
  std::mutex connections_mutex_;
  // A handful per target at most: searched in order, which costs less than building a key.
  std::vector<Link> connections_;
  // The number of links of each lane, changed under connections_mutex_ and read without it: a
  // lane with one link, which is the reading thread's last connection, is read without the lock.
  std::array<std::atomic<unsigned>, kLanes> lane_links_{};
  std::set<std::string, std::less<>> subscriptions_;
  std::uint64_t next_connection_id_ = 0;

  // eventfds that wake a thread reading the sockets: of each lane for the sink's readers, that
  // of lane 0 also for a puller (which reads every lane). woken_ says the same to a reader about
  // to receive directly (which does not hear the eventfd) without a system call.
  std::array<int, kLanes> const wake_readers_;
  std::array<std::atomic<bool>, kLanes> woken_{};
  void wake_reader(unsigned index);
  Responses responses_;
  CallbackRegistry<initiator_event_receive_callback> event_callbacks_;
  std::atomic<ResponseSink*> sink_{nullptr};  // sink_owner_'s, read without the lock
  std::mutex sink_mutex_;                      // installs the sink
  std::shared_ptr<ResponseSink> sink_owner_;
  RepeatedWarnings warnings_{log_};
};

}  // namespace nelko::core

#endif
