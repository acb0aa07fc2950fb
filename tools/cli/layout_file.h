// Layout files: a stream layout as JSON, written by `layout get --json` and read by `layout set`
// and `layout render --from`.
//
//   {
//     "stream": 0,
//     "placements": [
//       {"facet": "CubeFaceFront",
//        "source":      {"x": 0, "y": 0, "width": 50000, "height": 50000},
//        "destination": {"x": 0, "y": 0, "width": 50000, "height": 50000}}
//     ]
//   }
//
// "stream" is optional and only informative (layout set takes the stream from its command line).
// A bare array of placements is accepted as well. "facet" is a facet name (facet_names.h) or its
// number. Every rectangle value is a whole number of millipercent, 0..100000. Empty rectangles
// and ones that reach past the edge are read (a service holds them; layout_remarks names them).
// Members other than these are refused, so that a misspelt one is not silently ignored; so is
// anything after the JSON, a NUL byte included.
#ifndef STREAM_LAYOUT_CLI_LAYOUT_FILE_H
#define STREAM_LAYOUT_CLI_LAYOUT_FILE_H

#include <cstddef>
#include <string>

#include "layout.h"

namespace nelko::cli {

// Bounds that keep a stray or hostile file from costing much; far above any real layout.
constexpr std::size_t kMaxLayoutFileBytes = 1024 * 1024;
constexpr std::size_t kMaxPlacements = 1000;

// Parses and checks a layout file's text; `file_name` starts every error message. Throws
// InputFileError saying where and what is wrong.
Layout parse_layout_text(std::string const& text, std::string const& file_name);

// Reads and parses the file at `path` ("-" reads standard input). Throws InputFileError.
Layout read_layout_file(std::string const& path);

// The layout as a layout file, ending with a newline. parse_layout_text reads it back unchanged
// whenever every facet value is a facet and there are at most kMaxPlacements placements, as in
// every layout a service accepts.
std::string layout_to_json(Layout const& layout);

}  // namespace nelko::cli

#endif
