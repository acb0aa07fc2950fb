// The members of a message that a read wants, found in one pass over the message instead of one
// look-up per name. A name the message lacks is left to the DOM's own access by name, message[name],
// when its member is asked for: on a non-const message that appends a Null member (the lenient
// read then takes it for a default), on a const one it throws json::Exception "Object member not
// found: <name>" (the strict read).
#ifndef NELKO_INITIATOR_NAMED_MEMBERS_H
#define NELKO_INITIATOR_NAMED_MEMBERS_H

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "json/elements.h"

namespace nelko {
namespace stream_layout {
namespace detail {

template <std::size_t N>
using Names = std::array<std::string_view, N>;

// A description's names (text constants) as views, made at compile time.
template <std::size_t N>
constexpr Names<N> names_of(std::array<char const*, N> const& texts) {
  Names<N> names{};
  for (std::size_t i = 0; i < N; ++i) names[i] = texts[i];
  return names;
}

// `first`, then `rest`.
template <std::size_t N>
constexpr Names<N + 1> prepend(std::string_view first, Names<N> const& rest) {
  Names<N + 1> names{};
  names[0] = first;
  for (std::size_t i = 0; i < N; ++i) names[i + 1] = rest[i];
  return names;
}

// Message is json::Object or json::Object const; kNames a constant array of Names, so that every
// comparison with a name is made with that name's length known when compiling.
template <typename Message, auto const& kNames>
class NamedMembers {
 public:
  using Element = std::conditional_t<std::is_const<Message>::value, json::UnknownElement const,
                                     json::UnknownElement>;
  static constexpr std::size_t kCount = std::tuple_size<std::decay_t<decltype(kNames)>>::value;

  explicit NamedMembers(Message& message) noexcept : message_(message) {
    for (auto& member : message) take(member, std::make_index_sequence<kCount>());
  }

  // The element of kNames[i]; see above for a name the message lacks.
  Element& operator[](std::size_t i) const {
    return found_[i] != nullptr ? *found_[i] : message_[kNames[i]];
  }

 private:
  // Records `member` under the first name it bears that has not been found yet (the reader
  // refuses duplicate names anyway).
  template <typename Member, std::size_t... I>
  void take(Member& member, std::index_sequence<I...>) noexcept {
    std::string const& name = member.name;
    (void)((found_[I] == nullptr && name.size() == kNames[I].size() &&
            std::memcmp(name.data(), kNames[I].data(), kNames[I].size()) == 0 &&
            (found_[I] = &member.element, true)) ||
           ...);
  }

  Message& message_;
  std::array<Element*, kCount> found_{};
};

// The names of a command's results, and the same after "status" (what a completion reads).
template <typename Command>
struct ResultNames {
  static constexpr Names<std::tuple_size<typename Command::Results>::value> kResults =
      names_of(Command::kResultNames);
  static constexpr auto kStatusAndResults = prepend("status", kResults);
};

}  // namespace detail
}  // namespace stream_layout
}  // namespace nelko

#endif
