#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "target_harness.h"

namespace target_test {
namespace {

using Clock = std::chrono::steady_clock;

long long milliseconds_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(TargetOptions, VersionStreamsAndRoisShapeWhatIsServed) {
  std::string const name = unique_target_name();
  TargetProcess target({"--name", name, "--version", "1.0", "--streams", "1", "--rois=2"});
  TargetClient client(name);
  rapidjson::Document const version = client.call(
      R"({"command":"__get_target_version__","initiator_major":0,"initiator_minor":9})");
  EXPECT_EQ(version["target_major"].GetDouble(), 1);
  EXPECT_EQ(version["target_minor"].GetDouble(), 0);
  EXPECT_EQ(client.call(R"({"command":"Get_num_roi"})")["num"].GetDouble(), 2);
  EXPECT_EQ(client.status_of(R"({"command":"Get_roi","roi_index":1,"roi_set":1})"), 0);
  EXPECT_EQ(client.status_of(R"({"command":"Get_roi","roi_index":2,"roi_set":1})"), 1);
  EXPECT_EQ(client.status_of(R"({"command":"Get_stream_layout","stream_index":0})"), 0);
  EXPECT_EQ(client.status_of(R"({"command":"Get_stream_layout","stream_index":1})"), 1);
}

TEST(TargetOptions, BadOptionsPrintTheUsageAndExitTwo) {
  for (char const* arguments :
       {"--bogus", "extra", "--streams -1", "--version 1", "--delay-ms", "--rois=1e3"}) {
    auto const [status, output] = run_to_end(arguments);
    EXPECT_EQ(status, 2) << arguments;
    EXPECT_NE(output.find("usage:"), std::string::npos) << output;
  }
}

TEST(TargetTiming, DelayedResponsesComeLateButInOrderAndOverlapping) {
  constexpr int kDelayMs = 400;
  std::string const name = unique_target_name();
  TargetProcess target({"--name", name, "--delay-ms", std::to_string(kDelayMs)});
  TargetClient client(name);
  Clock::time_point const start = Clock::now();
  std::string const sent[] = {client.send(R"({"command":"Get_num_roi"})"),
                              client.send(R"({"command":"Get_roi","roi_index":0,"roi_set":0})"),
                              client.send(R"({"command":"Nope"})")};
  for (std::string const& uuid : sent) {
    EXPECT_EQ(client.receive().first, uuid);
    EXPECT_GE(milliseconds_since(start), kDelayMs);
  }
  // The delays run side by side: three in a row would take three times as long.
  EXPECT_LT(milliseconds_since(start), 5 * kDelayMs / 2);
}

TEST(TargetTiming, StopSignalsEndTheServiceAtOnceWithStatusZero) {
  for (int signal : {SIGTERM, SIGINT}) {
    std::string const name = unique_target_name();
    TargetProcess target({"--name", name, "--delay-ms", "60000"});
    TargetClient client(name);
    client.send(R"({"command":"Get_num_roi"})");  // still waiting for its turn when stopped
    Clock::time_point const start = Clock::now();
    EXPECT_EQ(target.stop_with(signal, 5000), 0) << strsignal(signal);
    // Far below the pending response's delay, with room for slow sanitizer and valgrind runs.
    EXPECT_LT(milliseconds_since(start), 2500);
  }
}

}  // namespace
}  // namespace target_test
