// What a layout does, read as the service reads it: which placement shows a point of the
// stream, and which rectangles show nothing or reach past the edge of their image.
#ifndef STREAM_LAYOUT_CLI_LAYOUT_GEOMETRY_H
#define STREAM_LAYOUT_CLI_LAYOUT_GEOMETRY_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "layout.h"

namespace nelko::cli {

// The placement whose destination rectangle holds the point (x, y) of the stream, edges
// included; where placements overlap the last one, drawn on top, wins. Placements with an
// empty destination show nothing and hold no point.
std::optional<std::size_t> placement_at(Layout const& layout, double x, double y);

// One line for each rectangle that is empty or reaches past the right or bottom edge (of the
// facet's image for a source, of the stream for a destination; the part beyond is cut off),
// e.g. "placements[2].source: x + width = 120000 reaches past the right edge (100000) and is
// cut there". A service accepts such layouts, so they are remarks, not errors.
std::vector<std::string> layout_remarks(Layout const& layout);

}  // namespace nelko::cli

#endif
