// The command line of stream-layout:
//
//   stream-layout [--target NAME] [--timeout MS] [--json] COMMAND ARGS...
//
// parse_command_line turns it into an Invocation whose numbers are already checked, so that the
// commands only act. The global options may also follow the command.
#ifndef STREAM_LAYOUT_CLI_COMMAND_LINE_H
#define STREAM_LAYOUT_CLI_COMMAND_LINE_H

#include <cstdint>
#include <string>
#include <vector>

namespace nelko::cli {

enum class Command {
  kHelp,
  kVersion,
  kLayoutGet,
  kLayoutSet,
  kLayoutRender,
  kRoiCount,
  kRoiGet,
  kRoiSet,
  kPoint,
};

constexpr char kDefaultTarget[] = "stream_layout";
constexpr int kDefaultTimeoutMs = 5000;

struct Invocation {
  Command command = Command::kHelp;
  std::string help_topic;  // kHelp: "" for the overview, else "layout", "roi set", ...

  std::string target = kDefaultTarget;
  int timeout_ms = kDefaultTimeoutMs;
  bool json = false;

  std::uint32_t stream = 0;   // layout get/set/render, point
  std::uint32_t index = 0;    // roi get/set
  std::uint32_t roi_set = 0;  // a RoiSet value; pending unless --set says otherwise
  std::string layout_file;    // layout set FILE, layout render --from FILE
  std::string svg_file;       // layout render --svg FILE
  double pan = 0, tilt = 0, roll = 0, vfov = 0;  // roi set
  double x = 0, y = 0;                           // point, in millipercent
};

// Parses the arguments after the program name. Throws UsageError with a message naming the
// offending argument; help requests come back as Command::kHelp with their topic.
Invocation parse_command_line(std::vector<std::string> const& args);

// The help text of a topic ("" or a command path); ends with a newline.
std::string help_text(std::string const& topic);

// "pending" or "active" for a RoiSet value, else its number.
std::string roi_set_name(std::uint32_t roi_set);

}  // namespace nelko::cli

#endif
