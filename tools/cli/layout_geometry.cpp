#include "layout_geometry.h"

namespace nelko::cli {

std::optional<std::size_t> placement_at(Layout const& layout, double x, double y) {
  for (std::size_t i = layout.placements.size(); i-- > 0;) {
    Rect const& d = layout.placements[i].destination;
    if (d.width == 0 || d.height == 0) continue;
    // In double: x + width may pass 2^32 in no case (both are below 2^32), but stay exact.
    if (x >= d.x && x <= double(d.x) + d.width && y >= d.y && y <= double(d.y) + d.height)
      return i;
  }
  return std::nullopt;
}

std::vector<std::string> layout_remarks(Layout const& layout) {
  std::vector<std::string> remarks;
  auto check = [&remarks](Rect const& r, std::string const& path) {
    if (r.width == 0 || r.height == 0) {
      remarks.push_back(path + ": the rectangle is empty (width or height 0) and shows nothing");
      return;
    }
    std::uint64_t const right = std::uint64_t{r.x} + r.width;
    std::uint64_t const bottom = std::uint64_t{r.y} + r.height;
    if (right > kFullExtent)
      remarks.push_back(path + ": x + width = " + std::to_string(right) +
                        " reaches past the right edge (100000) and is cut there");
    if (bottom > kFullExtent)
      remarks.push_back(path + ": y + height = " + std::to_string(bottom) +
                        " reaches past the bottom edge (100000) and is cut there");
  };
  for (std::size_t i = 0; i < layout.placements.size(); ++i) {
    std::string const path = "placements[" + std::to_string(i) + "]";
    check(layout.placements[i].source, path + ".source");
    check(layout.placements[i].destination, path + ".destination");
  }
  return remarks;
}

}  // namespace nelko::cli
