#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli_errors.h"
#include "layout_file.h"
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
    case Command::kPoint:
      out << FormatPanTilt(invocation.stream, invocation.x, invocation.y,
                           client.PointToPanTilt(invocation.stream, invocation.x, invocation.y),
                           json);
      break;
    default:
      break;
  }
}

}  // namespace stream_layout_cli
