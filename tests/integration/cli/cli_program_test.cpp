// stream-layout as a user runs it: against stream-layout-target in a temporary NELKO_IPC_DIR,
// and without any target.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "layout_file.h"

namespace {

using nelko::cli::Layout;
using nelko::cli::layout_to_json;
using nelko::cli::parse_layout_text;
using nelko::test::read_file;
using nelko::test::RunResult;
using nelko::test::ScratchDirectory;
using nelko::test::TargetProcess;

constexpr int kUsage = 2;
constexpr int kBadInputFile = 3;
constexpr int kCannotWrite = 4;
constexpr int kInvalidParams = 11;  // 10 + NELKO_CORE_STATUS_INVALID_PARAMS
constexpr int kIpcFailed = 14;      // 10 + NELKO_CORE_STATUS_IPC_FAILED

rapidjson::Document parse_json(std::string const& text) {
  rapidjson::Document document;
  document.Parse(text.c_str());
  EXPECT_FALSE(document.HasParseError()) << text;
  if (document.HasParseError()) document.SetObject();
  return document;
}

Layout example_layout() {
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
  RunResult cli(std::vector<std::string> const& args, std::string const& input = "") {
    std::vector<std::string> command = nelko::test::built_program(STREAM_LAYOUT_PROGRAM);
    command.insert(command.end(), args.begin(), args.end());
    return nelko::test::run(command, ipc_dir(), input);
  }
  // cli() that must exit with 0.
  RunResult ok(std::vector<std::string> const& args, std::string const& input = "") {
    RunResult result = cli(args, input);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return result;
  }
  virtual std::string ipc_dir() const { return ipc_.path(); }

  ScratchDirectory ipc_;
  ScratchDirectory files_;
};

#ifdef STREAM_LAYOUT_TARGET
// A target that is running for each test of the fixture.
class WithTarget : public Program {
 protected:
  void SetUp() override { start({}); }
  // Replaces the running target by one with these options; throws if it does not become ready.
  void start(std::vector<std::string> const& args) {
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
  void start(std::vector<std::string> const&) {}
};
#endif

TEST_F(WithTarget, VersionShowsTheTargetsAndTheLibrarys) {
  RunResult text = ok({"version"});
  EXPECT_NE(text.out.find("target stream_layout: interface version 0.9"), std::string::npos);
  EXPECT_EQ(text.out.find("differ"), std::string::npos);
  EXPECT_EQ(parse_json(cli({"version", "--json"}).out)["target_minor"].GetUint(), 9u);

  start({"--interface-version", "1.2"});
  RunResult other = ok({"version"});  // reported, not refused
  EXPECT_NE(other.out.find("interface version 1.2"), std::string::npos);
  EXPECT_NE(other.out.find("note: the versions differ"), std::string::npos);
}

TEST_F(WithTarget, LayoutRoundTripsThroughSetGetAndRender) {
  RunResult initial = ok({"layout", "get", "0", "--json"});
  Layout full = parse_layout_text(initial.out, "initial");
  ASSERT_EQ(full.placements.size(), 1u);

  std::string file = files_.write("example.json", layout_to_json(example_layout()));
  RunResult set = ok({"layout", "set", "1", file});
  EXPECT_EQ(set.out, "stream 1: layout replaced (4 placements)\n");

  RunResult got = ok({"--json", "layout", "get", "1"});
  Layout expected = example_layout();
  expected.stream = 1;
  EXPECT_EQ(got.out, layout_to_json(expected));

  // get --json output is itself a layout file: copy stream 1 to stream 2 through a pipe.
  ok({"layout", "set", "2", "-", "--json"}, got.out);
  EXPECT_EQ(parse_layout_text(cli({"layout", "get", "2", "--json"}).out, "2").placements,
            expected.placements);

  std::string svg = files_.path() + "/stream1.svg";
  ok({"layout", "render", "1", "--svg", svg});
  EXPECT_NE(read_file(svg).find(">#1 CubeFaceFront</text>"), std::string::npos);
}

// The README's picture is drawn from docs/layout-example.json: the middle of each face's
// destination shows the middle of that face, and the corners are the faces' corners.
TEST_F(WithTarget, PointAgreesWithTheDocumentedPicture) {
  ok({"layout", "set", "0", DOCS_LAYOUT_EXAMPLE});
  struct Case {
    char const* x;
    char const* y;
    double pan, tilt;
  };
  Case const cases[] = {{"16666.5", "33333.5", -90, 0},     {"50000", "33333.5", 0, 0},
                        {"83333.5", "33333.5", 90, 0},      {"50000", "83333.5", 0, 0},
                        {"0", "0", -135, 35.264389682754654}, {"0", "100000", -180, -45}};
  for (Case const& c : cases) {
    RunResult result = ok({"point", "0", c.x, c.y, "--json"});
    rapidjson::Document json = parse_json(result.out);
    EXPECT_NEAR(json["pan"].GetDouble(), c.pan, 1e-6) << c.x << ", " << c.y;
    EXPECT_NEAR(json["tilt"].GetDouble(), c.tilt, 1e-6) << c.x << ", " << c.y;
  }
  RunResult const text = cli({"point", "0", "83333.5", "33333.5"});
  EXPECT_EQ(text.out.rfind("stream 0 point (83333.5, 33333.5): pan 90, tilt ", 0), 0u) << text.out;
}

// The C program of the README, built from README.md as printed, does what it says.
TEST_F(WithTarget, TheReadmeProgramRuns) {
  RunResult result = nelko::test::run(nelko::test::built_program(README_SNIPPET), ipc_dir());
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "4 ROIs in each set\n");
}

TEST_F(WithTarget, RoiCountGetAndSetInBothSets) {
  RunResult count = ok({"roi", "count"});
  EXPECT_EQ(count.out, "4 ROIs in each ROI set\n");
  EXPECT_EQ(parse_json(cli({"roi", "count", "--json"}).out)["count"].GetUint(), 4u);

  RunResult set = ok({"roi", "set", "2", "--set", "active", "--pan", "-10.5", "--tilt=5", "--roll",
                      "0.2512345678", "--vfov", "60"});
  EXPECT_EQ(set.out, "ROI 2 (active): pan -10.5, tilt 5, roll 0.2512345678, vfov 60\n");

  rapidjson::Document active =
      parse_json(cli({"roi", "get", "2", "--set", "active", "--json"}).out);
  EXPECT_STREQ(active["set"].GetString(), "active");
  EXPECT_DOUBLE_EQ(active["pan"].GetDouble(), -10.5);
  EXPECT_DOUBLE_EQ(active["vfov"].GetDouble(), 60);

  // The pending set is the default and is a set of its own.
  rapidjson::Document pending = parse_json(cli({"roi", "get", "2", "--json"}).out);
  EXPECT_STREQ(pending["set"].GetString(), "pending");
  EXPECT_NE(pending["pan"].GetDouble(), -10.5);
}

TEST_F(WithTarget, RefusalsSayWhatWasRefusedAndWhy) {
  std::string file = files_.write("example.json", layout_to_json(example_layout()));
  // Stream 1: ImmersiveF (79) on the left half, Metadata (80) at the top right, nothing below it.
  Layout sparse;
  sparse.placements = {{79, {0, 0, 100000, 100000}, {0, 0, 50000, 100000}},
                       {80, {0, 0, 100000, 100000}, {50000, 0, 50000, 50000}}};
  ok({"layout", "set", "1", files_.write("sparse.json", layout_to_json(sparse))});
  std::pair<std::vector<std::string>, std::string> const cases[] = {
      {{"layout", "set", "99", file}, "layout set 99: target 'stream_layout' refused the request"},
      {{"roi", "get", "4"}, "roi get 4: target 'stream_layout' refused the request"},
      {{"point", "7", "0", "0"}, "point: target 'stream_layout' has no stream 7"},
      {{"point", "1", "0", "0"}, "(0, 0) of stream 1 lies in placement #0 (ImmersiveF) outside"},
      {{"point", "1", "75000", "0"}, "lies in placement #1 (Metadata), which holds metadata"},
      {{"point", "1", "75000", "75000"}, "(75000, 75000) of stream 1 lies in no placement"},
  };
  for (auto const& [args, message] : cases) {
    RunResult result = cli(args);
    EXPECT_EQ(result.exit_status, kInvalidParams) << args[0] << " " << args[1] << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
  ok({"point", "1", "25000", "50000"});  // the lens's axis
}

// What the service holds comes back through the program: rectangles past the edge and empty
// ones (with a note), NaN and infinities as ROI values.
TEST_F(WithTarget, WhatTheServiceHoldsRoundTrips) {
  Layout odd;
  odd.placements = {{0, {60000, 0, 50000, 100000}, {0, 0, 0, 100000}},
                    {48, {0, 0, 100000, 100000}, {50000, 50000, 100000, 1}}};
  RunResult set = ok({"layout", "set", "3", files_.write("odd.json", layout_to_json(odd))});
  EXPECT_NE(set.err.find("note: placements[0].destination: the rectangle is empty"),
            std::string::npos)
      << set.err;
  RunResult got = cli({"layout", "get", "3", "--json"});
  ok({"layout", "set", "2", "-"}, got.out);
  EXPECT_EQ(parse_layout_text(cli({"layout", "get", "2", "--json"}).out, "2").placements,
            odd.placements);

  ok({"roi", "set", "1", "--pan", "nan", "--tilt", "inf", "--roll", "-Infinity", "--vfov", "60"});
  rapidjson::Document roi = parse_json(cli({"roi", "get", "1", "--json"}).out);
  EXPECT_STREQ(roi["pan"].GetString(), "NaN");
  EXPECT_STREQ(roi["tilt"].GetString(), "Infinity");
  EXPECT_STREQ(roi["roll"].GetString(), "-Infinity");
  RunResult back = cli({"roi", "set", "2", "--pan", roi["pan"].GetString(), "--tilt",
                        roi["tilt"].GetString(), "--roll", roi["roll"].GetString(), "--vfov", "60"});
  EXPECT_EQ(back.out, "ROI 2 (pending): pan nan, tilt inf, roll -inf, vfov 60\n") << back.err;
}

// Every exit status the help documents (1 is a bug and has no case), each with its message;
// statuses 11..21 come from the simulator's --fail, and one past 255 must not wrap to success. A
// bad command line or layout file is refused before anything is sent: stream 0 keeps its layout.
// What is wrong with each file is the LayoutFile cases' business.
TEST_F(WithTarget, EveryDocumentedExitStatus) {
  std::string const before = cli({"layout", "get", "0", "--json"}).out;
  ok({"--help"});
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{},
                                             {"roi", "cont"},
                                             {"layout", "get", "99999999999"},
                                             {"roi", "set", "0", "--pan", "1"}}) {
    RunResult result = cli(args);
    EXPECT_EQ(result.exit_status, kUsage) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("stream-layout: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("Try 'stream-layout "), std::string::npos) << result.err;
  }
  std::string const good = layout_to_json(example_layout());
  for (std::string const& bad :
       {good.substr(0, good.size() - 10), std::string("[{\"facet\": 0}]")}) {
    std::string file = files_.write("bad.json", bad);
    RunResult result = cli({"layout", "set", "0", file});
    EXPECT_EQ(result.exit_status, kBadInputFile) << bad << result.err;
    EXPECT_EQ(result.err.rfind("stream-layout: " + file, 0), 0u) << result.err;
  }
  RunResult missing = cli({"layout", "set", "0", files_.path() + "/none.json"});
  EXPECT_EQ(missing.exit_status, kBadInputFile);
  EXPECT_NE(missing.err.find("No such file"), std::string::npos);
  EXPECT_EQ(cli({"layout", "get", "0", "--json"}).out, before);

  std::vector<std::string> full = {"/bin/sh", "-c", "exec \"$@\" --help >/dev/full", "sh"};
  for (std::string const& word : nelko::test::built_program(STREAM_LAYOUT_PROGRAM))
    full.push_back(word);
  RunResult unwritable = nelko::test::run(full, ipc_dir());
  EXPECT_EQ(unwritable.exit_status, kCannotWrite) << unwritable.err;
  EXPECT_NE(unwritable.err.find("cannot write to standard output"), std::string::npos);
  for (int status : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 246}) {
    start({"--fail", "Get_num_roi=" + std::to_string(status)});
    RunResult result = cli({"roi", "count"});
    EXPECT_EQ(result.exit_status, status <= 10 ? 10 + status : 21) << status << result.err;
    EXPECT_NE(result.err.find("[status " + std::to_string(status)), std::string::npos)
        << result.err;
  }
}

#if defined(STREAM_LAYOUT_TARGET)
// The command that runs a built program, as one line for the shell: a cross build's emulator
// comes first (no word of it has a space).
std::string shell_command(std::string const& program) {
  std::string line;
  for (std::string const& word : nelko::test::built_program(program))
    line += (line.empty() ? "" : " ") + word;
  return line;
}

// The simulator's --trace shows each request and its response, numbered, on standard error.
TEST_F(Program, TheTargetTracesEveryRequestAndResponse) {
  char const* script =
      "$1 --trace --fail Get_roi=9 >\"$3/out\" 2>\"$3/trace\" & pid=$!\n"
      "for i in $(seq 400); do grep -q ready \"$3/out\" && break; sleep 0.05; done\n"
      "$2 roi count >/dev/null; $2 roi get 0 >/dev/null 2>&1\n"
      "kill $pid; wait $pid; cat \"$3/trace\"\n";
  RunResult result = nelko::test::run({"/bin/sh", "-c", script, "sh",
                                       shell_command(STREAM_LAYOUT_TARGET),
                                       shell_command(STREAM_LAYOUT_PROGRAM), files_.path()},
                                      ipc_dir());
  ASSERT_EQ(result.exit_status, 0) << result.err;
  std::istringstream lines(result.out);
  std::vector<std::string> trace;
  for (std::string line; std::getline(lines, line);) trace.push_back(line);
  ASSERT_EQ(trace.size(), 4u) << result.out;
  EXPECT_EQ(trace[0].rfind("trace: #1 <- stream-layout#1 ", 0), 0u) << trace[0];
  EXPECT_NE(trace[0].find(R"( {"command":"Get_num_roi"})"), std::string::npos) << trace[0];
  EXPECT_NE(trace[1].find(R"( {"status":0,"num":4})"), std::string::npos) << trace[1];
  EXPECT_EQ(trace[2].rfind("trace: #2 <- ", 0), 0u) << trace[2];
  EXPECT_EQ(trace[3].rfind("trace: #2 -> ", 0), 0u) << trace[3];
  EXPECT_NE(trace[3].find(R"( {"status":9})"), std::string::npos) << trace[3];
}
#endif

// A request that gets no answer fails with 4 at once, or within its time-out, saying why: no
// target listens (nothing was sent), the target is slow, or it drops the connection. The bounds
// leave room for slow process starts (sanitizers, emulation) but not for the target's delay.
TEST_F(WithTarget, IpcFailuresSayWhatHappened) {
  std::string file = files_.write("example.json", layout_to_json(example_layout()));
  struct Case {
    std::vector<std::string> target;
    std::vector<std::string> args;
    std::string message;  // before and after the socket's path
    std::string after;
  };
  std::string const nobody = "nothing was sent: no target listens at ";
  Case const cases[] = {
      {{"--name", "elsewhere"}, {"--timeout", "500", "version"}, nobody, ""},
      {{"--name", "elsewhere"}, {"--timeout", "500", "layout", "set", "0", file}, nobody, ""},
      {{"--delay-ms", "10000"},
       {"--timeout", "300", "roi", "count"},
       "target 'stream_layout' did not answer within 300 ms (socket ",
       ")"},
      {{"--drop-at", "1"},
       {"--timeout", "20000", "roi", "count"},
       "the connection to target 'stream_layout' at ",
       " was refused or closed before an answer came"},
  };
  for (Case const& c : cases) {
    start(c.target);
    std::string const message = c.message + ipc_dir() + "/stream_layout" + c.after;
    RunResult result = cli(c.args);
    EXPECT_EQ(result.exit_status, kIpcFailed) << message << result.err;
    EXPECT_LT(result.elapsed.count(), 6000) << message;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
  // The dropping target listens again within moments.
  int again = -1;
  for (int attempt = 0; attempt < 50 && again != 0; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    again = cli({"roi", "count"}).exit_status;
  }
  EXPECT_EQ(again, 0);
}

TEST_F(Program, RendersALayoutFileWithoutATarget) {
  std::string layout = files_.write("example.json", layout_to_json(example_layout()));
  std::string svg = files_.path() + "/example.svg";
  RunResult result = ok({"layout", "render", "--from", layout, "--svg", svg});
  EXPECT_EQ(result.out, "");
  EXPECT_NE(read_file(svg).find(">#3 FullFrame</text>"), std::string::npos);

  RunResult unwritable =
      cli({"layout", "render", "--from", layout, "--svg", files_.path() + "/no/such/dir.svg"});
  EXPECT_EQ(unwritable.exit_status, kCannotWrite);
  EXPECT_NE(unwritable.err.find("cannot create"), std::string::npos);

  // A disk that fills up within the file's last block, which only closing the file reports.
  std::string const blocks = std::to_string(read_file(svg).size() / 4096 * 8);  // of 512 bytes
  std::vector<std::string> limited = {"/bin/sh", "-c",
                                      "trap '' XFSZ; ulimit -f " + blocks + "; exec \"$@\"", "sh"};
  for (std::string const& word : nelko::test::built_program(STREAM_LAYOUT_PROGRAM))
    limited.push_back(word);
  limited.insert(limited.end(), {"layout", "render", "--from", layout, "--svg", svg});
  RunResult cut = nelko::test::run(limited, ipc_dir());
  EXPECT_EQ(cut.exit_status, kCannotWrite) << cut.err;
  EXPECT_NE(cut.err.find("cannot write"), std::string::npos) << cut.err;
}

}  // namespace
