// Requests outstanding on a connection that breaks, sent through the interfaces library: each
// ends once, with a status of 4, in the order the requests were sent.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fault_fixture.h"
#include "hostile_target.h"
#include "json/elements.h"
#include "nelko_initiator_interfaces.h"

namespace fault {
namespace {

using std::chrono::milliseconds;

constexpr char kInterface[] = "stream_layout";

json::Object num_roi_request() {
  json::Object request;
  request.Insert({"command", json::String("Get_num_roi")});
  return request;
}

// Sends asynchronous requests under identifiers of its own and notes each response it
// dispatches: the identifier and the status.
class Client : public nelkoInitiatorInterfaces {
 public:
  explicit Client(char const* target)
      : nelkoInitiatorInterfaces(nullptr, nullptr, "broken", 1, 0), target_(target) {}
  ~Client() override { unregisterResponseFunction(); }

  nelko_core_status send_async(std::string const& uuid) {
    nelko_core_status status = registerResponseFunction();
    if (status != NELKO_CORE_STATUS_NO_ERROR) return status;
    return basicSendCommand(kInterface, target_, uuid.c_str(), num_roi_request());
  }

  void subclassResponseDispatch(char const*, char*, char* uuid, json::Object& response) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.push_back(uuid);
    statuses_.push_back(
        static_cast<unsigned>(static_cast<json::Number const&>(response["status"])));
  }

  std::vector<std::string> ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
  }
  std::vector<unsigned> statuses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_;
  }

 private:
  char const* target_;
  mutable std::mutex mutex_;
  std::vector<std::string> ended_;
  std::vector<unsigned> statuses_;
};

class BrokenConnectionTest : public FaultTest {};

TEST_F(BrokenConnectionTest, OutstandingRequestsEndWithFourInTheOrderSent) {
  std::vector<std::string> sent;
  // The target answers nothing; it dies with every request outstanding.
  HostileTarget silent(directory_, "silent", [](Command const&) { return std::vector<Reply>{}; });
  Client client("silent");
  for (int i = 0; i < 16; ++i) {
    // Identifiers that sort and hash in no relation to the order they are sent in.
    sent.push_back("request-" + std::to_string((i * 7919) % 16) + "-" + std::to_string(i));
    ASSERT_EQ(client.send_async(sent.back()), NELKO_CORE_STATUS_NO_ERROR);
  }
  ASSERT_TRUE(eventually([&] { return silent.commands_seen() == 16; }));
  silent.die();
  ASSERT_TRUE(eventually([&] { return client.ended().size() == sent.size(); }));
  std::this_thread::sleep_for(milliseconds(100));  // room for a second ending
  EXPECT_EQ(client.ended(), sent);
  EXPECT_EQ(client.statuses(), std::vector<unsigned>(sent.size(), 4u));
}

}  // namespace
}  // namespace fault
