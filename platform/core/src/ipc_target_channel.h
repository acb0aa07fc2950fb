#ifndef NELKO_CORE_IPC_TARGET_CHANNEL_H
#define NELKO_CORE_IPC_TARGET_CHANNEL_H

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "deliveries.h"
#include "io_thread.h"
#include "ipc_connection.h"
#include "ipc_handle.h"
#include "ipc_socket_directory.h"
#include "nelko_core_ipc.h"
#include "repeated_warnings.h"

namespace nelko::core {

// A target's channel: listens at <socket directory>/<target name>, accepts the initiators that
// the directory's mode admits (see SocketDirectory), delivers their commands and answers those
// meant for another interface itself. What peers can make it hold is bounded: connections,
// bytes held by them all, and the time a frame may take to arrive.
class TargetChannel final : public IpcHandle, private ConnectionOwner {
 public:
  static constexpr Kind kKind = Kind::target;
  // Commands that wait to be pulled, by number and by bytes of their texts.
  static constexpr std::size_t kMaxQueuedCommands = 4096;
  static constexpr std::size_t kMaxQueuedCommandBytes = 16u << 20;
  // Far below the usual limit of 1024 descriptors, so that the process keeps some for itself.
  static constexpr std::size_t kMaxConnections = 128;
  // Beyond each connection's 16 KiB receive buffer: grown receive buffers and queued frames.
  static constexpr std::size_t kMaxBufferedBytes = 32u << 20;
  // A frame must arrive whole within this time of its first bytes.
  static constexpr std::chrono::seconds kFrameTimeout{5};

  static nelko_core_status open(void* log, char const* target_name, char const* interface_name,
                                TargetChannel*& channel);
  ~TargetChannel();

  bool on_io_thread() const { return io_.on_thread(); }

  nelko_core_status receive_command(unsigned timeout_ms, char** reply_to, char** uuid,
                                    char** payload);
  nelko_core_status set_command_callback(target_command_receive_callback callback, void* user);
  nelko_core_status send_response(char const* reply_to, char const* uuid, char const* payload);
  nelko_core_status send_event(char const* payload);

 private:
  struct Peer {
    std::shared_ptr<Connection> connection;
    // "<initiator name>#<connection number>", fixed by the first hello; "#<number>" before it.
    std::string reply_to;
    bool named = false;
    bool subscribed = false;
  };
  using Peers = std::map<std::uint64_t, Peer>;
  // A command's texts: reply_to, uuid, payload.
  using Commands = Deliveries<target_command_receive_callback, 3>;

  // The timer of check_periodically(), watched by the I/O thread.
  class CheckTimer final : public Watched {
   public:
    explicit CheckTimer(TargetChannel& channel) : channel_(channel) {}
    void on_ready(std::uint32_t) noexcept override { channel_.on_check_timer(); }

   private:
    TargetChannel& channel_;
  };

  // The listening socket, watched by the I/O thread.
  class Listener final : public Watched {
   public:
    explicit Listener(TargetChannel& channel) : channel_(channel) {}
    void on_ready(std::uint32_t) noexcept override { channel_.accept_pending(); }

   private:
    TargetChannel& channel_;
  };

  TargetChannel(void* log, std::string name, std::string interface_name, SocketDirectory directory,
                std::string path, int listening_descriptor);
  // Before the listening socket is watched: makes and watches check_timer_, if it can.
  void watch_check_timer();
  // On the I/O thread: accepts every connection that waits.
  void accept_pending() noexcept;
  void accept_one(int descriptor);
  // With peers_mutex_ held: false (logged) when `descriptor` must be closed unserved.
  bool may_accept(int descriptor);
  // Once a second on the I/O thread while there is anything to check: closes connections whose
  // frame is overdue, ends quiet runs of repeated log lines.
  void arm_check();
  void check_periodically();
  void on_check_timer() noexcept;
  // With peers_mutex_ held, on the I/O thread: closes a peer that broke a rule.
  void drop_locked(Peers::iterator peer, std::string_view cause, std::string const& why);
  bool on_frame(Connection& connection, IncomingFrame const& frame, bool on_io_thread) override;
  void on_closed(Connection& connection, std::string const& reason, bool orderly) override;
  void deliver_command(Connection& connection, IncomingFrame const& frame);

  void* const log_;
  std::string const name_;
  std::string const interface_name_;
  SocketDirectory const directory_;
  std::string const path_;
  dev_t socket_device_ = 0;
  ino_t socket_inode_ = 0;
  // Declared before everything that holds sockets, so that they are destroyed after them.
  RepeatedWarnings warnings_{log_};
  ByteBudget budget_{kMaxBufferedBytes};
  IoThread io_;
  int const listening_;
  std::uint64_t listening_key_ = 0;
  std::uint64_t next_connection_id_ = 0;  // I/O thread only
  bool accept_retry_pending_ = false;     // I/O thread only
  bool check_armed_ = false;              // I/O thread only
  // A timerfd for the check, or -1 when none could be made: the check is then delayed work of
  // the I/O thread, which has it read the clock on every turn while any is pending.
  int check_timer_ = -1;
  std::uint64_t check_timer_key_ = 0;

  // Changed only on the I/O thread, with the lock held; other threads read it with the lock.
  std::mutex peers_mutex_;
  Peers peers_;

  Commands commands_{kMaxQueuedCommands, io_, {}, kMaxQueuedCommandBytes};
};

}  // namespace nelko::core

#endif
