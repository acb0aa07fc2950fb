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

namespace stream_layout_cli {
namespace {

void WriteFile(std::string const& path, std::string const& content) {
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
void PrintRemarks(Layout const& layout) {
  for (std::string const& remark : LayoutRemarks(layout))
    std::cerr << "stream-layout: note: " << remark << "\n";
}

std::string PlacementName(Layout const& layout, std::size_t index) {
  return "placement #" + std::to_string(index) + " (" +
         FacetLabel(layout.placements[index].facet) + ")";
}

std::string Coordinate(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

// A point the target refused (status 1): the layout says why, unless the stream itself is
// refused, in which case that is the reason.
[[noreturn]] void ExplainRefusedPoint(StreamLayoutClient& client, Invocation const& invocation,
                                      StatusError const& refusal) {
  std::string const status = " [status 1, NELKO_CORE_STATUS_INVALID_PARAMS]";
  Layout layout;
  try {
    layout = client.GetLayout(invocation.stream);
  } catch (StatusError const& error) {
    if (error.status() != NELKO_CORE_STATUS_INVALID_PARAMS) throw refusal;
    throw StatusError(refusal.status(), "point: target '" + invocation.target +
                                            "' has no stream " +
                                            std::to_string(invocation.stream) + status);
  }
  std::string const where = "point: (" + Coordinate(invocation.x) + ", " +
                            Coordinate(invocation.y) + ") of stream " +
                            std::to_string(invocation.stream);
  std::optional<std::size_t> const index = PlacementAt(layout, invocation.x, invocation.y);
  if (!index)
    throw StatusError(refusal.status(), where + " lies in no placement: nothing of the camera " +
                                            "is shown there (see \"layout get " +
                                            std::to_string(invocation.stream) + "\")" + status);
  std::uint32_t const facet = layout.placements[*index].facet;
  if (facet == kStreamLayoutFacetMetadata)
    throw StatusError(refusal.status(), where + " lies in " + PlacementName(layout, *index) +
                                            ", which holds metadata, not a view" + status);
  if (facet >= kStreamLayoutFacetImmersive0 && facet <= kStreamLayoutFacetImmersiveF)
    throw StatusError(refusal.status(), where + " lies in " + PlacementName(layout, *index) +
                                            " outside the lens's image circle" + status);
  throw refusal;
}

void Render(Invocation const& invocation) {
  Layout layout;
  std::string title;
  if (!invocation.layout_file.empty()) {
    layout = ReadLayoutFile(invocation.layout_file);
    title = "Layout file " +
            (invocation.layout_file == "-" ? "(standard input)" : invocation.layout_file);
  } else {
    StreamLayoutClient client(invocation.target, invocation.timeout_ms);
    layout = client.GetLayout(invocation.stream);
    title = "Layout of stream " + std::to_string(invocation.stream) + " (target " +
            invocation.target + ")";
  }
  PrintRemarks(layout);
  WriteFile(invocation.svg_file, RenderLayoutSvg(layout, title));
}

}  // namespace

void RunCommand(Invocation const& invocation, std::ostream& out) {
  bool json = invocation.json;
  switch (invocation.command) {
    case Command::kHelp:
      out << HelpText(invocation.help_topic);
      return;
    case Command::kLayoutRender:
      Render(invocation);
      return;
    case Command::kLayoutSet: {
      // Read and check the file before connecting, so that a bad file never reaches the target.
      Layout layout = ReadLayoutFile(invocation.layout_file);
      PrintRemarks(layout);
      StreamLayoutClient(invocation.target, invocation.timeout_ms)
          .SetLayout(invocation.stream, layout);
      out << FormatLayoutReplaced(invocation.stream, layout, json);
      return;
    }
    default:
      break;
  }
  StreamLayoutClient client(invocation.target, invocation.timeout_ms);
  switch (invocation.command) {
    case Command::kVersion:
      out << FormatVersions(client.GetVersions(), json);
      break;
    case Command::kLayoutGet:
      out << FormatLayout(client.GetLayout(invocation.stream), json);
      break;
    case Command::kRoiCount:
      out << FormatRoiCount(client.GetRoiCount(), json);
      break;
    case Command::kRoiGet:
      out << FormatRoi(invocation.index, invocation.roi_set,
                       client.GetRoi(invocation.index, invocation.roi_set), json);
      break;
    case Command::kRoiSet: {
      Roi roi{invocation.pan, invocation.tilt, invocation.roll, invocation.vfov};
      client.SetRoi(invocation.index, invocation.roi_set, roi);
      out << FormatRoi(invocation.index, invocation.roi_set, roi, json);
      break;
    }
    case Command::kPoint: {
      PanTilt direction;
      try {
        direction = client.PointToPanTilt(invocation.stream, invocation.x, invocation.y);
      } catch (StatusError const& error) {
        if (error.status() != NELKO_CORE_STATUS_INVALID_PARAMS) throw;
        ExplainRefusedPoint(client, invocation, error);
      }
      out << FormatPanTilt(invocation.stream, invocation.x, invocation.y, direction, json);
      break;
    }
    default:
      break;
  }
}

}  // namespace stream_layout_cli
