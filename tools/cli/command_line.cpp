#include "command_line.h"

#include <algorithm>
#include <climits>
#include <map>
#include <optional>

#include "cli_errors.h"
#include "layout.h"
#include "number_parsing.h"

namespace nelko::cli {
namespace {

struct CommandSyntax {
  char const* path;
  Command command;
  std::vector<char const*> positionals;  // names, as shown in messages
  std::vector<char const*> options;      // options of this command, each taking a value
};

// "layout render" takes STREAM or --from FILE; its check is in convert.
std::vector<CommandSyntax> const& commands() {
  static std::vector<CommandSyntax> const commands = {
      {"version", Command::kVersion, {}, {}},
      {"layout get", Command::kLayoutGet, {"STREAM"}, {}},
      {"layout set", Command::kLayoutSet, {"STREAM", "FILE"}, {}},
      {"layout render", Command::kLayoutRender, {"STREAM"}, {"--svg", "--from"}},
      {"roi count", Command::kRoiCount, {}, {}},
      {"roi get", Command::kRoiGet, {"INDEX"}, {"--set"}},
      {"roi set", Command::kRoiSet, {"INDEX"}, {"--set", "--pan", "--tilt", "--roll", "--vfov"}},
      {"point", Command::kPoint, {"STREAM", "X", "Y"}, {}},
  };
  return commands;
}

bool is_group(std::string const& word) {
  return word == "layout" || word == "roi";
}

// A word that starts like an option but reads as a negative number is an argument, so that
// "roi get -1" is told that -1 is negative rather than that it is an unknown option.
bool looks_like_option(std::string const& word) {
  if (word.size() < 2 || word[0] != '-') return false;
  return !(word[1] >= '0' && word[1] <= '9') && word[1] != '.';
}

struct Words {
  std::vector<std::string> positionals;
  std::map<std::string, std::string> options;  // value options, by name with dashes
  bool help = false;
};

Words split(std::vector<std::string> const& args, Invocation& invocation) {
  static std::vector<std::string> const value_options = {
      "--target", "--timeout", "--set", "--pan", "--tilt", "--roll", "--vfov", "--svg", "--from"};
  Words words;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string const& arg = args[i];
    if (options_ended || !looks_like_option(arg)) {
      words.positionals.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
    } else if (arg == "--help" || arg == "-h") {
      words.help = true;
    } else if (arg == "--json") {
      invocation.json = true;
    } else {
      std::string name = arg.substr(0, arg.find('='));
      if (name == "--json" || name == "--help")
        throw UsageError("option '" + shorten(name) + "' takes no value");
      if (std::find(value_options.begin(), value_options.end(), name) == value_options.end())
        throw UsageError("unknown option '" + shorten(name) + "'");
      std::string value;
      if (name.size() < arg.size()) {
        value = arg.substr(name.size() + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];  // taken as is, so "--pan -10" works
      } else {
        throw UsageError("option '" + name + "' needs a value");
      }
      if (!words.options.emplace(name, value).second)
        throw UsageError("option '" + name + "' given more than once");
    }
  }
  return words;
}

std::uint32_t parse_roi_set(std::string const& text) {
  if (text == "pending" || text == "0") return 0;
  if (text == "active" || text == "1") return 1;
  throw UsageError("--set: '" + shorten(text) + "' is not a ROI set (pending or active)");
}

std::optional<std::string> take(Words& words, char const* name) {
  auto found = words.options.find(name);
  if (found == words.options.end()) return std::nullopt;
  std::string value = found->second;
  words.options.erase(found);
  return value;
}

std::string require(Words& words, char const* name, std::string const& path) {
  std::optional<std::string> value = take(words, name);
  if (!value) throw UsageError(path + ": option '" + name + "' is required");
  return *value;
}

// Fills the command's values from its words; by now the count of positionals is right.
void convert(CommandSyntax const& syntax, Words& words, Invocation& invocation) {
  std::vector<std::string> const& p = words.positionals;
  constexpr double kExtent = kFullExtent;
  switch (syntax.command) {
    case Command::kLayoutGet:
      invocation.stream = parse_unsigned(p[0], "STREAM");
      break;
    case Command::kLayoutSet:
      invocation.stream = parse_unsigned(p[0], "STREAM");
      invocation.layout_file = p[1];
      break;
    case Command::kLayoutRender: {
      invocation.svg_file = require(words, "--svg", syntax.path);
      std::optional<std::string> from = take(words, "--from");
      if (from && !p.empty())
        throw UsageError("layout render: give either STREAM or --from FILE, not both");
      if (!from && p.empty()) throw UsageError("layout render: STREAM or --from FILE is missing");
      if (from)
        invocation.layout_file = *from;
      else
        invocation.stream = parse_unsigned(p[0], "STREAM");
      break;
    }
    case Command::kRoiGet:
      invocation.index = parse_unsigned(p[0], "INDEX");
      if (auto set = take(words, "--set")) invocation.roi_set = parse_roi_set(*set);
      break;
    case Command::kRoiSet:
      invocation.index = parse_unsigned(p[0], "INDEX");
      if (auto set = take(words, "--set")) invocation.roi_set = parse_roi_set(*set);
      invocation.pan = parse_any_real(require(words, "--pan", syntax.path), "--pan");
      invocation.tilt = parse_any_real(require(words, "--tilt", syntax.path), "--tilt");
      invocation.roll = parse_any_real(require(words, "--roll", syntax.path), "--roll");
      invocation.vfov = parse_any_real(require(words, "--vfov", syntax.path), "--vfov");
      break;
    case Command::kPoint:
      invocation.stream = parse_unsigned(p[0], "STREAM");
      invocation.x = parse_real_in_range(p[1], "X", 0, kExtent);
      invocation.y = parse_real_in_range(p[2], "Y", 0, kExtent);
      break;
    default:
      break;
  }
}

// Global option values, the number of arguments, the options that apply, then the values.
void check_and_convert(CommandSyntax const& syntax, Words& words, Invocation& invocation) {
  std::vector<std::string> const& p = words.positionals;
  if (auto target = take(words, "--target")) {
    if (target->empty()) throw UsageError("--target: the name is empty");
    // The name is the socket's file name in the IPC directory; the core refuses any other, and
    // the refusal's status would read as the target's.
    if (target->find('/') != std::string::npos || *target == "." || *target == "..") {
      throw UsageError("--target: '" + *target +
                       "' is not a target name (one path component: no '/', not . or ..)");
    }
    invocation.target = *target;
  }
  if (auto timeout = take(words, "--timeout"))
    invocation.timeout_ms = static_cast<int>(parse_unsigned(*timeout, "--timeout", INT_MAX));

  // "layout render" takes STREAM or --from FILE, which convert sorts out; every other command
  // has its positionals fixed.
  std::size_t wanted = syntax.positionals.size();
  bool optional_stream = syntax.command == Command::kLayoutRender;
  if (p.size() != wanted && !(optional_stream && p.empty())) {
    std::string names;
    for (char const* name : syntax.positionals) names += std::string(" ") + name;
    if (p.size() > wanted)
      throw UsageError(std::string(syntax.path) + ": unexpected argument '" + shorten(p[wanted]) +
                       "' (usage: " + std::string(syntax.path) + names + ")");
    throw UsageError(std::string(syntax.path) + ": " + syntax.positionals[p.size()] +
                     " is missing (usage: " + std::string(syntax.path) + names + ")");
  }
  for (auto const& option : words.options) {
    if (std::find(syntax.options.begin(), syntax.options.end(), option.first) == syntax.options.end())
      throw UsageError(std::string(syntax.path) + ": option '" + option.first +
                       "' does not apply here");
  }
  convert(syntax, words, invocation);
}

}  // namespace

Invocation parse_command_line(std::vector<std::string> const& args) {
  Invocation invocation;
  Words words = split(args, invocation);

  // The command path: one word, or a group and its member. "help TOPIC" is --help on TOPIC.
  std::vector<std::string>& p = words.positionals;
  if (!p.empty() && p[0] == "help") {
    p.erase(p.begin());
    words.help = true;
  }
  std::string path;
  std::size_t used = 0;
  if (!p.empty()) {
    path = p[0];
    used = 1;
    if (is_group(path) && p.size() > 1 && !words.help) {
      path += " " + p[1];
      used = 2;
    } else if (is_group(path) && p.size() > 1) {
      std::string member = path + " " + p[1];
      for (CommandSyntax const& syntax : commands())
        if (member == syntax.path) path = member;
    }
  }
  if (words.help) {
    invocation.command = Command::kHelp;
    invocation.help_topic = path;
    if (!path.empty() && help_text(path).empty())
      throw UsageError("no help on '" + shorten(path) + "': unknown command");
    return invocation;
  }
  if (path.empty()) throw UsageError("no command given");
  if (is_group(path)) throw UsageError("'" + path + "' needs a subcommand", path);

  auto syntax = std::find_if(commands().begin(), commands().end(),
                           [&](CommandSyntax const& candidate) { return path == candidate.path; });
  if (syntax == commands().end()) {
    std::string group = path.substr(0, path.find(' '));
    throw UsageError("unknown command '" + shorten(path) + "'", is_group(group) ? group : "");
  }
  invocation.command = syntax->command;
  p.erase(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(used));
  try {
    check_and_convert(*syntax, words, invocation);
  } catch (UsageError const& error) {
    throw UsageError(error.what(), syntax->path);
  }
  return invocation;
}

std::string roi_set_name(std::uint32_t roi_set) {
  if (roi_set == 0) return "pending";
  if (roi_set == 1) return "active";
  return std::to_string(roi_set);
}

}  // namespace nelko::cli
