// What the commands print: a text for people by default, one JSON object with --json. Each
// function returns the whole output, ending with a newline.
#ifndef STREAM_LAYOUT_CLI_OUTPUT_FORMAT_H
#define STREAM_LAYOUT_CLI_OUTPUT_FORMAT_H

#include <cstdint>
#include <string>

#include "layout.h"

namespace nelko::cli {

struct Versions {
  std::string target;
  std::uint32_t target_major = 0, target_minor = 0;
  std::uint32_t library_major = 0, library_minor = 0;
};

struct Roi {
  double pan = 0, tilt = 0, roll = 0, vfov = 0;
};

struct PanTilt {
  double pan = 0, tilt = 0;
};

std::string format_versions(Versions const& versions, bool json);
// With json a layout file (layout_file.h).
std::string format_layout(Layout const& layout, bool json);
std::string format_layout_replaced(std::uint32_t stream, Layout const& layout, bool json);
std::string format_roi_count(std::uint32_t count, bool json);
// For "roi get" and "roi set": the ROI's values after the command.
std::string format_roi(std::uint32_t index, std::uint32_t roi_set, Roi const& roi, bool json);
std::string format_pan_tilt(std::uint32_t stream, double x, double y, PanTilt const& result,
                            bool json);

}  // namespace nelko::cli

#endif
