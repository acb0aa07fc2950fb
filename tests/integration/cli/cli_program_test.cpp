// stream-layout as a user runs it: against stream-layout-target in a temporary NELKO_IPC_DIR,
// and without any target.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <memory>

#include "child_process.h"
#include "layout_file.h"
#ifdef STREAM_LAYOUT_TARGET
#endif

namespace {

using nelko::test::read_file;
using nelko::test::RunResult;
using nelko::test::ScratchDirectory;
using nelko::test::TargetProcess;
using stream_layout_cli::Layout;
using stream_layout_cli::LayoutToJson;
using stream_layout_cli::ParseLayoutText;

constexpr int kUsage = 2;
constexpr int kBadInputFile = 3;
constexpr int kCannotWrite = 4;
constexpr int kInvalidParams = 11;  // 10 + NELKO_CORE_STATUS_INVALID_PARAMS
constexpr int kIpcFailed = 14;      // 10 + NELKO_CORE_STATUS_IPC_FAILED

rapidjson::Document Json(std::string const& text) {
  rapidjson::Document document;
  document.Parse(text.c_str());
  EXPECT_FALSE(document.HasParseError()) << text;
  if (document.HasParseError()) document.SetObject();
  return document;
}

Layout ExampleLayout() {
  Layout layout;
  layout.placements = {
      {3, {0, 20000, 33333, 60000}, {0, 0, 33333, 66667}},
      {1, {33333, 20000, 33334, 60000}, {33333, 0, 33334, 66667}},
      {4, {66667, 20000, 33333, 60000}, {66667, 0, 33333, 66667}},
      {0, {0, 0, 100000, 100000}, {0, 66667, 100000, 33333}},
  };
  return layout;
}

class Program : public ::testing::Test {
 protected:
  RunResult Cli(std::vector<std::string> const& args, std::string const& input = "") {
    std::vector<std::string> command = nelko::test::built_program(STREAM_LAYOUT_PROGRAM);
    command.insert(command.end(), args.begin(), args.end());
    return nelko::test::run(command, ipc_dir(), input);
  }
  virtual std::string ipc_dir() const { return ipc_.path(); }

  ScratchDirectory ipc_;
  ScratchDirectory files_;
};

#ifdef STREAM_LAYOUT_TARGET
// A target that is running for each test of the fixture.
class WithTarget : public Program {
 protected:
  void SetUp() override { Start({}); }
  // Replaces the running target by one with these options; throws if it does not become ready.
  void Start(std::vector<std::string> const& args) {
    target_.reset();
    target_ = std::make_unique<TargetProcess>(args);
  }
  std::string ipc_dir() const override { return target_->ipc_dir(); }

  std::unique_ptr<TargetProcess> target_;
};
#else
class WithTarget : public Program {
 protected:
  void SetUp() override { GTEST_SKIP() << "stream-layout-target is not built"; }
  void Start(std::vector<std::string> const&) {}
};
#endif

TEST_F(WithTarget, VersionShowsTheTargetsAndTheLibrarys) {
  RunResult text = Cli({"version"});
  ASSERT_EQ(text.exit_status, 0) << text.err;
  EXPECT_NE(text.out.find("target stream_layout: interface version 0.9"), std::string::npos);
  EXPECT_EQ(text.out.find("differ"), std::string::npos);
  EXPECT_EQ(Json(Cli({"version", "--json"}).out)["target_minor"].GetUint(), 9u);

  Start({"--version", "1.2"});
  RunResult other = Cli({"version"});
  EXPECT_EQ(other.exit_status, 0) << other.err;  // reported, not refused
  EXPECT_NE(other.out.find("interface version 1.2"), std::string::npos);
  EXPECT_NE(other.out.find("note: the versions differ"), std::string::npos);
}

TEST_F(WithTarget, LayoutRoundTripsThroughSetGetAndRender) {
  RunResult initial = Cli({"layout", "get", "0", "--json"});
  ASSERT_EQ(initial.exit_status, 0) << initial.err;
  Layout full = ParseLayoutText(initial.out, "initial");
  ASSERT_EQ(full.placements.size(), 1u);

  std::string file = files_.write("example.json", LayoutToJson(ExampleLayout()));
  RunResult set = Cli({"layout", "set", "1", file});
  ASSERT_EQ(set.exit_status, 0) << set.err;
  EXPECT_EQ(set.out, "stream 1: layout replaced (4 placements)\n");

  RunResult got = Cli({"--json", "layout", "get", "1"});
  ASSERT_EQ(got.exit_status, 0) << got.err;
  Layout expected = ExampleLayout();
  expected.stream = 1;
  EXPECT_EQ(got.out, LayoutToJson(expected));

  // get --json output is itself a layout file: copy stream 1 to stream 2 through a pipe.
  RunResult copy = Cli({"layout", "set", "2", "-", "--json"}, got.out);
  ASSERT_EQ(copy.exit_status, 0) << copy.err;
  EXPECT_EQ(ParseLayoutText(Cli({"layout", "get", "2", "--json"}).out, "2").placements,
            expected.placements);

  std::string svg = files_.path() + "/stream1.svg";
  RunResult render = Cli({"layout", "render", "1", "--svg", svg});
  ASSERT_EQ(render.exit_status, 0) << render.err;
  EXPECT_NE(read_file(svg).find(">#1 CubeFaceFront</text>"), std::string::npos);
}

TEST_F(WithTarget, RoiCountGetAndSetInBothSets) {
  RunResult count = Cli({"roi", "count"});
  ASSERT_EQ(count.exit_status, 0) << count.err;
  EXPECT_EQ(count.out, "4 ROIs in each ROI set\n");
  EXPECT_EQ(Json(Cli({"roi", "count", "--json"}).out)["count"].GetUint(), 4u);

  RunResult set = Cli({"roi", "set", "2", "--set", "active", "--pan", "-10.5", "--tilt=5", "--roll",
                       "0.25", "--vfov", "60"});
  ASSERT_EQ(set.exit_status, 0) << set.err;
  EXPECT_EQ(set.out, "ROI 2 (active): pan -10.5, tilt 5, roll 0.25, vfov 60\n");

  rapidjson::Document active = Json(Cli({"roi", "get", "2", "--set", "active", "--json"}).out);
  EXPECT_STREQ(active["set"].GetString(), "active");
  EXPECT_DOUBLE_EQ(active["pan"].GetDouble(), -10.5);
  EXPECT_DOUBLE_EQ(active["vfov"].GetDouble(), 60);

  // The pending set is the default and is a set of its own.
  rapidjson::Document pending = Json(Cli({"roi", "get", "2", "--json"}).out);
  EXPECT_STREQ(pending["set"].GetString(), "pending");
  EXPECT_NE(pending["pan"].GetDouble(), -10.5);
}

TEST_F(WithTarget, PointGivesPanAndTilt) {
  RunResult text = Cli({"point", "0", "50000", "25000"});
  ASSERT_EQ(text.exit_status, 0) << text.err;
  EXPECT_EQ(text.out.rfind("stream 0 point (50000, 25000): pan ", 0), 0u) << text.out;

  rapidjson::Document json = Json(Cli({"point", "0", "50000", "25000", "--json"}).out);
  EXPECT_TRUE(json["pan"].IsNumber());
}

TEST_F(WithTarget, ValuesTheTargetRefusesExitWithItsStatus) {
  std::string file = files_.write("example.json", LayoutToJson(ExampleLayout()));
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"layout", "set", "99", file}, {"roi", "get", "4"}, {"point", "7", "0", "0"}}) {
    RunResult result = Cli(args);
    EXPECT_EQ(result.exit_status, kInvalidParams) << args[0] << " " << args[1] << result.err;
    EXPECT_NE(result.err.find("refused the values"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

// A bad file is refused before anything is sent: stream 0 keeps its layout. What is wrong with
// each is layout_file_test's business.
TEST_F(WithTarget, BadLayoutFilesAreRefusedAndNotSent) {
  std::string good = LayoutToJson(ExampleLayout());
  std::string before = Cli({"layout", "get", "0", "--json"}).out;
  for (std::string const& bad : {good.substr(0, good.size() - 10), std::string("[{\"facet\": 0}]")}) {
    std::string file = files_.write("bad.json", bad);
    RunResult result = Cli({"layout", "set", "0", file});
    EXPECT_EQ(result.exit_status, kBadInputFile) << bad << result.err;
    EXPECT_EQ(result.err.rfind("stream-layout: " + file, 0), 0u) << result.err;
  }
  RunResult missing = Cli({"layout", "set", "0", files_.path() + "/none.json"});
  EXPECT_EQ(missing.exit_status, kBadInputFile);
  EXPECT_NE(missing.err.find("No such file"), std::string::npos);
  EXPECT_EQ(Cli({"layout", "get", "0", "--json"}).out, before);
}

// Every request fails within its time-out, with status 4, when the target is slow. The bounds
// leave room for slow process starts (sanitizers, emulation) but not for the target's delay.
TEST_F(WithTarget, SlowTargetFailsWithinTheTimeout) {
  Start({"--delay-ms", "10000"});
  RunResult result = Cli({"--timeout", "300", "roi", "count"});
  EXPECT_EQ(result.exit_status, kIpcFailed) << result.err;
  EXPECT_LT(result.elapsed.count(), 6000);
  EXPECT_NE(
      result.err.find("target 'stream_layout' cannot be reached or did not answer within 300 ms"),
      std::string::npos)
      << result.err;
}

TEST_F(Program, NoTargetFailsWithinTheTimeoutForEveryCommand) {
  std::string file = files_.write("example.json", LayoutToJson(ExampleLayout()));
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"version"}, {"layout", "set", "0", file}}) {
    args.insert(args.begin(), {"--timeout", "500"});
    RunResult result = Cli(args);
    EXPECT_EQ(result.exit_status, kIpcFailed) << args[2] << result.err;
    EXPECT_LT(result.elapsed.count(), 6000) << args[2];
    EXPECT_NE(result.err.find("cannot be reached"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(Program, RendersALayoutFileWithoutATarget) {
  std::string layout = files_.write("example.json", LayoutToJson(ExampleLayout()));
  std::string svg = files_.path() + "/example.svg";
  RunResult result = Cli({"layout", "render", "--from", layout, "--svg", svg});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_NE(read_file(svg).find(">#3 FullFrame</text>"), std::string::npos);

  RunResult unwritable =
      Cli({"layout", "render", "--from", layout, "--svg", files_.path() + "/no/such/dir.svg"});
  EXPECT_EQ(unwritable.exit_status, kCannotWrite);
  EXPECT_NE(unwritable.err.find("cannot create"), std::string::npos);
}

TEST_F(Program, UsageErrorsAndHelp) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"layout", "get", "99999999999"}, {"roi", "set", "0", "--pan", "1"}}) {
    RunResult result = Cli(args);
    EXPECT_EQ(result.exit_status, kUsage) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("stream-layout: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("Try 'stream-layout "), std::string::npos) << result.err;
  }
  EXPECT_EQ(Cli({"--help"}).exit_status, 0);
}

}  // namespace
