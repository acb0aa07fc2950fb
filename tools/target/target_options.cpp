#include "target_options.h"

#include <cctype>
#include <charconv>
#include <optional>
#include <string_view>

namespace nelko::target {
namespace {

constexpr unsigned int kMaxStreams = 1024;
constexpr unsigned int kMaxRois = 1024;
constexpr unsigned int kMaxDelayMs = 600000;
constexpr unsigned int kMaxVersionPart = 65535;
constexpr unsigned int kMaxStatus = 255;
constexpr unsigned int kMaxRequestNumber = 4000000000u;

std::optional<unsigned int> parse_unsigned(std::string_view text, unsigned int max) {
  unsigned int value = 0;
  auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

bool parse_version(std::string_view text, ServiceConfig& config) {
  auto const dot = text.find('.');
  if (dot == std::string_view::npos) return false;
  auto const major = parse_unsigned(text.substr(0, dot), kMaxVersionPart);
  auto const minor = parse_unsigned(text.substr(dot + 1), kMaxVersionPart);
  if (!major || !minor) return false;
  config.version_major = *major;
  config.version_minor = *minor;
  return true;
}

// "COMMAND=NUMBER" for --fail and --delay.
template <typename Number>
bool parse_command_entry(std::string_view text, unsigned int min, unsigned int max,
                         std::vector<std::pair<std::string, Number>>& entries) {
  auto const equals = text.find('=');
  if (equals == 0 || equals == std::string_view::npos) return false;
  // Command names are words ("Get_roi", "__get_target_version__").
  for (char c : text.substr(0, equals)) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  }
  auto const number = parse_unsigned(text.substr(equals + 1), max);
  if (!number || *number < min) return false;
  entries.emplace_back(std::string(text.substr(0, equals)), static_cast<Number>(*number));
  return true;
}

// Applies one option with its value; false when the value is not acceptable.
bool apply(std::string_view option, std::string_view value, TargetOptions& options) {
  if (option == "--fail") return parse_command_entry(value, 1, kMaxStatus, options.faults.fail);
  if (option == "--delay") {
    return parse_command_entry(value, 0, kMaxDelayMs, options.faults.delay);
  }
  if (option == "--drop-at") {
    auto const number = parse_unsigned(value, kMaxRequestNumber);
    if (!number || *number == 0) return false;
    options.faults.drop_at = *number;
    return true;
  }
  if (option == "--name") {
    if (value.empty() || value.find('/') != std::string_view::npos) return false;
    options.name = value;
    return true;
  }
  if (option == "--interface-version") return parse_version(value, options.service);
  unsigned int* target = nullptr;
  unsigned int max = 0;
  if (option == "--streams") {
    target = &options.service.streams;
    max = kMaxStreams;
  } else if (option == "--rois") {
    target = &options.service.rois;
    max = kMaxRois;
  } else if (option == "--delay-ms") {
    target = &options.delay_ms;
    max = kMaxDelayMs;
  }
  auto const number = parse_unsigned(value, max);
  if (!target || !number) return false;
  *target = *number;
  return true;
}

bool takes_value(std::string_view option) {
  return option == "--name" || option == "--interface-version" || option == "--streams" ||
         option == "--rois" || option == "--delay-ms" || option == "--fail" ||
         option == "--delay" || option == "--drop-at";
}

}  // namespace

ParsedCommandLine parse_command_line(int argc, char* const argv[]) {
  ParsedCommandLine parsed;
  auto const fail = [&parsed](std::string error) {
    parsed.action = ParsedCommandLine::Action::kUsageError;
    parsed.error = std::move(error);
    return parsed;
  };
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      parsed.action = ParsedCommandLine::Action::kHelp;
      return parsed;
    }
    if (argument == "--version") {
      parsed.action = ParsedCommandLine::Action::kVersion;
      return parsed;
    }
    if (argument == "--strict") {
      parsed.options.service.strict = true;
      continue;
    }
    if (argument == "--trace") {
      parsed.options.trace = true;
      continue;
    }
    // Both "--option value" and "--option=value".
    std::string_view option = argument, value;
    bool has_value = false;
    if (auto const equals = argument.find('='); equals != std::string_view::npos) {
      option = argument.substr(0, equals);
      value = argument.substr(equals + 1);
      has_value = true;
    }
    if (!takes_value(option)) return fail("unknown argument '" + std::string(argument) + "'");
    if (!has_value) {
      if (i + 1 == argc) return fail("option '" + std::string(option) + "' needs a value");
      value = argv[++i];
    }
    if (!apply(option, value, parsed.options)) {
      return fail("bad value '" + std::string(value) + "' for option '" + std::string(option) +
                  "'");
    }
  }
  return parsed;
}

std::string usage_text(std::string const& program) {
  return "usage: " + program +
         " [--name NAME] [--interface-version MAJOR.MINOR] [--streams N] [--rois N] [--delay-ms N]\n"
         "       [--fail COMMAND=STATUS]... [--delay COMMAND=MS]... [--drop-at N] [--strict]\n"
         "       [--trace]\n"
         "       " +
         program + " --help | --version\n";
}

std::string help_text(std::string const& program) {
  return usage_text(program) + R"(
A simulated stream_layout service (a camera model) for development and tests. It serves the
"stream_layout" interface over the core library's IPC in $NELKO_IPC_DIR, prints "ready" on
standard output once it accepts requests, and exits with status 0 on SIGTERM or SIGINT.

Options:
  --name NAME            target name to serve under (default stream_layout)
  --interface-version MAJOR.MINOR
                         version reported by "__get_target_version__" (default 0.9)
  --streams N            number of output streams, 0..1024 (default 4)
  --rois N               number of ROIs in each of the two sets, 0..1024 (default 4)
  --delay-ms N           answer every request N ms late, 0..600000 (default 0); responses keep
                         their order and requests keep being read meanwhile
  --help, -h             this text
  --version              the version of this program
A bad option prints the usage on standard error and exits with status 2; a name in use or an
unusable IPC directory prints why and exits with status 1.

For error handling (each off by default; --fail and --delay may be given for several commands):
  --fail COMMAND=STATUS  answer every COMMAND (its name as sent, e.g. Get_roi; a command
                         the service does not know is a usage error) with
                         {"status":STATUS}, 1..255, and leave the state alone
  --delay COMMAND=MS     answer every COMMAND MS ms late (0..600000), on top of --delay-ms;
                         other commands are answered meanwhile
  --drop-at N            when the N-th request arrives (counted from 1 over all connections),
                         close every connection without answering it and listen again at
                         once; the clients see their pending requests end with status 4
  --strict               refuse (status 1) ROI values that a camera refuses: pan and roll
                         outside -180..180, tilt outside -90..90, vfov outside 1..180, and
                         NaN or infinities anywhere. Without it every value is stored as sent.
  --trace                print every request and response on standard error, one line each:
                         "trace: #N <- REPLY_TO UUID PAYLOAD" and "trace: #N -> ...", and
                         "trace: #N dropped"; payloads longer than 2000 bytes are shortened

State:
  Each stream starts with one placement: the full frame (destination type 0) from source
  0,0,100000,100000 to destination 0,0,100000,100000 (millipercent). The ROI sets 0 (pending)
  and 1 (active) start with every pan, tilt, roll and vfov at 0.

Commands and responses (every response has "status"; results only with status 0):
  Get_stream_layout         stream_index -> the nine layout arrays
  Set_stream_layout         stream_index and the nine layout arrays -> nothing. The arrays must
                            have equal lengths of at most 1000 (0 is allowed: the stream shows
                            nothing) and hold whole numbers 0..100000, destination types 0..22
                            or 48..80. Empty rectangles and rectangles reaching past the edge
                            are accepted (they show nothing, or are cut at the edge).
  Set_roi                   roi_index, roi_set, pan, tilt, roll, vfov -> nothing; the four
                            values are stored exactly as sent (with --strict, within limits)
  Get_roi                   roi_index, roi_set -> pan, tilt, roll, vfov
  Get_num_roi               -> num (the --rois value)
  Stream_point_to_pan_tilt  stream_index, x, y (millipercent of the stream, 0..100000)
                            -> pan, tilt (degrees)
  __get_target_version__    -> target_major, target_minor
Statuses: 0 success; 1 invalid parameters (not a JSON object, a missing or mistyped member, an
index out of range, a refused layout, a point outside every placement or on a metadata
placement); 7 an internal failure (out of memory); 8 a missing or unknown "command".

Geometry of Stream_point_to_pan_tilt:
  The placement whose destination rectangle holds the point is used; where placements overlap,
  the last one wins (it is drawn on top). The point is carried to the same relative position in
  the placement's source rectangle, giving (u, v) in 0..1 across the facet's image (u to the
  right, v downwards; a source rectangle reaching past the image is cut at its edge). Then,
  with pan 0 straight ahead and positive to the right, tilt positive upwards:
  full frame (0)       the whole sphere, 360x180 equirectangular: pan = -180 + 360u,
                       tilt = 90 - 180v
  cube faces (1..6)    90-degree pinhole views: front pan 0, back 180, left -90, right +90,
                       up tilt +90, down tilt -90; the ray is centre + (2u-1) right + (1-2v) up,
                       pan = atan2(east, forward), tilt = asin(up). The top of the up face lies
                       towards the back, the top of the down face towards the front.
  grid XY (7..22)      the full frame as 4x4 cells of 90x45 degrees (value 7 + x + 4y):
                       pan = -180 + 90(x + u), tilt = 90 - 45(y + v)
  equirect h (48..63)  the full frame as 16 slices of 22.5 degrees of pan, each the whole
                       tilt range: pan = -180 + 22.5(h + u), tilt = 90 - 180v
  immersive h (64..79) an equidistant fisheye, 180-degree image circle inscribed in the facet,
                       axis at pan 22.5h, tilt 0; a point r from the centre (r = 1 on the
                       circle) lies r * 90 degrees off the axis towards the point; the
                       corners outside the circle are dark: status 1
  metadata (80)        no direction: status 1
  Straight up or down (tilt 90 or -90) the pan is 0.
)";
}

}  // namespace nelko::target
