#include "command_line.h"

#include <algorithm>
#include <climits>
#include <map>
#include <optional>

#include "cli_errors.h"
#include "layout.h"
#include "number_parsing.h"

namespace stream_layout_cli {
namespace {

struct CommandSyntax {
  char const* path;
  Command command;
  std::vector<char const*> positionals;  // names, as shown in messages
  std::vector<char const*> options;      // options of this command, each taking a value
};

// "layout render" takes STREAM or --from FILE; its check is in Convert.
std::vector<CommandSyntax> const& Commands() {
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

bool IsGroup(std::string const& word) {
  return word == "layout" || word == "roi";
}

// A word that starts like an option but reads as a negative number is an argument, so that
// "roi get -1" is told that -1 is negative rather than that it is an unknown option.
bool LooksLikeOption(std::string const& word) {
  if (word.size() < 2 || word[0] != '-') return false;
  return !(word[1] >= '0' && word[1] <= '9') && word[1] != '.';
}

struct Words {
  std::vector<std::string> positionals;
  std::map<std::string, std::string> options;  // value options, by name with dashes
  bool help = false;
};

Words Split(std::vector<std::string> const& args, Invocation& invocation) {
  static std::vector<std::string> const value_options = {
      "--target", "--timeout", "--set", "--pan", "--tilt", "--roll", "--vfov", "--svg", "--from"};
  Words words;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string const& arg = args[i];
    if (options_ended || !LooksLikeOption(arg)) {
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
        throw UsageError("option '" + Shorten(name) + "' takes no value");
      if (std::find(value_options.begin(), value_options.end(), name) == value_options.end())
        throw UsageError("unknown option '" + Shorten(name) + "'");
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

std::uint32_t ParseRoiSet(std::string const& text) {
  if (text == "pending" || text == "0") return 0;
  if (text == "active" || text == "1") return 1;
  throw UsageError("--set: '" + Shorten(text) + "' is not a ROI set (pending or active)");
}

std::optional<std::string> Take(Words& words, char const* name) {
  auto found = words.options.find(name);
  if (found == words.options.end()) return std::nullopt;
  std::string value = found->second;
  words.options.erase(found);
  return value;
}

std::string Require(Words& words, char const* name, std::string const& path) {
  std::optional<std::string> value = Take(words, name);
  if (!value) throw UsageError(path + ": option '" + name + "' is required");
  return *value;
}

// Fills the command's values from its words; by now the count of positionals is right.
void Convert(CommandSyntax const& syntax, Words& words, Invocation& invocation) {
  std::vector<std::string> const& p = words.positionals;
  constexpr double kExtent = kFullExtent;
  switch (syntax.command) {
    case Command::kLayoutGet:
      invocation.stream = ParseUnsigned(p[0], "STREAM");
      break;
    case Command::kLayoutSet:
      invocation.stream = ParseUnsigned(p[0], "STREAM");
      invocation.layout_file = p[1];
      break;
    case Command::kLayoutRender: {
      invocation.svg_file = Require(words, "--svg", syntax.path);
      std::optional<std::string> from = Take(words, "--from");
      if (from && !p.empty())
        throw UsageError("layout render: give either STREAM or --from FILE, not both");
      if (!from && p.empty()) throw UsageError("layout render: STREAM or --from FILE is missing");
      if (from)
        invocation.layout_file = *from;
      else
        invocation.stream = ParseUnsigned(p[0], "STREAM");
      break;
    }
    case Command::kRoiGet:
      invocation.index = ParseUnsigned(p[0], "INDEX");
      if (auto set = Take(words, "--set")) invocation.roi_set = ParseRoiSet(*set);
      break;
    case Command::kRoiSet:
      invocation.index = ParseUnsigned(p[0], "INDEX");
      if (auto set = Take(words, "--set")) invocation.roi_set = ParseRoiSet(*set);
      invocation.pan = ParseAnyReal(Require(words, "--pan", syntax.path), "--pan");
      invocation.tilt = ParseAnyReal(Require(words, "--tilt", syntax.path), "--tilt");
      invocation.roll = ParseAnyReal(Require(words, "--roll", syntax.path), "--roll");
      invocation.vfov = ParseAnyReal(Require(words, "--vfov", syntax.path), "--vfov");
      break;
    case Command::kPoint:
      invocation.stream = ParseUnsigned(p[0], "STREAM");
      invocation.x = ParseRealInRange(p[1], "X", 0, kExtent);
      invocation.y = ParseRealInRange(p[2], "Y", 0, kExtent);
      break;
    default:
      break;
  }
}

// Global option values, the number of arguments, the options that apply, then the values.
void CheckAndConvert(CommandSyntax const& syntax, Words& words, Invocation& invocation) {
  std::vector<std::string> const& p = words.positionals;
  if (auto target = Take(words, "--target")) {
    if (target->empty()) throw UsageError("--target: the name is empty");
    invocation.target = *target;
  }
  if (auto timeout = Take(words, "--timeout"))
    invocation.timeout_ms = static_cast<int>(ParseUnsigned(*timeout, "--timeout", INT_MAX));

  // "layout render" takes STREAM or --from FILE, which Convert sorts out; every other command
  // has its positionals fixed.
  std::size_t wanted = syntax.positionals.size();
  bool optional_stream = syntax.command == Command::kLayoutRender;
  if (p.size() != wanted && !(optional_stream && p.empty())) {
    std::string names;
    for (char const* name : syntax.positionals) names += std::string(" ") + name;
    if (p.size() > wanted)
      throw UsageError(std::string(syntax.path) + ": unexpected argument '" + Shorten(p[wanted]) +
                       "' (usage: " + std::string(syntax.path) + names + ")");
    throw UsageError(std::string(syntax.path) + ": " + syntax.positionals[p.size()] +
                     " is missing (usage: " + std::string(syntax.path) + names + ")");
  }
  for (auto const& option : words.options) {
    if (std::find(syntax.options.begin(), syntax.options.end(), option.first) == syntax.options.end())
      throw UsageError(std::string(syntax.path) + ": option '" + option.first +
                       "' does not apply here");
  }
  Convert(syntax, words, invocation);
}

}  // namespace

Invocation ParseCommandLine(std::vector<std::string> const& args) {
  Invocation invocation;
  Words words = Split(args, invocation);

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
    if (IsGroup(path) && p.size() > 1 && !words.help) {
      path += " " + p[1];
      used = 2;
    } else if (IsGroup(path) && p.size() > 1) {
      std::string member = path + " " + p[1];
      for (CommandSyntax const& syntax : Commands())
        if (member == syntax.path) path = member;
    }
  }
  if (words.help) {
    invocation.command = Command::kHelp;
    invocation.help_topic = path;
    if (!path.empty() && HelpText(path).empty())
      throw UsageError("no help on '" + Shorten(path) + "': unknown command");
    return invocation;
  }
  if (path.empty()) throw UsageError("no command given");
  if (IsGroup(path)) throw UsageError("'" + path + "' needs a subcommand", path);

  auto syntax = std::find_if(Commands().begin(), Commands().end(),
                           [&](CommandSyntax const& candidate) { return path == candidate.path; });
  if (syntax == Commands().end()) {
    std::string group = path.substr(0, path.find(' '));
    throw UsageError("unknown command '" + Shorten(path) + "'", IsGroup(group) ? group : "");
  }
  invocation.command = syntax->command;
  p.erase(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(used));
  try {
    CheckAndConvert(*syntax, words, invocation);
  } catch (UsageError const& error) {
    throw UsageError(error.what(), syntax->path);
  }
  return invocation;
}

std::string RoiSetName(std::uint32_t roi_set) {
  if (roi_set == 0) return "pending";
  if (roi_set == 1) return "active";
  return std::to_string(roi_set);
}

}  // namespace stream_layout_cli
