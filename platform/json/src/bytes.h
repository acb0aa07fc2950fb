// bytes.h - comparisons and scans of short byte runs, shared by the document model and the reader.
// Member names are a few bytes long: a call to memcmp or a loop over every byte costs more than
// the comparison itself.
#ifndef NELKO_JSON_BYTES_H
#define NELKO_JSON_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace json {
namespace detail {

inline std::uint64_t Load64(char const* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

inline std::uint32_t Load32(char const* p) noexcept {
  std::uint32_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

inline void Store64(char* p, std::uint64_t word) noexcept {
  std::memcpy(p, &word, sizeof word);
}

inline void Store32(char* p, std::uint32_t word) noexcept {
  std::memcpy(p, &word, sizeof word);
}

// Copies from[0, size) to to[0, size), which do not overlap. Up to 16 bytes take two overlapping
// loads and stores.
inline void CopyBytes(char* to, char const* from, std::size_t size) noexcept {
  if (size >= 8) {
    if (size > 16) return (void)std::memcpy(to, from, size);
    std::uint64_t const first = Load64(from);
    std::uint64_t const last = Load64(from + size - 8);
    Store64(to, first);
    Store64(to + size - 8, last);
    return;
  }
  if (size >= 4) {
    std::uint32_t const first = Load32(from);
    std::uint32_t const last = Load32(from + size - 4);
    Store32(to, first);
    Store32(to + size - 4, last);
    return;
  }
  for (std::size_t i = 0; i < size; ++i) to[i] = from[i];
}

// a[0, size) == b[0, size). Up to 16 bytes take two overlapping loads from each side.
inline bool SameBytes(char const* a, char const* b, std::size_t size) noexcept {
  if (size >= 8) {
    if (size > 16) return std::memcmp(a, b, size) == 0;
    return Load64(a) == Load64(b) && Load64(a + size - 8) == Load64(b + size - 8);
  }
  if (size >= 4) return Load32(a) == Load32(b) && Load32(a + size - 4) == Load32(b + size - 4);
  for (std::size_t i = 0; i < size; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// The bitwise OR of every byte of text[0, size), spread over the bytes of a word: a byte with its
// high bit set shows as such in the result. Up to 8 bytes take two overlapping loads.
inline std::uint64_t OrOfBytes(char const* text, std::size_t size) noexcept {
  if (size >= 8) {
    std::uint64_t any = Load64(text + size - 8);
    for (std::size_t i = 0; i + 8 < size; i += 8) any |= Load64(text + i);
    return any;
  }
  if (size >= 4) return Load32(text) | Load32(text + size - 4);
  std::uint64_t any = 0;
  for (std::size_t i = 0; i < size; ++i) any |= static_cast<unsigned char>(text[i]);
  return any;
}

inline bool IsAsciiText(char const* text, std::size_t size) noexcept {
  return (OrOfBytes(text, size) & 0x8080808080808080u) == 0;
}

inline bool SameName(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && SameBytes(a.data(), b.data(), a.size());
}

}  // namespace detail
}  // namespace json

#endif
