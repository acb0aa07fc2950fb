#include "command_line.h"

#include <gtest/gtest.h>

#include "cli_errors.h"
#include "exit_status.h"

namespace stream_layout_cli {
namespace {

Invocation Parse(std::vector<std::string> const& args) {
  return ParseCommandLine(args);
}

// The forms that are easy to get wrong; every command's plain form runs in cli_program_test.
TEST(CommandLine, ReadsTheLessObviousForms) {
  Invocation v = Parse({"layout", "render", "--from", "-", "--svg=out.svg"});
  EXPECT_EQ(v.command, Command::kLayoutRender);
  EXPECT_EQ(v.layout_file, "-");
  EXPECT_EQ(v.svg_file, "out.svg");

  v = Parse({"roi", "get", "4294967295", "--set", "active"});
  EXPECT_EQ(v.index, 4294967295u);
  EXPECT_EQ(v.roi_set, 1u);

  // Angles may be negative, as the next word or after '='.
  v = Parse({"roi", "set", "1", "--pan", "-10", "--tilt=-2.5", "--roll", "0", "--vfov", "1e1"});
  EXPECT_EQ(v.roi_set, 0u);
  EXPECT_DOUBLE_EQ(v.pan, -10);
  EXPECT_DOUBLE_EQ(v.tilt, -2.5);
  EXPECT_DOUBLE_EQ(v.vfov, 10);

  // Global options before or after the command.
  Invocation before = Parse({"--target", "cam1", "--timeout", "250", "--json", "roi", "count"});
  Invocation after = Parse({"roi", "count", "--json", "--timeout=250", "--target=cam1"});
  for (Invocation const& g : {before, after}) {
    EXPECT_EQ(g.target, "cam1");
    EXPECT_EQ(g.timeout_ms, 250);
    EXPECT_TRUE(g.json);
  }
}

TEST(CommandLine, HelpForTheOverviewAndEveryCommand) {
  EXPECT_EQ(Parse({"-h"}).command, Command::kHelp);
  EXPECT_EQ(Parse({"help", "roi", "set"}).help_topic, "roi set");
  EXPECT_EQ(Parse({"roi", "set", "--help"}).help_topic, "roi set");
  EXPECT_EQ(Parse({"layout", "nonsense", "--help"}).help_topic, "layout");
  for (char const* topic : {"", "version", "layout", "layout get", "layout set", "layout render",
                            "roi", "roi count", "roi get", "roi set", "point"}) {
    EXPECT_NE(HelpText(topic).find("Usage: stream-layout"), std::string::npos) << topic;
  }
  EXPECT_THROW(Parse({"help", "frobnicate"}), UsageError);
}

// Each bad command line is refused with a message that names what is wrong.
TEST(CommandLine, RefusesBadCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  std::vector<Case> const cases = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"layout"}, "'layout' needs a subcommand"},
      {{"layout", "delete", "0"}, "unknown command 'layout delete'"},
      {{"layout", "get"}, "STREAM is missing"},
      {{"layout", "get", "0", "1"}, "unexpected argument '1'"},
      {{"layout", "get", "-1"}, "negative"},
      {{"layout", "get", "abc"}, "not a whole number"},
      {{"layout", "get", "1.5"}, "not a whole number"},
      {{"layout", "get", "99999999999"}, "too large"},
      {{"layout", "get", "4294967296"}, "too large"},
      {{"layout", "get", ""}, "empty"},
      {{"layout", "get", " 1"}, "not a whole number"},
      {{"layout", "get", "+1"}, "not a whole number"},
      {{"layout", "set", "0"}, "FILE is missing"},
      {{"layout", "render", "0"}, "'--svg' is required"},
      {{"layout", "render", "--svg", "a.svg"}, "STREAM or --from FILE is missing"},
      {{"layout", "render", "0", "--from", "f", "--svg", "a.svg"}, "not both"},
      {{"layout", "get", "0", "--svg", "a.svg"}, "does not apply"},
      {{"roi", "get", "0", "--set", "future"}, "not a ROI set"},
      {{"roi", "set", "0", "--pan", "1", "--tilt", "1", "--roll", "1"}, "'--vfov' is required"},
      {{"roi", "set", "0", "--pan", "nan", "--tilt", "1", "--roll", "1", "--vfov", "1"}, "--pan"},
      {{"roi", "set", "0", "--pan", "inf", "--tilt", "1", "--roll", "1", "--vfov", "1"},
       "not a number"},
      {{"roi", "set", "0", "--pan", "1e999", "--tilt", "1", "--roll", "1", "--vfov", "1"},
       "out of range"},
      {{"roi", "set", "0", "--pan", "0x10", "--tilt", "1", "--roll", "1", "--vfov", "1"},
       "not a number"},
      {{"roi", "set", "0", "--pan", "1e", "--tilt", "1", "--roll", "1", "--vfov", "1"},
       "not a number"},
      {{"roi", "set", "0", "--pan", "1", "--pan", "2"}, "more than once"},
      {{"roi", "get"}, "INDEX is missing"},
      {{"point", "0", "1"}, "Y is missing"},
      {{"point", "0", "100001", "0"}, "out of range"},
      {{"point", "0", "-1", "0"}, "X: '-1' is out of range"},
      {{"point", "0", "1", "2", "3"}, "unexpected argument '3'"},
      {{"--timeout", "-5", "version"}, "negative"},
      {{"--timeout", "2147483648", "version"}, "too large"},
      {{"--timeout"}, "needs a value"},
      {{"--target", "", "version"}, "empty"},
      {{"--verbose", "version"}, "unknown option '--verbose'"},
      {{"--json=yes", "version"}, "'--json' takes no value"},
  };
  for (Case const& c : cases) {
    std::string joined;
    for (std::string const& arg : c.args) joined += " " + arg;
    try {
      Parse(c.args);
      ADD_FAILURE() << "accepted:" << joined;
    } catch (UsageError const& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
          << joined << " -> " << error.what();
    }
  }
}

TEST(CommandLine, UsageErrorsPointAtTheCommandsHelp) {
  auto topic = [](std::vector<std::string> const& args) {
    try {
      ParseCommandLine(args);
    } catch (UsageError const& error) {
      return error.topic();
    }
    return std::string("accepted");
  };
  EXPECT_EQ(topic({"roi", "set", "0"}), "roi set");
  EXPECT_EQ(topic({"layout", "bogus"}), "layout");
  EXPECT_EQ(topic({"bogus"}), "");
}

// Statuses past 10 must not wrap modulo 256 into another meaning, or into success.
TEST(ExitStatus, TenPlusTheDefinedStatusesOnly) {
  EXPECT_EQ(ExitStatusForCoreStatus(10), 20);
  EXPECT_EQ(ExitStatusForCoreStatus(11), kExitUnknownStatus);
  EXPECT_EQ(ExitStatusForCoreStatus(246), kExitUnknownStatus);
  EXPECT_EQ(ExitStatusForCoreStatus(4294967295u), kExitUnknownStatus);
}

}  // namespace
}  // namespace stream_layout_cli
