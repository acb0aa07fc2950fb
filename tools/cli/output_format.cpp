#include "output_format.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>

#include "command_line.h"
#include "facet_names.h"
#include "layout_file.h"
#include "layout_svg.h"

namespace nelko::cli {
namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// One JSON object on one line; `members` writes the members through the helpers below.
std::string json_object(std::function<void(JsonWriter&)> const& members) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  members(writer);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

void member(JsonWriter& writer, char const* name, std::uint32_t value) {
  writer.Key(name);
  writer.Uint(value);
}

void member(JsonWriter& writer, char const* name, std::string const& value) {
  writer.Key(name);
  writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

// JSON has no NaN or infinity, but a target may hold them as ROI values: they are written as
// the strings "NaN", "Infinity" and "-Infinity", which "roi set" takes back.
void member(JsonWriter& writer, char const* name, double value) {
  writer.Key(name);
  if (std::isfinite(value))
    writer.Double(value);
  else
    writer.String(std::isnan(value) ? "NaN" : value > 0 ? "Infinity" : "-Infinity");
}

// Shortest text that reads back as the same double for the usual values ("12.5", "-3", "0.1").
std::string real(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

// "x 0-50%          y 25-75%", padded to one width so that columns line up.
std::string ranges(Rect const& r) {
  auto range = [](std::uint32_t start, std::uint32_t length) {
    return percent_text(start) + "-" + percent_text(std::uint64_t{start} + length) + "%";
  };
  char text[96];
  std::snprintf(text, sizeof text, "x %-15s y %-15s", range(r.x, r.width).c_str(),
                range(r.y, r.height).c_str());
  return text;
}

}  // namespace

std::string format_versions(Versions const& v, bool json) {
  if (json) {
    return json_object([&](JsonWriter& w) {
      member(w, "target", v.target);
      member(w, "target_major", v.target_major);
      member(w, "target_minor", v.target_minor);
      member(w, "library_major", v.library_major);
      member(w, "library_minor", v.library_minor);
    });
  }
  std::string text = "target " + v.target + ": interface version " +
                     std::to_string(v.target_major) + "." + std::to_string(v.target_minor) +
                     "\nlibrary: interface version " + std::to_string(v.library_major) + "." +
                     std::to_string(v.library_minor) + "\n";
  if (v.target_major != v.library_major || v.target_minor != v.library_minor)
    text += "note: the versions differ\n";
  return text;
}

std::string format_layout(Layout const& layout, bool json) {
  if (json) return layout_to_json(layout);
  std::size_t count = layout.placements.size();
  std::string text = (layout.stream ? "stream " + std::to_string(*layout.stream) : "layout") +
                     ": " + std::to_string(count) + (count == 1 ? " placement" : " placements") +
                     (count == 0 ? "\n" : " (percent of the full width and height)\n");
  if (count == 0) return text;
  char line[256];
  std::snprintf(line, sizeof line, "  %3s  %-14s %-35s    %s\n", "#", "facet",
                "source (camera image)", "destination (stream)");
  text += line;
  for (std::size_t i = 0; i < count; ++i) {
    Placement const& p = layout.placements[i];
    std::snprintf(line, sizeof line, "  %3u  %-14s %s -> %s\n", static_cast<unsigned>(i),
                  facet_label(p.facet).c_str(), ranges(p.source).c_str(),
                  ranges(p.destination).c_str());
    text += line;
  }
  // The last column needs no padding.
  std::string trimmed;
  std::istringstream lines(text);
  for (std::string row; std::getline(lines, row);)
    trimmed += row.erase(row.find_last_not_of(' ') + 1) + "\n";
  return trimmed;
}

std::string format_layout_replaced(std::uint32_t stream, Layout const& layout, bool json) {
  auto count = static_cast<std::uint32_t>(layout.placements.size());
  if (json) {
    return json_object([&](JsonWriter& w) {
      member(w, "stream", stream);
      member(w, "placements", count);
    });
  }
  return "stream " + std::to_string(stream) + ": layout replaced (" + std::to_string(count) +
         (count == 1 ? " placement)\n" : " placements)\n");
}

std::string format_roi_count(std::uint32_t count, bool json) {
  if (json) return json_object([&](JsonWriter& w) { member(w, "count", count); });
  return std::to_string(count) + (count == 1 ? " ROI" : " ROIs") + " in each ROI set\n";
}

std::string format_roi(std::uint32_t index, std::uint32_t roi_set, Roi const& roi, bool json) {
  if (json) {
    return json_object([&](JsonWriter& w) {
      member(w, "index", index);
      member(w, "set", roi_set_name(roi_set));
      member(w, "pan", roi.pan);
      member(w, "tilt", roi.tilt);
      member(w, "roll", roi.roll);
      member(w, "vfov", roi.vfov);
    });
  }
  return "ROI " + std::to_string(index) + " (" + roi_set_name(roi_set) + "): pan " + real(roi.pan) +
         ", tilt " + real(roi.tilt) + ", roll " + real(roi.roll) + ", vfov " + real(roi.vfov) +
         "\n";
}

std::string format_pan_tilt(std::uint32_t stream, double x, double y, PanTilt const& result,
                            bool json) {
  if (json) {
    return json_object([&](JsonWriter& w) {
      member(w, "stream", stream);
      member(w, "x", x);
      member(w, "y", y);
      member(w, "pan", result.pan);
      member(w, "tilt", result.tilt);
    });
  }
  return "stream " + std::to_string(stream) + " point (" + real(x) + ", " + real(y) + "): pan " +
         real(result.pan) + ", tilt " + real(result.tilt) + "\n";
}

}  // namespace nelko::cli
