#ifndef NELKO_CORE_IPC_FRAME_H
#define NELKO_CORE_IPC_FRAME_H

// The wire format of IPC connections (nelko_core_ipc.h documents it for peers):
//   frame = u32 body length (big-endian) | body
//   body  = kind byte | text*     text = u32 length (big-endian) | bytes
// Each kind has a fixed number of texts.

#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>

namespace nelko::core {

constexpr std::uint32_t kMaxFrameBody = 1u << 20;
constexpr std::size_t kFrameLengthSize = 4;
constexpr std::size_t kMaxFrameTexts = 3;

enum class FrameKind : unsigned char {
  hello = 1,        // initiator -> target: initiator name
  command = 2,      // initiator -> target: interface, uuid, payload
  response = 3,     // target -> initiator: interface, uuid, payload
  subscribe = 4,    // initiator -> target: (none)
  unsubscribe = 5,  // initiator -> target: (none)
  event = 6,        // target -> initiator: interface, payload
};

inline std::uint32_t read_be32(char const* bytes) {
  auto const* b = reinterpret_cast<unsigned char const*>(bytes);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
         std::uint32_t{b[3]};
}

// A frame ready to send, described as pieces. A frame of up to kInlineBytes (commands and
// responses nearly always are) is built in one block inside the object and is one piece: the
// kernel then copies one buffer instead of walking six, which costs less than copying the texts
// here. A larger frame is scatter-gather pieces over the caller's texts, so that it is not
// copied. Not copyable: the pieces point into it.
class OutgoingFrame {
 public:
  static constexpr std::size_t kInlineBytes = 512;

  OutgoingFrame(FrameKind kind, std::initializer_list<std::string_view> texts);
  OutgoingFrame(OutgoingFrame const&) = delete;
  OutgoingFrame& operator=(OutgoingFrame const&) = delete;

  // True when the body exceeds kMaxFrameBody; such a frame must not be sent.
  bool too_large() const { return too_large_; }
  std::size_t size() const { return size_; }
  iovec const* pieces() const { return pieces_.data(); }
  int piece_count() const { return piece_count_; }
  // The bytes from `offset` to the end in one block, for frames that must wait in a queue.
  std::unique_ptr<char[]> copy_tail(std::size_t offset) const;

 private:
  // Length fields and kind byte; each text's length field sits in front of its bytes.
  // Left uninitialised: the constructor writes what the pieces cover, and nothing else is read.
  std::array<char, kFrameLengthSize + 1 + 4 * kMaxFrameTexts> fixed_;
  // The whole frame, when it fits; uninitialised for the same reason.
  std::array<char, kInlineBytes> inline_;
  std::array<iovec, 2 * kMaxFrameTexts + 1> pieces_;
  int piece_count_ = 0;
  std::size_t size_ = 0;
  bool too_large_ = false;
};

// A received body, its texts pointing into the receive buffer.
struct IncomingFrame {
  FrameKind kind;
  std::array<std::string_view, kMaxFrameTexts> texts;
};

// Checks a body: a known kind, exactly its number of texts, lengths within the body.
bool parse_frame_body(char const* body, std::uint32_t size, IncomingFrame& frame);

}  // namespace nelko::core

#endif
