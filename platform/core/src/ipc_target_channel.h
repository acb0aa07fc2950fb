#ifndef NELKO_CORE_IPC_TARGET_CHANNEL_H
#define NELKO_CORE_IPC_TARGET_CHANNEL_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "deliveries.h"
#include "io_thread.h"
#include "ipc_connection.h"
#include "ipc_handle.h"
#include "nelko_core_ipc.h"

namespace nelko::core {

// A target's channel: listens at <socket directory>/<target name>, accepts any number of
// initiators, delivers their commands and answers those meant for another interface itself.
class TargetChannel final : public IpcHandle, private ConnectionOwner {
 public:
  static constexpr Kind kKind = Kind::target;
  static constexpr std::size_t kMaxQueuedCommands = 4096;

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
    std::string reply_to;  // "<initiator name>#<connection number>"
    bool subscribed = false;
  };
  // A command's texts: reply_to, uuid, payload.
  using Commands = Deliveries<target_command_receive_callback, 3>;

  // The listening socket, watched by the I/O thread.
  class Listener final : public Watched {
   public:
    explicit Listener(TargetChannel& channel) : channel_(channel) {}
    void on_ready(std::uint32_t) noexcept override { channel_.accept_pending(); }

   private:
    TargetChannel& channel_;
  };

  TargetChannel(void* log, std::string name, std::string interface_name, std::string path,
                int listening_descriptor);
  // On the I/O thread: accepts every connection that waits.
  void accept_pending() noexcept;
  void accept_one(int descriptor);
  bool on_frame(Connection& connection, IncomingFrame const& frame, bool on_io_thread) override;
  void on_closed(Connection& connection, std::string const& reason, bool orderly) override;
  void deliver_command(Connection& connection, IncomingFrame const& frame);

  void* const log_;
  std::string const name_;
  std::string const interface_name_;
  std::string const path_;
  dev_t socket_device_ = 0;
  ino_t socket_inode_ = 0;
  // Declared before everything that holds sockets, so that it is destroyed after them.
  IoThread io_;
  int const listening_;
  std::uint64_t listening_key_ = 0;
  std::uint64_t next_connection_id_ = 0;  // I/O thread only

  std::mutex peers_mutex_;
  std::map<std::uint64_t, Peer> peers_;

  Commands commands_{kMaxQueuedCommands, io_};
};

}  // namespace nelko::core

#endif
