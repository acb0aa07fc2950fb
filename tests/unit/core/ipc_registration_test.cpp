// Registering a response function again: the core may skip the work for a pair that a thread
// registered already, but never for one that was withdrawn since.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core_test_support.h"

namespace core_test {
namespace {

using IpcRegistration = IpcTest;

void record_uuid(char**, char**, char** uuid, char**, void* user) {
  static_cast<Recorded*>(user)->add(*uuid);
}

// Register, withdraw and register the same pair again on one thread, as an object does that
// goes and comes back at the same address: responses reach it again.
TEST_F(IpcRegistration, PairRegisteredAgainAfterItsWithdrawalReceivesResponses) {
  Channel target = open_target("camera");
  Channel initiator = open_initiator();
  Recorded responses;
  for (char const* uuid : {"first", "second"}) {
    ASSERT_EQ(nelko_core_ipc_initiator_response_receive_callback(initiator.get(), record_uuid,
                                                                 &responses),
              NELKO_CORE_STATUS_NO_ERROR);
    ASSERT_EQ(nelko_core_ipc_initiator_command_send(initiator.get(), "camera", "stream_layout",
                                                    uuid, "p"),
              NELKO_CORE_STATUS_NO_ERROR);
    Pulled command = pull_command(target.get(), 2000);
    ASSERT_EQ(command.status, NELKO_CORE_STATUS_NO_ERROR);
    ASSERT_EQ(nelko_core_ipc_target_response_send(target.get(), command.texts[0].c_str(), uuid,
                                                  "r"),
              NELKO_CORE_STATUS_NO_ERROR);
    ASSERT_TRUE(eventually([&] { return responses.count() == (uuid[0] == 'f' ? 1u : 2u); }))
        << "the response to " << uuid << " reached no callback";
    nelko_core_ipc_initiator_response_receive_callback(initiator.get(), nullptr, &responses);
  }
  EXPECT_EQ(responses.lines(), (std::vector<std::string>{"first", "second"}));
}

}  // namespace
}  // namespace core_test
