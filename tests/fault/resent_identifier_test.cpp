// An identifier sent again through the interfaces library, while the first request under it has
// not ended: the new request is the one that gets answered, in whichever state the first one is.
// Driven through nelkoInitiatorInterfaces itself, since the library's own forms never reuse an
// identifier.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "fault_fixture.h"
#include "hostile_target.h"
#include "json/elements.h"
#include "nelko_initiator_interfaces.h"

namespace fault {
namespace {

using std::chrono::milliseconds;

constexpr char kInterface[] = "stream_layout";
constexpr char kCommand[] = "Get_num_roi";
constexpr char kUuid[] = "0f1e2d3c-4b5a-4968-8776-655443322110";

json::Object num_roi_request() {
  json::Object request;
  request.Insert({"command", json::String(kCommand)});
  return request;
}

// Counts its asynchronous responses by the "num" they carry; the first one sends its
// identifier again, as an asynchronous request, from inside the dispatch.
class Client : public nelkoInitiatorInterfaces {
 public:
  explicit Client(char const* target)
      : nelkoInitiatorInterfaces(nullptr, nullptr, "resend", 1, 0), target_(target) {}
  ~Client() override { unregisterResponseFunction(); }

  nelko_core_status send(bool async) {
    if (async) {
      nelko_core_status status = registerResponseFunction();
      if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
    }
    return basicSendCommand(kInterface, target_, kUuid, num_roi_request());
  }

  void subclassResponseDispatch(char const*, char*, char* uuid, json::Object& response) override {
    EXPECT_EQ(std::string(uuid), kUuid);
    unsigned const num = static_cast<unsigned>(static_cast<json::Number const&>(response["num"]));
    nums.push_back(num);
    if (nums.size() == 1) resent = send(true);
  }

  std::vector<unsigned> nums;  // I/O thread only, until the test has waited for it
  std::atomic<nelko_core_status> resent{NELKO_CORE_STATUS_IPC_FAILED};

 private:
  char const* target_;
};

class ResentIdentifierTest : public FaultTest {};

// A target that answers its nth command with "num": n, after delay(n).
template <typename Delay>
auto numbering(std::atomic<int>& seen, Delay delay) {
  return [&seen, delay](Command const& command) {
    int const nth = ++seen;
    return std::vector<Reply>{
        Reply{delay(nth), HostileTarget::answer(command, static_cast<unsigned>(nth)), false}};
  };
}

// The first request's waiter is detached: it times out, and the answer to the second request goes
// to the receive made for the second, not to the thread still waiting for the first.
TEST_F(ResentIdentifierTest, WaiterOfTheFirstRequestIsNotAnsweredForTheSecond) {
  std::atomic<int> seen{0};
  // The first is answered long after the second, whose answer the waiter must not take.
  HostileTarget target(directory_, "late",
                       numbering(seen, [](int nth) { return milliseconds(nth == 1 ? 1200 : 0); }));
  Client client("late");
  ASSERT_EQ(client.send(false), NELKO_CORE_STATUS_NO_ERROR);
  std::promise<void> waiting;
  auto first = std::async(std::launch::async, [&] {
    json::Object response;
    waiting.set_value();
    return client.basicReceiveResponse(600, kInterface, "late", kUuid, kCommand, response);
  });
  waiting.get_future().wait();
  ASSERT_TRUE(eventually([&] { return seen.load() == 1; }));
  std::this_thread::sleep_for(milliseconds(100));  // the first receive is waiting by now
  ASSERT_EQ(client.send(false), NELKO_CORE_STATUS_NO_ERROR);
  json::Object response;
  EXPECT_EQ(client.basicReceiveResponse(2000, kInterface, "late", kUuid, kCommand, response),
            NELKO_CORE_STATUS_NO_ERROR);
  EXPECT_EQ(static_cast<double>(static_cast<json::Number const&>(response["num"])), 2.0);
  EXPECT_EQ(first.get(), NELKO_CORE_STATUS_IPC_FAILED) << "the detached waiter was answered";
}

// The first request ends in its dispatch, which sends the identifier again: the new request's
// entry outlives the end of the first delivery and takes its own answer, and a taken answer is
// not reported as dropped once the response functions are done.
TEST_F(ResentIdentifierTest, IdentifierSentAgainFromItsDispatchGetsItsOwnAnswer) {
  std::atomic<int> seen{0};
  HostileTarget target(directory_, "echo",
                       numbering(seen, [](int nth) { return milliseconds(nth == 1 ? 0 : 100); }));
  Client client("echo");
  CapturedStderr log;
  ASSERT_EQ(client.send(true), NELKO_CORE_STATUS_NO_ERROR);
  ASSERT_TRUE(eventually([&] { return seen.load() == 2; }));
  std::this_thread::sleep_for(milliseconds(400));  // the second answer has come by now
  client.unregisterResponseFunction();  // no dispatch runs from here on
  EXPECT_EQ(client.resent.load(), NELKO_CORE_STATUS_NO_ERROR);
  EXPECT_EQ(client.nums, (std::vector<unsigned>{1, 2}));
  // Both answers were taken by their dispatch: neither is reported as dropped.
  EXPECT_EQ(log.text().find("dropping the response"), std::string::npos) << log.text();
}

}  // namespace
}  // namespace fault
