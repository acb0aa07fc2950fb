// Requests sent through the interfaces library itself, under identifiers the test chooses (the
// library's own forms never reuse one): requests outstanding on a connection that breaks each end
// once, with 4, in the order sent; an identifier sent again while the first request under it
// has not ended is answered for the new request, in whichever state the first one is; a thread
// waiting for an answer keeps its request when its object withdraws its response functions; and
// what nobody waits for is kept for its lifetime only.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "fault_fixture.h"
#include "hostile_target.h"
#include "json/elements.h"
#include "nelko_core_channel_events.h"
#include "nelko_initiator_interfaces.h"
#include "response_router.h"

namespace fault {
namespace {

using std::chrono::milliseconds;

constexpr char kInterface[] = "stream_layout";
constexpr char kCommand[] = "Get_num_roi";
constexpr char kUuid[] = "0f1e2d3c-4b5a-4968-8776-655443322110";

// Sends Get_num_roi under identifiers of its own and records each dispatched response as
// "identifier status num" (read leniently: a missing member is 0). With `resend`, the first
// dispatch sends kUuid again, as an asynchronous request, from inside the dispatch.
class Client : public nelkoInitiatorInterfaces {
 public:
  explicit Client(char const* target, bool resend = false)
      : nelkoInitiatorInterfaces(nullptr, nullptr, "client", 1, 0),
        target_(target),
        resend_(resend) {}
  ~Client() override { unregisterResponseFunction(); }

  nelko_core_status send(std::string const& uuid, bool async, char const* target = nullptr) {
    if (async) {
      nelko_core_status status = registerResponseFunction();
      if (status != kOk) return status;
    }
    json::Object request;
    request.Insert({"command", json::String(kCommand)});
    return basicSendCommand(kInterface, target != nullptr ? target : target_, uuid.c_str(),
                            request);
  }

  void subclassResponseDispatch(char const*, char*, char* uuid, json::Object& response) override {
    json::Number& status = response["status"];
    json::Number& num = response["num"];
    ended.add(std::string(uuid) + " " + std::to_string(static_cast<unsigned>(double(status))) +
              " " + std::to_string(static_cast<unsigned>(double(num))));
    if (resend_ && ended.count() == 1) resent = send(kUuid, true);
  }

  core_test::Recorded ended;
  std::atomic<nelko_core_status> resent{kFailed};

 private:
  char const* target_;
  bool const resend_;
};

using InterfacesClientTest = FaultTest;

TEST_F(InterfacesClientTest, OutstandingRequestsOnABrokenConnectionEndWithFourInTheOrderSent) {
  std::vector<std::string> sent;
  // The target answers nothing; it dies with every request outstanding.
  HostileTarget silent(directory_, "silent", [](Command const&) { return std::vector<Reply>{}; });
  Client client("silent");
  for (int i = 0; i < 16; ++i) {
    // Identifiers that sort and hash in no relation to the order they are sent in.
    sent.push_back("request-" + std::to_string((i * 7919) % 16) + "-" + std::to_string(i));
    ASSERT_EQ(client.send(sent.back(), true), kOk);
  }
  ASSERT_TRUE(eventually([&] { return silent.commands_seen() == 16; }));
  silent.die();
  ASSERT_TRUE(eventually([&] { return client.ended.count() == sent.size(); }));
  std::this_thread::sleep_for(milliseconds(100));  // room for a second ending
  for (std::string& uuid : sent) uuid += " 4 0";
  EXPECT_EQ(client.ended.lines(), sent);
}

// A target that answers its nth command with "num": n, after delay(n).
template <typename Delay>
auto numbering(std::atomic<int>& seen, Delay delay) {
  return [&seen, delay](Command const& command) {
    int const nth = ++seen;
    return std::vector<Reply>{
        Reply{delay(nth), HostileTarget::answer(command, static_cast<unsigned>(nth)), false}};
  };
}

// Nothing tells the library that a caller gave up on a request. Whatever nobody waits for goes
// once it has waited its lifetime (1 s here, through the test hook), with one log line for each
// kind: answers that nobody received, and requests without an answer whose receive gave up (a
// target that keeps its connection but never answers). Younger ones, and one that a thread waits
// for again, stay.
TEST_F(InterfacesClientTest, WhatNobodyWaitsForGoesAfterItsLifetimeAndYoungerOnesStay) {
  constexpr milliseconds kLifetime{1000};
  nelko::interfaces::ResponseRouter::set_unclaimed_lifetime(kLifetime);
  struct Restore {
    ~Restore() { nelko::interfaces::ResponseRouter::set_unclaimed_lifetime(milliseconds(0)); }
  } restore;
  // Answers at once, except: "silent-*" and "young" never, "waited" late.
  HostileTarget target(directory_, "mixed", [](Command const& command) {
    if (command.uuid.rfind("silent-", 0) == 0 || command.uuid == "young") {
      return std::vector<Reply>{};
    }
    milliseconds const delay(command.uuid == "waited" ? 2500 : 0);
    return std::vector<Reply>{Reply{delay, HostileTarget::answer(command), false}};
  });
  Client client("mixed");
  CapturedStderr log;
  auto receive = [&](std::string const& uuid, int timeout_ms, char const* command = kCommand) {
    json::Object response;
    return client.basicReceiveResponse(timeout_ms, kInterface, "mixed", uuid.c_str(), command,
                                       response);
  };
  // A request still kept answers a receive for another command with 1; a forgotten one with 4.
  auto kept = [&](std::string const& uuid) {
    return receive(uuid, 0, "Other_command") == NELKO_CORE_STATUS_INVALID_PARAMS;
  };
  // More answers than may wait unread in the socket: the I/O thread reads them as they come.
  std::vector<std::string> answered, silent;
  for (int i = 0; i < 200; ++i) {
    answered.push_back("answered-" + std::to_string(i));
    ASSERT_EQ(client.send(answered.back(), false), kOk);
  }
  for (int i = 0; i < 50; ++i) {
    silent.push_back("silent-" + std::to_string(i));
    ASSERT_EQ(client.send(silent.back(), false), kOk);
    ASSERT_EQ(receive(silent.back(), 0), kFailed);
  }
  ASSERT_EQ(client.send("waited", false), kOk);
  ASSERT_EQ(receive("waited", 0), kFailed);  // gives up, and then waits past the sweep
  auto waited = std::async(std::launch::async, [&] { return receive("waited", 5000); });
  std::this_thread::sleep_for(kLifetime + milliseconds(400));
  // A receive that gives up now ends the old ones; its request stays, as does an answer received
  // at once.
  ASSERT_EQ(client.send("young", false), kOk);
  EXPECT_EQ(receive("young", 0), kFailed);
  ASSERT_EQ(client.send("now", false), kOk);
  EXPECT_EQ(receive("now", 2000), kOk);
  for (std::string const& uuid : answered) EXPECT_EQ(receive(uuid, 0), kFailed) << uuid;
  for (std::string const& uuid : silent) EXPECT_FALSE(kept(uuid)) << uuid;
  EXPECT_TRUE(kept("young"));
  EXPECT_EQ(waited.get(), kOk);
  std::string const text = log.text();
  EXPECT_NE(text.find("dropping 200 responses that nobody received within 1000 ms of their "
                      "arrival, the first to request answered-0 from target 'mixed'"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("forgetting 50 requests that had no answer within 1000 ms after their "
                      "receive gave up, the first silent-0 to target 'mixed'"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("young"), std::string::npos) << text;
  EXPECT_EQ(text.find("request now"), std::string::npos) << text;
}

// The first request's answer waits unclaimed when the identifier is sent again: the receive gets
// the new request's answer, not the old one.
TEST_F(InterfacesClientTest, IdentifierSentAgainWhileItsAnswerWaitsUnclaimedGetsTheNewAnswer) {
  std::atomic<int> seen{0};
  HostileTarget target(directory_, "echo", numbering(seen, [](int) { return milliseconds(0); }));
  Client client("echo");
  auto receive = [&](char const* uuid) {
    json::Object response;
    EXPECT_EQ(client.basicReceiveResponse(2000, kInterface, "echo", uuid, kCommand, response), kOk)
        << uuid;
    return static_cast<double>(static_cast<json::Number const&>(response["num"]));
  };
  ASSERT_EQ(client.send(kUuid, false), kOk);
  // Waiting for the next request on the same connection reads the first answer too.
  ASSERT_EQ(client.send("next", false), kOk);
  EXPECT_EQ(receive("next"), 2.0);
  ASSERT_EQ(client.send(kUuid, false), kOk);
  EXPECT_EQ(receive(kUuid), 3.0);
}

// The first request's waiter is detached: it times out, and the answer to the second request goes
// to the receive made for the second, not to the thread still waiting for the first.
TEST_F(InterfacesClientTest, WaiterOfTheFirstRequestIsNotAnsweredForTheSecond) {
  std::atomic<int> seen{0};
  // The first is answered long after the second, whose answer the waiter must not take.
  HostileTarget target(directory_, "late",
                       numbering(seen, [](int nth) { return milliseconds(nth == 1 ? 1200 : 0); }));
  Client client("late");
  ASSERT_EQ(client.send(kUuid, false), kOk);
  std::promise<void> waiting;
  auto first = std::async(std::launch::async, [&] {
    json::Object response;
    waiting.set_value();
    return client.basicReceiveResponse(600, kInterface, "late", kUuid, kCommand, response);
  });
  waiting.get_future().wait();
  ASSERT_TRUE(eventually([&] { return seen.load() == 1; }));
  std::this_thread::sleep_for(milliseconds(100));  // the first receive is waiting by now
  ASSERT_EQ(client.send(kUuid, false), kOk);
  json::Object response;
  EXPECT_EQ(client.basicReceiveResponse(2000, kInterface, "late", kUuid, kCommand, response), kOk);
  EXPECT_EQ(static_cast<double>(static_cast<json::Number const&>(response["num"])), 2.0);
  EXPECT_EQ(first.get(), kFailed) << "the detached waiter was answered";
}

// An object withdraws its response functions while one of its threads waits for a synchronous
// answer: the waiter keeps its request and gets the answer when it comes.
TEST_F(InterfacesClientTest, WaiterKeepsItsRequestWhenItsObjectWithdrawsItsResponseFunctions) {
  std::atomic<int> seen{0};
  HostileTarget target(directory_, "late", numbering(seen, [](int) { return milliseconds(300); }));
  Client client("late");
  ASSERT_EQ(client.send(kUuid, false), kOk);
  auto waited = std::async(std::launch::async, [&] {
    json::Object response;
    return client.basicReceiveResponse(3000, kInterface, "late", kUuid, kCommand, response);
  });
  ASSERT_TRUE(eventually([&] { return seen.load() == 1; }));
  std::this_thread::sleep_for(milliseconds(100));  // the receive is waiting by now
  client.unregisterResponseFunction();
  EXPECT_EQ(waited.get(), kOk);
}

// The first request ends in its dispatch, which sends the identifier again: the new request's
// entry outlives the end of the first delivery and takes its own answer, and a taken answer is
// not reported as dropped once the response functions are done.
TEST_F(InterfacesClientTest, IdentifierSentAgainFromItsDispatchGetsItsOwnAnswer) {
  std::atomic<int> seen{0};
  HostileTarget target(directory_, "echo",
                       numbering(seen, [](int nth) { return milliseconds(nth == 1 ? 0 : 100); }));
  Client client("echo", true);
  CapturedStderr log;
  ASSERT_EQ(client.send(kUuid, true), kOk);
  ASSERT_TRUE(eventually([&] { return seen.load() == 2; }));
  std::this_thread::sleep_for(milliseconds(400));  // the second answer has come by now
  client.unregisterResponseFunction();             // no dispatch runs from here on
  EXPECT_EQ(client.resent.load(), kOk);
  EXPECT_EQ(client.ended.lines(),
            (std::vector<std::string>{std::string(kUuid) + " 0 1", std::string(kUuid) + " 0 2"}));
  // Both answers were taken by their dispatch: neither is reported as dropped.
  EXPECT_EQ(log.text().find("dropping the response"), std::string::npos) << log.text();
}

// Two threads that send on the same lane wait at once for targets of their own: the one that reads
// the lane for both (the first to wait, for a slow target) must read the other's connection too,
// so that the other's answer is not left in its socket until the reader's own comes.
TEST_F(InterfacesClientTest, WaitersOfOneLaneGetTheirAnswersFromEachOthersTargets) {
  std::atomic<int> seen_slow{0};
  std::atomic<int> seen_fast{0};
  HostileTarget slow(directory_, "slow",
                     numbering(seen_slow, [](int) { return milliseconds(1500); }));
  HostileTarget fast(directory_, "fast", numbering(seen_fast, [](int) { return milliseconds(0); }));
  Client client("slow");  // one channel, whose lanes have a connection to each target
  auto receive = [](Client& client, char const* target, char const* uuid, int timeout_ms) {
    json::Object response;
    return client.basicReceiveResponse(timeout_ms, kInterface, target, uuid, kCommand, response);
  };
  // Threads get lanes in turn: of the next kLanes + 1 threads, the last shares the first's lane.
  std::promise<void> slow_waits;
  std::promise<nelko_core_status> fast_status;
  std::thread on_fast;
  std::thread on_slow([&] {
    unsigned const lane = nelko::core::sending_lane();
    std::vector<std::thread> others;
    for (unsigned i = 1; i < nelko::core::kLanes; ++i) {
      others.emplace_back([] { nelko::core::sending_lane(); });
      others.back().join();
    }
    std::promise<unsigned> fast_lane;
    on_fast = std::thread([&] {
      fast_lane.set_value(nelko::core::sending_lane());
      // The lane's link to "fast" exists before the slow request's waiter begins to read.
      ASSERT_EQ(client.send("fast-1", false, "fast"), kOk);
      ASSERT_EQ(receive(client, "fast", "fast-1", 2000), kOk);
      slow_waits.get_future().wait();
      std::this_thread::sleep_for(milliseconds(100));  // the slow waiter reads the lane by now
      ASSERT_EQ(client.send("fast-2", false, "fast"), kOk);
      fast_status.set_value(receive(client, "fast", "fast-2", 700));
    });
    ASSERT_EQ(fast_lane.get_future().get(), lane);
    ASSERT_TRUE(eventually([&] { return seen_fast.load() == 1; }));
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_EQ(client.send("slow-1", false), kOk);
    slow_waits.set_value();
    EXPECT_EQ(receive(client, "slow", "slow-1", 3000), kOk);
  });
  on_slow.join();
  on_fast.join();
  EXPECT_EQ(fast_status.get_future().get(), kOk)
      << "the answer from \"fast\" waited for the slow target's";
}

// The reader of a lane gives up while another waiter of the lane waits: that one reads on and
// gets its answer when it comes, not at its own time-out.
TEST_F(InterfacesClientTest, WaiterOutlastingItsLanesReaderReadsItsAnswer) {
  std::atomic<int> seen{0};
  HostileTarget slow(directory_, "slow", numbering(seen, [](int) { return milliseconds(600); }));
  Client client("slow");
  auto receive = [&client](char const* uuid, int timeout_ms) {
    json::Object response;
    return client.basicReceiveResponse(timeout_ms, kInterface, "slow", uuid, kCommand, response);
  };
  std::thread reader([&] {
    unsigned const lane = nelko::core::sending_lane();
    for (unsigned i = 1; i < nelko::core::kLanes; ++i) {
      std::thread([] { nelko::core::sending_lane(); }).join();
    }
    std::thread outlasting([&] {
      ASSERT_EQ(nelko::core::sending_lane(), lane);
      std::this_thread::sleep_for(milliseconds(50));  // the first waiter reads the lane by now
      ASSERT_EQ(client.send("long", false), kOk);
      auto const start = std::chrono::steady_clock::now();
      EXPECT_EQ(receive("long", 3000), kOk);
      EXPECT_LT(std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start)
                    .count(),
                1500);
    });
    EXPECT_EQ(client.send("short", false), kOk);
    EXPECT_EQ(receive("short", 200), kFailed);
    outlasting.join();
  });
  reader.join();
}

}  // namespace
}  // namespace fault
