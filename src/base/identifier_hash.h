// IdentifierHash: a hash of request identifiers for the indexes of requests in flight.
#ifndef NELKO_BASE_IDENTIFIER_HASH_H
#define NELKO_BASE_IDENTIFIER_HASH_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

namespace nelko {
namespace base {

// A hash of request identifiers: the library's own are random from their first byte, so the
// first and last eight bytes of one decide it, at the cost of two loads. Shorter texts (a client's
// own) take the standard hash. A peer may answer under any identifier it likes, but such a text
// is only ever looked up: the indexes hold the identifiers that this process sent, so a look-up
// walks at most one run of them, however its text was chosen.
struct IdentifierHash {
  std::size_t operator()(std::string_view text) const noexcept {
    if (text.size() < 16) return std::hash<std::string_view>()(text);
    std::uint64_t first, last;
    std::memcpy(&first, text.data(), sizeof first);
    std::memcpy(&last, text.data() + text.size() - sizeof last, sizeof last);
    std::uint64_t const hash =
        (first ^ (last << 29 | last >> 35) ^ text.size()) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(hash ^ (hash >> 32));
  }
};

}  // namespace base
}  // namespace nelko

#endif
