// How the values of the stream_layout messages are read: every number travels as a double.
#ifndef NELKO_INITIATOR_STREAM_LAYOUT_VALUES_H
#define NELKO_INITIATOR_STREAM_LAYOUT_VALUES_H

#include <utility>

#include "json/elements.h"

namespace stream_layout {

// Truncates toward zero and clamps to 0..4294967295; NaN reads as 0.
inline unsigned int toUnsigned(double value) {
  if (!(value > 0.0)) return 0u;
  if (value >= 4294967295.0) return 4294967295u;
  return static_cast<unsigned int>(value);
}

// Lenient reading, used after a synchronous receive: a missing member, or one of another kind,
// is replaced in the response by a default of the wanted kind (0, an empty array) and read as
// such. Strict reading, used by completions: a missing member throws json::Exception "Object
// member not found: <name>", one of another kind "Bad cast". Both come from the DOM: the
// non-const access converts, the const access throws.
template <typename Kind>
Kind& lenient(json::Object& response, char const* name) {
  return response[name];
}
template <typename Kind>
Kind const& strict(json::Object const& response, char const* name) {
  return response[name];
}

}  // namespace stream_layout

#endif
