// A stream layout as this tool handles it: one record per placement instead of the library's
// nine parallel lists.
#ifndef STREAM_LAYOUT_CLI_LAYOUT_H
#define STREAM_LAYOUT_CLI_LAYOUT_H

#include <cstdint>
#include <optional>
#include <vector>

namespace nelko::cli {

// 100000 millipercent is the full width or height.
constexpr std::uint32_t kFullExtent = 100000;

// A rectangle in millipercent of the full extent, from its upper-left corner.
struct Rect {
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The source rectangle of the camera image that is placed, as `facet`, into the destination
// rectangle of the stream.
struct Placement {
  std::uint32_t facet = 0;
  Rect source;
  Rect destination;
};

struct Layout {
  std::optional<std::uint32_t> stream;  // the stream it was read from, when known
  std::vector<Placement> placements;
};

inline bool operator==(Rect const& a, Rect const& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}
inline bool operator==(Placement const& a, Placement const& b) {
  return a.facet == b.facet && a.source == b.source && a.destination == b.destination;
}

}  // namespace nelko::cli

#endif
