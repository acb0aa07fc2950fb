// Between the platform's own libraries only (not installed, not for clients): the interfaces
// library routes the responses of the requests it sends itself, and must hear what happens on a
// channel: each response before the response callbacks see it, which objects withdrew their
// response functions, and when the channel is gone.
#ifndef NELKO_CORE_CHANNEL_EVENTS_H
#define NELKO_CORE_CHANNEL_EVENTS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nelko_core_types.h"

namespace nelko::core {

// A hash for maps keyed by request identifiers and similar short texts: eight bytes at a time,
// a multiplication each, which costs a fraction of the standard library's byte-wise hash. Keys
// are the client's own identifiers; a peer's text is only ever looked up, never inserted.
// Deliberately not noexcept: the standard library then keeps each key's hash in its node, so that
// walking a bucket compares stored hashes instead of hashing every key it passes again.
struct TextHash {
  std::size_t operator()(std::string_view text) const {
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
    std::uint64_t hash = text.size() * kMultiplier;
    char const* bytes = text.data();
    std::size_t left = text.size();
    for (; left >= 8; bytes += 8, left -= 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes, 8);
      hash = (hash ^ word) * kMultiplier;
      hash = (hash << 31) | (hash >> 33);  // the high bits, which the product mixed, reach the low
    }
    if (left > 0) {
      std::uint64_t word = 0;
      if (text.size() >= 8) {  // the last eight bytes, overlapping those already taken
        std::memcpy(&word, text.data() + text.size() - 8, 8);
      } else {
        for (std::size_t i = 0; i < left; ++i) {
          word |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
        }
      }
      hash = (hash ^ word) * kMultiplier;
    }
    hash ^= hash >> 29;
    return static_cast<std::size_t>(hash ^ (hash >> 32));
  }
};

// One T per thread, made on the thread's first get() and destroyed when the thread ends. Only a
// pointer lives in the thread's static TLS block, with initial-exec access: a thread_local that
// needs destroying is reached through a call into the dynamic linker, a plain pointer is not.
template <typename T>
class PerThread {
 public:
  static T& get() {
    if (t_object == nullptr) {
      t_owner.object = std::make_unique<T>();
      t_object = t_owner.object.get();
    }
    return *t_object;
  }
  // The thread's T, or null before its first get().
  static T* find() noexcept { return t_object; }

 private:
  struct Owner {
    std::unique_ptr<T> object;
    ~Owner() { t_object = nullptr; }
  };
  __attribute__((tls_model("initial-exec"))) static inline thread_local T* t_object = nullptr;
  static inline thread_local Owner t_owner;
};

// True when two texts hold the same bytes. Names of up to 16 bytes (a target's, an interface's,
// a command's) are compared here, eight bytes at a time, without a call into the C library,
// which costs more than such a comparison; longer texts (identifiers) by the library, which
// compares them in fewer steps.
inline bool same_text(std::string_view a, std::string_view b) {
  std::size_t const size = a.size();
  if (size != b.size()) return false;
  char const* const x = a.data();
  char const* const y = b.data();
  if (size > 16) return std::memcmp(x, y, size) == 0;
  auto equal_at = [x, y](std::size_t at, std::size_t width) {
    std::uint64_t left = 0, right = 0;
    std::memcpy(&left, x + at, width);
    std::memcpy(&right, y + at, width);
    return left == right;
  };
  if (size >= 8) return equal_at(0, 8) && equal_at(size - 8, 8);
  if (size >= 4) return equal_at(0, 4) && equal_at(size - 4, 4);
  for (std::size_t at = 0; at < size; ++at) {
    if (x[at] != y[at]) return false;
  }
  return true;
}

// The key comparison that goes with TextHash.
struct TextEqual {
  bool operator()(std::string_view a, std::string_view b) const { return same_text(a, b); }
};

// Sets a recycled entry's text, which usually holds the same text already (a target's name, an
// interface name): a comparison costs less than a copy.
inline void reuse_text(std::string& kept, std::string_view text) {
  if (!same_text(kept, text)) kept.assign(text.data(), text.size());
}
// Sets a recycled entry's identifier: the buffer it kept usually has the length already, and a
// plain copy then costs less than assign()'s general case.
inline void overwrite_text(std::string& kept, std::string_view text) {
  kept.resize(text.size());
  if (!text.empty()) std::memcpy(kept.data(), text.data(), text.size());
}

// A command whose record the sink keeps, from before it is sent until it ends.
struct CommandRecord {
  // The connection the command is outstanding on, null while it is on none. Set by the core,
  // under the connection's write lock, before the command goes out (its answer may be read
  // before the send returns) and only while the connection is open; cleared by whoever ends the
  // command's time there: claim() for its answer, take_outstanding() for the connection's
  // close, the core for a failed send, the sink when the record goes or is sent again.
  std::atomic<void const*> connection{nullptr};
  // Its place among the commands sent on that connection: written by the core before
  // `connection` is set, read by whoever saw `connection` set (it orders the answers of a close).
  std::uint64_t sequence = 0;

  // True, unlinking it, when the command is outstanding on `on`: the caller ends it.
  bool claim(void const* on) {
    return connection.load(std::memory_order_relaxed) == on &&
           connection.compare_exchange_strong(on, nullptr, std::memory_order_acq_rel);
  }
};

// A command that was outstanding on a connection that closed.
struct OutstandingCommand {
  std::string uuid;
  std::string interface_name;
  std::uint64_t sequence;  // see CommandRecord
};

// The router of one initiator channel. Its calls come from the channel's I/O thread, one at a
// time, and from a thread that reads the sockets itself in read_for_sink (for the connections it
// reads, at the same time as the I/O thread's calls for others); on_withdrawn from the
// withdrawing thread (see there).
//
// While a sink is installed nothing is queued for nelko_core_ipc_initiator_response_receive: a
// response goes to the sink, then, when the sink leaves it, to the response callbacks (always on
// the I/O thread, to which a thread that read it hands it over), and is dropped (with a log
// line) when there are none. Who reads the sockets:
//  - a thread waiting in the sink for a response reads the sockets of its lane itself
//    (read_for_sink) while nobody else does, which saves handing each response from the I/O
//    thread to the waiting thread;
//  - when no such thread reads, the I/O thread reads every response as soon as it arrives while
//    an event callback is registered or the sink wants_prompt_reading(); otherwise what arrives
//    waits in its socket until the next read_for_sink. A closed or broken connection is noticed
//    by the I/O thread at once all the same.
//
// A response reaches the sink only when it answers a command still outstanding on the
// connection it came on: answers to identifiers that were never sent there, or already
// answered, are dropped by the core with a log line. When a connection closes, the core answers
// every command still outstanding on it with the payload {"status":4} itself, in the order
// they were sent, so that every command sent ends in exactly one response.
//
// The sink keeps the record of each command it sends (send_command with a CommandRecord): the
// core links the record to the connection the command goes out on instead of keeping an entry
// of its own, and the sink's one look-up of a response's identifier both finds the request and
// tells whether it is outstanding on that connection (CommandRecord::claim).
class ResponseSink {
 public:
  enum class Route {
    taken,
    to_callbacks,
    unsolicited,  // on_response with a connection: no command of the sink's is outstanding
                  // there under that identifier; the core drops the answer with its log line
  };

  // `connection` is the one the response came on: the sink takes it only for a record
  // outstanding there, which it claims. Null when the core vouches for the response itself (a
  // command it counted, or {"status":4} for a connection that closed, see take_outstanding).
  // `on_io_thread`: the call is on the I/O thread, which, for a response left to the callbacks,
  // runs them and after_callbacks() next, before it calls on_response again (a reader thread
  // hands the response to the I/O thread instead, which runs them later).
  virtual Route on_response(std::string_view target, std::string_view interface_name,
                            std::string_view uuid, std::string_view payload,
                            void const* connection, bool on_io_thread) = 0;
  // Appends the sink's commands outstanding on `connection`, which closed, and unlinks them:
  // the core answers them (on_response without a connection) together with its own, in order.
  virtual void take_outstanding(void const* connection, std::vector<OutstandingCommand>& into) = 0;
  // After the callbacks have seen a response that on_response left to them, on the I/O
  // thread; also when one of them threw.
  virtual void after_callbacks(std::string_view uuid) = 0;
  // `user` withdrew its response functions (registered a null callback): called on the
  // withdrawing thread once no call to them runs any more.
  virtual void on_withdrawn(void const* user) = 0;
  // True while responses must not wait in the sockets for a waiting thread to read them (some
  // go to the response callbacks, or too many are outstanding that nobody waits for yet). Asked
  // often and under the core's locks: it must be cheap and take no lock of the sink's.
  virtual bool wants_prompt_reading() const = 0;
  // The channel closes: its thread has stopped, so nothing reaches the sink any more. Called
  // once, by the closing thread, before the channel lets go of the sink and while the channel's
  // handle is still its own (no channel opened meanwhile can have it).
  virtual void on_channel_closed() {}

 protected:
  ~ResponseSink() = default;
};

// The sink of the initiator channel `ipc_handle`: the one installed, or else the one `make`
// returns for it, installed now (one sink per channel, however many threads ask at once). The
// channel owns its sink from then on and lets go of it when it closes, after
// on_channel_closed(); a caller that holds the returned reference keeps the sink itself alive
// until it lets go. Null when the handle is not an open initiator channel or `make` returned null.
using MakeResponseSink = std::shared_ptr<ResponseSink> (*)(void* ipc_handle);
std::shared_ptr<ResponseSink> install_response_sink(void* ipc_handle, MakeResponseSink make);

// The sink installed on the initiator channel `ipc_handle`, or null. A response function, which
// runs on the channel's I/O thread, may use it for the rest of its call, and so may any call
// that uses the open channel meanwhile: the channel keeps its sink until it closes.
ResponseSink* response_sink(void* ipc_handle);

// True on the I/O thread of the initiator channel `ipc_handle`: a wait there for one of the
// channel's responses could never end, since that thread is the one that delivers them.
bool on_channel_thread(void* ipc_handle);

// An initiator channel keeps up to kLanes connections to each target: a thread's commands go
// out on the connection of its lane (threads get lanes in turn), so that threads waiting at the
// same time each read their own responses. Commands of one thread keep their order; those of
// different threads may be served in any order. Events come on lane 0's connection only.
constexpr unsigned kLanes = 4;
// The lane of the calling thread: the connection its commands go out on.
unsigned sending_lane();

// How read_for_sink went.
enum class SinkRead {
  read,     // it read, or waited: it returns after a response went to the sink, after
            // wake_sink_reader(), or when wait_ms passed (the caller checks what it waits for)
  refused,  // the I/O thread reads the sockets (the caller is the I/O thread, or the I/O thread
            // was reading one of them), and the sink hears the responses from there
};
// Reads the channel's sockets of `lane` on the calling thread for up to wait_ms (0 reads what is
// there without waiting, -1 waits without limit), handing each response to the sink on this
// thread. One thread at a time should read a lane; the sink decides which.
SinkRead read_for_sink(void* ipc_handle, unsigned lane, int wait_ms);
// Makes a read_for_sink of `lane` in progress return: from another thread that gave its reader
// what it waits for.
void wake_sink_reader(void* ipc_handle, unsigned lane);
// The I/O thread takes the reading back now (the sink began to want_prompt_reading).
void read_promptly(void* ipc_handle);

// nelko_core_ipc_initiator_command_send for texts whose lengths the caller knows, which are
// then not measured again. The texts hold no NUL byte (a target name with one is refused).
// With a `record` (the sink's, see CommandRecord), the command is outstanding on its connection
// through the record, which must stay while this call runs.
nelko_core_status send_command(void* ipc_handle, std::string_view target,
                               std::string_view interface_name, std::string_view uuid,
                               std::string_view payload, CommandRecord* record = nullptr);

// True when the calling thread's most recent registration of a response function was made for
// (ipc_handle, user) and has not been taken yet; takes it. A command that an object sends right
// after registering its response function on the same thread is one it completes through that
// function: the interfaces library routes its response there instead of keeping it for a
// receive.
bool take_registration_mark(void* ipc_handle, void const* user);

}  // namespace nelko::core

#endif
