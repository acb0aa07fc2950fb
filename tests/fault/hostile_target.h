// A stand-in for the stream_layout target that this suite scripts byte by byte: it listens where
// the core would look for a target of that name and speaks the wire framing of nelko_core_ipc.h
// itself, so it can also answer late, twice, with identifiers nobody sent, with broken or
// oversized frames, or not at all, and die mid-request.
#ifndef NELKO_TESTS_FAULT_HOSTILE_TARGET_H
#define NELKO_TESTS_FAULT_HOSTILE_TARGET_H

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "json/elements.h"

namespace fault {

// One command as the target read it.
struct Command {
  std::string uuid;
  std::string name;  // the request's "command"
  std::string payload;
  json::Object request;
};

// Something the target does after reading a command: after `delay`, send `bytes` (may be empty),
// then close the connection if `hang_up`. With `stop_reading` it shuts its reading side before it
// sends: the initiator's next send then fails with EPIPE, while its socket shows nothing to read.
struct Reply {
  std::chrono::milliseconds delay{0};
  std::string bytes;
  bool hang_up = false;
  bool stop_reading = false;
};

using Behaviour = std::function<std::vector<Reply>(Command const&)>;

class HostileTarget {
 public:
  // Listens at <directory>/<name> (NELKO_IPC_DIR of the test) until destroyed or die().
  HostileTarget(std::string const& directory, std::string const& name, Behaviour behaviour);
  ~HostileTarget();
  HostileTarget(HostileTarget const&) = delete;
  HostileTarget& operator=(HostileTarget const&) = delete;

  // Closes every connection and the listening socket and removes the socket file, as a target
  // process that died would leave things.
  void die();
  // While paused the target accepts connections but reads nothing, like a stopped process.
  void pause(bool paused);

  int commands_seen() const { return commands_.load(); }
  // Connections closed by the initiator (end of file before the target hung up).
  int hang_ups_seen() const { return hang_ups_.load(); }
  int connections_seen() const { return connections_.load(); }

  static std::string response(std::string const& uuid, std::string const& payload);
  // A well-formed answer to the command; Get_num_roi answers `number`, so that a client can tell
  // answers apart.
  static std::string answer(Command const& command, unsigned number = 7);

 private:
  struct Peer {
    int descriptor;
    std::string input;
    bool deaf = false;  // its reading side is shut: not polled, as it reads as ended at once
  };
  struct Pending {
    std::chrono::steady_clock::time_point due;
    int descriptor;
    Reply reply;
  };

  void run();
  void read_from(Peer& peer);
  void close_peer(int descriptor);

  std::string path_;
  Behaviour behaviour_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> paused_{false};
  std::atomic<int> commands_{0};
  std::atomic<int> hang_ups_{0};
  std::atomic<int> connections_{0};
  std::map<int, Peer> peers_;       // server thread only
  std::vector<Pending> pending_;    // server thread only
  std::thread thread_;
};

// A behaviour's only reply: `bytes`, sent at once.
inline std::vector<Reply> at_once(std::string bytes) {
  return {Reply{std::chrono::milliseconds(0), std::move(bytes)}};
}

// Well-behaved: answers every command at once.
std::vector<Reply> answer_at_once(Command const& command);

}  // namespace fault

#endif
