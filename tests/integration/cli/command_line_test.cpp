#include "command_line.h"

#include <gtest/gtest.h>

#include "cli_errors.h"
#include "exit_status.h"

namespace nelko::cli {
namespace {

// The forms that are easy to get wrong; every command's plain form runs in cli_program_test.
TEST(CommandLine, ReadsTheLessObviousForms) {
  Invocation v = parse_command_line({"layout", "render", "--from", "-", "--svg=out.svg"});
  EXPECT_EQ(v.command, Command::kLayoutRender);
  EXPECT_EQ(v.layout_file, "-");
  EXPECT_EQ(v.svg_file, "out.svg");

  // Angles may be negative, as the next word or after '='.
  v = parse_command_line(
      {"roi", "set", "1", "--pan", "-10", "--tilt=-2.5", "--roll", "0", "--vfov", "1e1"});
  EXPECT_DOUBLE_EQ(v.pan, -10);
  EXPECT_DOUBLE_EQ(v.tilt, -2.5);

  // Global options before or after the command.
  Invocation before =
      parse_command_line({"--target", "cam1", "--timeout", "250", "--json", "roi", "count"});
  Invocation after =
      parse_command_line({"roi", "count", "--json", "--timeout=250", "--target=cam1"});
  for (Invocation const& g : {before, after}) {
    EXPECT_EQ(g.target, "cam1");
    EXPECT_EQ(g.timeout_ms, 250);
    EXPECT_TRUE(g.json);
  }
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
      {{"layout", "get"}, "STREAM is missing"},
      {{"layout", "get", "4294967296"}, "too large"},
      {{"layout", "render", "0"}, "'--svg' is required"},
      {{"layout", "render", "0", "--from", "f", "--svg", "a.svg"}, "not both"},
      {{"roi", "set", "0", "--pan", "1", "--pan", "2"}, "more than once"},
      {{"--verbose", "version"}, "unknown option '--verbose'"},
      {{"roi", "set", "0", "--pan", "0x10", "--tilt", "1", "--roll", "1", "--vfov", "1"},
       "not a number"},
  };
  for (Case const& c : cases) {
    std::string joined;
    for (std::string const& arg : c.args) joined += " " + arg;
    try {
      parse_command_line(c.args);
      ADD_FAILURE() << "accepted:" << joined;
    } catch (UsageError const& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
          << joined << " -> " << error.what();
    }
  }
}

// Statuses past 10 must not wrap modulo 256 into another meaning, or into success.
TEST(ExitStatus, TenPlusTheDefinedStatusesOnly) {
  EXPECT_EQ(exit_status_for_core_status(10), 20);
  EXPECT_EQ(exit_status_for_core_status(11), kExitUnknownStatus);
  EXPECT_EQ(exit_status_for_core_status(246), kExitUnknownStatus);
  EXPECT_EQ(exit_status_for_core_status(4294967295u), kExitUnknownStatus);
}

}  // namespace
}  // namespace nelko::cli
