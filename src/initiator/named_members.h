// The members of a message that a read wants, found in one pass over the message instead of one
// look-up per name. A name the message lacks is left to the DOM's own access by name, message[name],
// when its member is asked for: on a non-const message that appends a Null member (the lenient
// read then takes it for a default), on a const one it throws json::Exception "Object member not
// found: <name>" (the strict read).
#ifndef NELKO_INITIATOR_NAMED_MEMBERS_H
#define NELKO_INITIATOR_NAMED_MEMBERS_H

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

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

// Message is json::Object or json::Object const; the names must outlive this object.
template <typename Message, std::size_t N>
class NamedMembers {
 public:
  using Element = std::conditional_t<std::is_const<Message>::value, json::UnknownElement const,
                                     json::UnknownElement>;

  NamedMembers(Message& message, Names<N> const& names) noexcept
      : message_(message), names_(names) {
    // Messages mostly carry the names in the described order: the name after the last one found
    // is tried first, so that a member usually costs one comparison. A name is taken once (the
    // reader refuses duplicate names anyway).
    std::size_t next = 0;
    for (auto& member : message) {
      std::string_view const name(member.name);
      std::size_t i = next;
      for (std::size_t tried = 0; tried < N; ++tried, i = (i + 1 == N ? 0 : i + 1)) {
        if (found_[i] == nullptr && names[i] == name) {
          found_[i] = &member.element;
          next = i + 1 == N ? 0 : i + 1;
          break;
        }
      }
    }
  }

  // The element of names[i]; see above for a name the message lacks.
  Element& operator[](std::size_t i) const {
    return found_[i] != nullptr ? *found_[i] : message_[names_[i]];
  }

 private:
  Message& message_;
  Names<N> const& names_;
  std::array<Element*, N> found_{};
};

}  // namespace detail
}  // namespace stream_layout
}  // namespace nelko

#endif
