#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "raw_wire.h"
#include "target_harness.h"

namespace target_test {
namespace {

using Clock = std::chrono::steady_clock;

long long milliseconds_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(TargetTiming, DelayedResponsesComeLateButInOrderAndOverlapping) {
  constexpr int kDelayMs = 400;
  TargetProcess target({"--delay-ms", std::to_string(kDelayMs)});
  TargetClient client;
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

TEST(TargetFaults, ChosenCommandsFailOrComeLateWhileOthersAreAnsweredAtOnce) {
  constexpr int kDelayMs = 400;
  TargetProcess target({"--fail", "Get_roi=9", "--fail=Set_roi=10", "--delay",
                        "Get_num_roi=" + std::to_string(kDelayMs)});
  TargetClient client;
  EXPECT_EQ(client.status_of(R"({"command":"Get_roi","roi_index":0,"roi_set":0})"), 9);
  // A refused Set_roi leaves the state alone.
  EXPECT_EQ(client.status_of(
                R"({"command":"Set_roi","roi_index":0,"roi_set":0,"pan":1,"tilt":2,"roll":3,"vfov":4})"),
            10);
  Clock::time_point const start = Clock::now();
  std::string const late = client.send(R"({"command":"Get_num_roi"})");
  std::string const prompt = client.send(R"({"command":"__get_target_version__"})");
  EXPECT_EQ(client.receive().first, prompt);
  EXPECT_LT(milliseconds_since(start), kDelayMs);
  auto const [answered, response] = client.receive();
  EXPECT_EQ(answered, late);
  EXPECT_EQ(response["num"].GetDouble(), 4);
  EXPECT_GE(milliseconds_since(start), kDelayMs);
}

// The reopened channel numbers its connections afresh: an answer to a request of a closed
// connection would reach the client's next connection, which never sent it.
TEST(TargetFaults, DropAtAnswersNoneOfTheClosedConnectionsRequests) {
  TargetProcess target({"--delay-ms", "300", "--drop-at", "2"});
  std::string const socket = target.ipc_dir() + "/stream_layout";
  std::string const hello = nelko::test::wire_frame(1, {"raw"});
  auto const command = [](std::string const& uuid) {
    return nelko::test::wire_frame(2, {"stream_layout", uuid, R"({"command":"Get_num_roi"})"});
  };
  int const first = nelko::test::connect_to(socket);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(nelko::test::send_all(first, hello + command("u1") + command("u2")));
  std::string frame;
  EXPECT_FALSE(nelko::test::read_wire_frame(first, frame));
  close(first);
  int second = -1;
  for (int tries = 0; second < 0 && tries < 200; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    second = nelko::test::connect_to(socket);
  }
  ASSERT_GE(second, 0);
  ASSERT_TRUE(nelko::test::send_all(second, hello + command("u3")));
  ASSERT_TRUE(nelko::test::read_wire_frame(second, frame));
  // Length, kind, the interface name, then the identifier as the second text.
  std::size_t const at = 4 + 1 + 4 + std::string("stream_layout").size() + 4;
  EXPECT_EQ(frame.substr(at, 2), "u3");
  close(second);
}

TEST(TargetFaults, StrictModeRefusesRoiValuesOutsideTheCamerasLimits) {
  TargetProcess target({"--strict"});
  TargetClient client;
  auto const set_roi = [&client](std::string const& values) {
    return client.status_of(R"({"command":"Set_roi","roi_index":1,"roi_set":0,)" + values + "}");
  };
  EXPECT_EQ(set_roi(R"("pan":-180,"tilt":90,"roll":180,"vfov":1)"), 0);
  EXPECT_EQ(set_roi(R"("pan":180,"tilt":-90,"roll":-180,"vfov":180)"), 0);
  for (char const* values : {R"("pan":NaN,"tilt":0,"roll":0,"vfov":60)",
                             R"("pan":0,"tilt":0,"roll":0,"vfov":Infinity)",
                             R"("pan":0,"tilt":200,"roll":0,"vfov":60)",
                             R"("pan":0,"tilt":0,"roll":0,"vfov":-5)",
                             R"("pan":180.5,"tilt":0,"roll":0,"vfov":60)",
                             R"("pan":0,"tilt":0,"roll":-181,"vfov":60)",
                             R"("pan":0,"tilt":0,"roll":0,"vfov":0.5)"}) {
    EXPECT_EQ(set_roi(values), 1) << values;
  }
  rapidjson::Document const kept =
      client.call(R"({"command":"Get_roi","roi_index":1,"roi_set":0})");
  EXPECT_EQ(kept["pan"].GetDouble(), 180);
  EXPECT_EQ(kept["vfov"].GetDouble(), 180);
}

// A bad command line is refused with status 2 and a message that names what is wrong, before the
// service starts.
TEST(TargetOptions, BadCommandLinesAreRefusedNamingTheProblem) {
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  std::vector<Case> const cases = {
      {{"--fail", "Get_roi=0"}, "bad value 'Get_roi=0' for option '--fail'"},
      {{"--fail", "Get_roi=256"}, "bad value 'Get_roi=256'"},
      {{"--fail", "=9"}, "bad value '=9'"},
      {{"--drop-at", "0"}, "bad value '0' for option '--drop-at'"},
      {{"--name", "a/b"}, "bad value 'a/b' for option '--name'"},
      {{"--rois"}, "option '--rois' needs a value"},
      {{"--colour"}, "unknown argument '--colour'"},
  };
  nelko::test::ScratchDirectory ipc;
  for (Case const& c : cases) {
    std::vector<std::string> command = nelko::test::built_program(nelko::test::target_program());
    command.insert(command.end(), c.arguments.begin(), c.arguments.end());
    // A refusal is immediate: a service that starts serving instead is stopped well before the
    // suite's own time-out.
    nelko::test::RunResult const result =
        nelko::test::run(command, ipc.path(), "", std::chrono::seconds(10));
    EXPECT_EQ(result.exit_status, 2) << c.message;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  }
}

TEST(TargetTiming, StopSignalsEndTheServiceAtOnceWithStatusZero) {
  for (int signal : {SIGTERM, SIGINT}) {
    TargetProcess target({"--delay-ms", "60000"});
    TargetClient client;
    client.send(R"({"command":"Get_num_roi"})");  // still waiting for its turn when stopped
    Clock::time_point const start = Clock::now();
    EXPECT_EQ(target.stop(signal), 0) << strsignal(signal);
    // Far below the pending response's delay, with room for slow sanitizer and valgrind runs.
    EXPECT_LT(milliseconds_since(start), 2500);
  }
}

}  // namespace
}  // namespace target_test
