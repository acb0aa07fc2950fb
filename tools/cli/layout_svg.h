// Draws a stream layout as an SVG picture: the source image with every source rectangle on the
// left, the stream with every destination rectangle on the right, one colour per placement in
// both, each labelled "#index facet", and a legend that lists every placement in percent.
#ifndef STREAM_LAYOUT_CLI_LAYOUT_SVG_H
#define STREAM_LAYOUT_CLI_LAYOUT_SVG_H

#include <cstdint>
#include <string>

#include "layout.h"

namespace nelko::cli {

// The whole SVG document. `title` is the heading (any text; it is escaped).
std::string render_layout_svg(Layout const& layout, std::string const& title);

// Millipercent as percent with at most three decimals: 50000 -> "50", 33333 -> "33.333".
std::string percent_text(std::uint64_t millipercent);

}  // namespace nelko::cli

#endif
