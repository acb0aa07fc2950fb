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
