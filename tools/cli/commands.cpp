#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <nelko_api_stream_layout.h>

#include <iostream>

#include "cli_errors.h"
#include "facet_names.h"
#include "layout_file.h"
#include "layout_geometry.h"
#include "layout_svg.h"
#include "output_format.h"
#include "stream_layout_client.h"

namespace nelko::cli {
namespace {

void write_file(std::string const& path, std::string const& content) {
  if (path == "-") {
    std::fwrite(content.data(), 1, content.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
      throw OutputFileError("cannot write to standard output: " +
                            std::string(std::strerror(errno)));
    return;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw OutputFileError(path + ": cannot create: " + std::strerror(errno));
  bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  int saved_errno = errno;
  // fclose reports a full disk as well, so its result counts.
  bool closed = std::fclose(file) == 0;
  if (!written || !closed)
    throw OutputFileError(path + ": cannot write: " + std::strerror(written ? errno : saved_errno));
}

// Rectangles that show nothing or are cut, on standard error: worth knowing, not errors.
void print_remarks(Layout const& layout) {
  for (std::string const& remark : layout_remarks(layout))
    std::cerr << "stream-layout: note: " << remark << "\n";
}

std::string placement_name(Layout const& layout, std::size_t index) {
  return "placement #" + std::to_string(index) + " (" +
         facet_label(layout.placements[index].facet) + ")";
}

std::string coordinate(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

// A point the target refused (status 1): the layout says why, unless the stream itself is
// refused, in which case that is the reason.
[[noreturn]] void explain_refused_point(StreamLayoutClient& client, Invocation const& invocation,
                                        StatusError const& refusal) {
  std::string const status = " [status 1, NELKO_CORE_STATUS_INVALID_PARAMS]";
  Layout layout;
  try {
    layout = client.get_layout(invocation.stream);
  } catch (StatusError const& error) {
    if (error.status() != NELKO_CORE_STATUS_INVALID_PARAMS) throw refusal;
    throw StatusError(refusal.status(), "point: target '" + invocation.target +
                                            "' has no stream " +
                                            std::to_string(invocation.stream) + status);
  }
  std::string const where = "point: (" + coordinate(invocation.x) + ", " +
                            coordinate(invocation.y) + ") of stream " +
                            std::to_string(invocation.stream);
  std::optional<std::size_t> const index = placement_at(layout, invocation.x, invocation.y);
  if (!index)
    throw StatusError(refusal.status(), where + " lies in no placement: nothing of the camera " +
                                            "is shown there (see \"layout get " +
                                            std::to_string(invocation.stream) + "\")" + status);
  std::uint32_t const facet = layout.placements[*index].facet;
  if (facet == kStreamLayoutFacetMetadata)
    throw StatusError(refusal.status(), where + " lies in " + placement_name(layout, *index) +
                                            ", which holds metadata, not a view" + status);
  if (facet >= kStreamLayoutFacetImmersive0 && facet <= kStreamLayoutFacetImmersiveF)
    throw StatusError(refusal.status(), where + " lies in " + placement_name(layout, *index) +
                                            " outside the lens's image circle" + status);
  throw refusal;
}

void render(Invocation const& invocation) {
  Layout layout;
  std::string title;
  if (!invocation.layout_file.empty()) {
    layout = read_layout_file(invocation.layout_file);
    title = "Layout file " +
            (invocation.layout_file == "-" ? "(standard input)" : invocation.layout_file);
  } else {
    StreamLayoutClient client(invocation.target, invocation.timeout_ms);
    layout = client.get_layout(invocation.stream);
    title = "Layout of stream " + std::to_string(invocation.stream) + " (target " +
            invocation.target + ")";
  }
  print_remarks(layout);
  write_file(invocation.svg_file, render_layout_svg(layout, title));
}

}  // namespace

void run_command(Invocation const& invocation, std::ostream& out) {
  bool json = invocation.json;
  switch (invocation.command) {
    case Command::kHelp:
      out << help_text(invocation.help_topic);
      return;
    case Command::kLayoutRender:
      render(invocation);
      return;
    case Command::kLayoutSet: {
      // Read and check the file before connecting, so that a bad file never reaches the target.
      Layout layout = read_layout_file(invocation.layout_file);
      print_remarks(layout);
      StreamLayoutClient(invocation.target, invocation.timeout_ms)
          .set_layout(invocation.stream, layout);
      out << format_layout_replaced(invocation.stream, layout, json);
      return;
    }
    default:
      break;
  }
  StreamLayoutClient client(invocation.target, invocation.timeout_ms);
  switch (invocation.command) {
    case Command::kVersion:
      out << format_versions(client.get_versions(), json);
      break;
    case Command::kLayoutGet:
      out << format_layout(client.get_layout(invocation.stream), json);
      break;
    case Command::kRoiCount:
      out << format_roi_count(client.get_roi_count(), json);
      break;
    case Command::kRoiGet:
      out << format_roi(invocation.index, invocation.roi_set,
                        client.get_roi(invocation.index, invocation.roi_set), json);
      break;
    case Command::kRoiSet: {
      Roi roi{invocation.pan, invocation.tilt, invocation.roll, invocation.vfov};
      client.set_roi(invocation.index, invocation.roi_set, roi);
      out << format_roi(invocation.index, invocation.roi_set, roi, json);
      break;
    }
    case Command::kPoint: {
      PanTilt direction;
      try {
        direction = client.point_to_pan_tilt(invocation.stream, invocation.x, invocation.y);
      } catch (StatusError const& error) {
        if (error.status() != NELKO_CORE_STATUS_INVALID_PARAMS) throw;
        explain_refused_point(client, invocation, error);
      }
      out << format_pan_tilt(invocation.stream, invocation.x, invocation.y, direction, json);
      break;
    }
    default:
      break;
  }
}

}  // namespace nelko::cli
