#include "ipc_frame.h"

#include <cstring>

namespace nelko::core {
namespace {

void write_be32(char* bytes, std::uint32_t value) {
  bytes[0] = static_cast<char>(value >> 24);
  bytes[1] = static_cast<char>(value >> 16);
  bytes[2] = static_cast<char>(value >> 8);
  bytes[3] = static_cast<char>(value);
}

int text_count(FrameKind kind) {
  switch (kind) {
    case FrameKind::hello:
      return 1;
    case FrameKind::command:
      return 3;
    case FrameKind::response:
      return 3;
    case FrameKind::subscribe:
      return 0;
    case FrameKind::unsubscribe:
      return 0;
    case FrameKind::event:
      return 2;
  }
  return -1;
}

}  // namespace

OutgoingFrame::OutgoingFrame(FrameKind kind, std::initializer_list<std::string_view> texts) {
  std::uint64_t body = 1;
  for (std::string_view text : texts) body += 4 + std::uint64_t{text.size()};
  if (body > kMaxFrameBody || texts.size() > kMaxFrameTexts) {
    too_large_ = true;
    return;
  }
  size_ = kFrameLengthSize + static_cast<std::size_t>(body);
  if (size_ <= kInlineBytes) {
    char* out = inline_.data();
    write_be32(out, static_cast<std::uint32_t>(body));
    out[kFrameLengthSize] = static_cast<char>(kind);
    out += kFrameLengthSize + 1;
    for (std::string_view text : texts) {
      write_be32(out, static_cast<std::uint32_t>(text.size()));
      out += 4;
      if (!text.empty()) std::memcpy(out, text.data(), text.size());
      out += text.size();
    }
    pieces_[0] = {inline_.data(), size_};
    piece_count_ = 1;
    return;
  }
  write_be32(fixed_.data(), static_cast<std::uint32_t>(body));
  fixed_[kFrameLengthSize] = static_cast<char>(kind);
  // The fixed bytes are laid out in sending order, so a length field directly after the kind
  // byte (or after an empty text) extends the previous fixed piece instead of adding one.
  char* next_fixed = fixed_.data() + kFrameLengthSize + 1;
  pieces_[0] = {fixed_.data(), kFrameLengthSize + 1};
  piece_count_ = 1;
  for (std::string_view text : texts) {
    write_be32(next_fixed, static_cast<std::uint32_t>(text.size()));
    iovec& last = pieces_[piece_count_ - 1];
    if (static_cast<char*>(last.iov_base) + last.iov_len == next_fixed) {
      last.iov_len += 4;
    } else {
      pieces_[piece_count_++] = {next_fixed, 4};
    }
    next_fixed += 4;
    if (!text.empty()) pieces_[piece_count_++] = {const_cast<char*>(text.data()), text.size()};
  }
}

std::unique_ptr<char[]> OutgoingFrame::copy_tail(std::size_t offset) const {
  std::unique_ptr<char[]> block(new char[size_ - offset]);
  char* out = block.get();
  std::size_t skip = offset;
  for (int i = 0; i < piece_count_; ++i) {
    std::size_t len = pieces_[i].iov_len;
    if (skip >= len) {
      skip -= len;
      continue;
    }
    std::memcpy(out, static_cast<char const*>(pieces_[i].iov_base) + skip, len - skip);
    out += len - skip;
    skip = 0;
  }
  return block;
}

bool parse_frame_body(char const* body, std::uint32_t size, IncomingFrame& frame) {
  if (size < 1) return false;
  frame.kind = static_cast<FrameKind>(static_cast<unsigned char>(body[0]));
  int expected = text_count(frame.kind);
  if (expected < 0) return false;
  std::uint32_t pos = 1;
  for (int i = 0; i < expected; ++i) {
    if (size - pos < 4) return false;
    std::uint32_t length = read_be32(body + pos);
    pos += 4;
    if (length > size - pos) return false;
    frame.texts[i] = std::string_view(body + pos, length);
    pos += length;
  }
  return pos == size;
}

}  // namespace nelko::core
