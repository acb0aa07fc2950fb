#include <map>
#include <string>

#include "command_line.h"

namespace nelko::cli {
namespace {

constexpr char kOverview[] =
    R"(Usage: stream-layout [--target NAME] [--timeout MS] [--json] COMMAND [ARGS...]

Talks to a stream_layout service: reads and replaces the layout of output streams, reads and
sets regions of interest (ROIs), converts points of a stream into pan and tilt, and draws
layouts as SVG pictures.

Commands:
  version                                 the target's interface version and this library's
  layout get STREAM                       the layout of output stream STREAM
  layout set STREAM FILE                  replace the layout of STREAM by a layout file
  layout render STREAM --svg FILE         draw the layout of STREAM as SVG
  layout render --from FILE --svg FILE    draw a layout file, without a target
  roi count                               the number of ROIs in each ROI set
  roi get INDEX [--set pending|active]    one ROI
  roi set INDEX --pan P --tilt T --roll R --vfov V [--set pending|active]
  point STREAM X Y                        the pan and tilt that point (X, Y) of STREAM shows

Options (also accepted after the command):
  --target NAME   the service instance to talk to (default: stream_layout)
  --timeout MS    how long to wait for each answer, in milliseconds (default: 5000); with 0 the
                  command is still sent and carried out, but its answer is rarely there yet
  --json          print the result as JSON; for "layout get" that is a layout file
  -h, --help      this text; "stream-layout COMMAND --help" describes one command
  --version       the version of this program

Coordinates: a layout places rectangles cut from facets (views of the camera's surroundings:
the full frame, cube faces, grid cells, slices, fisheye views) into a stream. A source
rectangle is in millipercent of its facet's image, a destination rectangle and a point in
millipercent of the stream (100000 = the whole width or height, x to the right, y down).
Indices (STREAM, INDEX) count from 0. Angles are in degrees: pan positive to the right, tilt
positive upwards. The layout file format: "stream-layout layout --help".

Environment: NELKO_IPC_DIR is the directory of the IPC sockets (default
$XDG_RUNTIME_DIR/nelko-ipc, else /tmp/nelko-ipc-UID); the target listens at DIR/NAME.

Exit status:
  0       success
  1       internal error (a bug in stream-layout)
  2       usage error: unknown command or option, wrong number of arguments, bad number
          or target name
  3       bad input file: missing, unreadable, not JSON, or not a valid layout
  4       the SVG file or standard output cannot be written
  11..20  the library or the target returned status 1..10 (exit status = 10 + status):
          11 invalid parameters (no such stream or ROI, a value refused, a point that no
          placement shows, or a socket path too long to send anything), 12 the IPC channel
          could not be opened (NELKO_IPC_DIR) or allocation failed, 14 IPC failed (no target
          listens at the socket, the connection was refused or closed, or no answer within
          the time-out: the message says which and names the socket),
          18 the target does not know the command, 19 remote function failure, 20 disabled target
  21      any other status from the library or the target
)";

constexpr char kLayoutFileFormat[] =
    R"(Layout file (JSON), as written by "layout get STREAM --json":
  {
    "stream": 0,
    "placements": [
      {"facet": "CubeFaceFront",
       "source":      {"x": 0, "y": 0, "width": 50000, "height": 50000},
       "destination": {"x": 0, "y": 0, "width": 50000, "height": 50000}}
    ]
  }
  - "stream" is optional and informative only; a bare array of placements is accepted too.
  - Each placement cuts the source rectangle out of the image of its "facet" and places it
    into the destination rectangle of the stream. Source rectangles are in millipercent of
    the facet's image (every facet has an image of its own), destinations of the stream.
    Where destinations overlap, the later placement is drawn on top.
  - "facet": FullFrame, CubeFaceFront|Back|Left|Right|Up|Down, GridXY00..GridXY33 (column,
    row), Equirect0..EquirectF, Immersive0..ImmersiveF or Metadata; the kStreamLayoutFacet
    prefix and any letter case are accepted, and so is the facet's number.
  - Rectangles: whole millipercent 0..100000. A rectangle that is empty (width or height 0)
    shows nothing, one that reaches past the right or bottom edge is cut there; both are
    accepted, as a target accepts them, with a note on standard error.
  - At most 1000 placements and 1 MiB; unknown or repeated members, and anything after the
    JSON (a NUL byte included), are errors.
)";

constexpr char kLayout[] = R"(Usage: stream-layout layout get STREAM [--json]
       stream-layout layout set STREAM FILE
       stream-layout layout render STREAM --svg FILE
       stream-layout layout render --from FILE --svg FILE

get     prints the placements of output stream STREAM; with --json, as a layout file that
        "layout set" accepts, so get and set round-trip.
set     checks the layout file FILE ("-" reads standard input) and makes it the layout of
        STREAM.
render  draws the layout of STREAM, or of a layout file (no target needed), as an SVG picture:
        the image of each facet on the left, the stream on the right, one colour per
        placement.
        FILE "-" writes the SVG to standard output.

)";

constexpr char kLayoutGet[] = R"(Usage: stream-layout layout get STREAM [--json]

Prints the layout of output stream STREAM (0, 1, ...): for each placement its index, its facet,
the source rectangle in the facet's image and the destination rectangle in the stream, in
percent. With --json the output is a layout file (see "stream-layout layout --help") that
"layout set" accepts.
)";

constexpr char kLayoutSet[] = R"(Usage: stream-layout layout set STREAM FILE

Replaces the layout of output stream STREAM by the placements of the layout file FILE ("-"
reads standard input). The file is checked first; nothing is sent when it is not valid (exit
status 3). The "stream" member of the file, if any, is ignored: STREAM decides.

)";

constexpr char kLayoutRender[] = R"(Usage: stream-layout layout render STREAM --svg FILE
       stream-layout layout render --from LAYOUT_FILE --svg FILE

Draws a layout as an SVG picture and writes it to FILE ("-": standard output): one frame per
facet with the source rectangles cut from its image, beside the stream with every destination
rectangle, each placement in its own colour and labelled "#index", with a legend in percent.
Parts cut off at an edge are drawn in red and listed under "Notes". With STREAM
the layout is read from the target; with --from it is read from a layout file, so that a
layout can be checked before "layout set" sends it.
)";

constexpr char kRoi[] = R"(Usage: stream-layout roi count
       stream-layout roi get INDEX [--set pending|active]
       stream-layout roi set INDEX --pan P --tilt T --roll R --vfov V [--set pending|active]

The target keeps two sets of regions of interest, "pending" and "active", with the same
number of ROIs each, indexed from 0. An ROI is a view: pan, tilt, roll and vertical field of
view (vfov), in degrees. The active set is what the camera uses; the pending set holds values
prepared for later. Setting a pending ROI does not change the active one. The simulated
target never moves pending values into the active set: values take effect when they are set
in the active set ("--set active"). --set chooses the set (default: pending; 0 and 1 are
accepted too).
)";

constexpr char kRoiCount[] = R"(Usage: stream-layout roi count [--json]

Prints the number of ROIs in each ROI set; valid indices are 0 to that number minus 1.
)";

constexpr char kRoiGet[] = R"(Usage: stream-layout roi get INDEX [--set pending|active] [--json]

Prints pan, tilt, roll and vfov of ROI INDEX of the pending (default) or active set.
)";

constexpr char kRoiSet[] =
    R"(Usage: stream-layout roi set INDEX --pan P --tilt T --roll R --vfov V [--set pending|active]

Sets ROI INDEX of the pending (default) or active set. All four values are required; they are
decimal numbers and may be negative ("--pan -10" or "--pan=-10"); "nan", "inf" and "-inf"
are taken too, as a target may hold them ("roi get --json" writes them as "NaN", "Infinity"
and "-Infinity", which are taken back). The target decides what is in range.
)";

constexpr char kVersion[] = R"(Usage: stream-layout version [--json]

Asks the target for its interface version and prints it with the version of this library.
A target whose version differs is reported, not refused.
)";

constexpr char kPoint[] = R"(Usage: stream-layout point STREAM X Y [--json]

Prints the pan and tilt that the point (X, Y) of output stream STREAM shows. X and Y are in
millipercent of the stream's width and height (0..100000, decimals allowed). A point that no
placement shows, that lies on a metadata placement or outside a fisheye's image circle has no
direction: the message says which (exit status 11).
)";

}  // namespace

std::string help_text(std::string const& topic) {
  static std::map<std::string, std::string> const texts = {
      {"", kOverview},
      {"version", kVersion},
      {"layout", std::string(kLayout) + kLayoutFileFormat},
      {"layout get", kLayoutGet},
      {"layout set", std::string(kLayoutSet) + kLayoutFileFormat},
      {"layout render", kLayoutRender},
      {"roi", kRoi},
      {"roi count", kRoiCount},
      {"roi get", kRoiGet},
      {"roi set", kRoiSet},
      {"point", kPoint},
  };
  auto found = texts.find(topic);
  return found == texts.end() ? std::string() : found->second;
}

}  // namespace nelko::cli
