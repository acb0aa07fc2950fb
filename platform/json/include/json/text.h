// json/text.h - reading JSON text into the document model of json/elements.h and writing it back.
//
// Reading is strict RFC 8259 with two extensions: NaN, Infinity and -Infinity (also Inf, -Inf)
// are numbers, so that what Write produces always reads back. Everything else is refused with a
// ParseException: trailing text (including NUL bytes), truncated text, invalid UTF-8, escapes of
// lone surrogates, duplicate member names, numbers beyond the double range, and texts that exceed
// the Limits. Every number becomes a Number (double), correctly rounded; integers beyond 2^53
// round like any decimal. Reading never modifies `out` unless it succeeds.
//
//   json::Object response;
//   json::Read(response, payload);        // throws json::ParseException
//
// Writing is compact (no spaces). A Number that holds an integer within +-2^53 is written without
// a fraction ("3"); other numbers in the shortest form that reads back to the same double;
// non-finite numbers as NaN, Infinity, -Infinity. Strings are escaped as JSON requires and must
// be valid UTF-8 (written unescaped); Write throws json::Exception for one that is not.
//
//   std::string text = json::Write(request);     // {"command":"Get_num_roi"}
//   json::Write(request, buffer);                // appends, reusing buffer's capacity
//
// All functions are reentrant and may run on several threads at once; nothing is shared between
// threads. Write reuses a writer that each thread keeps between its calls (freed when the thread
// ends).
#ifndef NELKO_JSON_TEXT_H
#define NELKO_JSON_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

#include "json/elements.h"

namespace json {

// Bounds on what a peer can make a reader do: a longer text is refused before it is parsed, a
// deeper nesting as soon as it is seen. Depth counts containers: "{}" has depth 1, "[{}]" 2.
// The parser recurses once per level, so keep max_depth at a few hundred at most.
struct Limits {
  std::size_t max_bytes = std::size_t(1) << 20;  // 1 MiB
  unsigned max_depth = 64;
};

// Replaces `out` with the value that `text` holds.
void Read(UnknownElement& out, std::string_view text, Limits const& limits = Limits());
// Same, and the value must be an object.
void Read(Object& out, std::string_view text, Limits const& limits = Limits());
// Read(out, text), using `text` as the reader's scratch space: strings and numbers are read
// where they stand instead of being copied out first (ASCII text; other text is read as Read
// reads it). Same results and exceptions; afterwards `text` holds unspecified bytes of the same
// length.
void ReadInPlace(Object& out, std::string& text, Limits const& limits = Limits());

std::string Write(UnknownElement const& element);
std::string Write(Object const& object);
// Append the text to `out`. On an exception `out` keeps its previous content.
void Write(UnknownElement const& element, std::string& out);
void Write(Object const& object, std::string& out);

}  // namespace json

#endif
