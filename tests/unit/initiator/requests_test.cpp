// What the builders send and how the synchronous and non-blocking forms read, time out and hand
// over request identifiers. Leaked or twice-released identifiers show up under the sanitizers.
#include <cstdlib>
#include <cstring>
#include <utility>

#include "initiator_fixture.h"
#include "nelko_core_arrays.h"

namespace {

using Requests = InitiatorTest;

TEST_F(Requests, EveryCommandSendsItsMembersInOrder) {
  unsigned int num = 0, major = 0, minor = 0;
  double pan = 0, tilt = 0, roll = 0, vfov = 0;
  unsigned int** lists[9] = {};
  nelko_api_stream_layout_get_num_roi_send(handle, "a", &num);
  nelko_api_stream_layout_get_roi_send(handle, "a", 2, kRoiActiveSet, &pan, &tilt, &roll, &vfov);
  nelko_api_stream_layout_set_roi_send(handle, "a", 1, 0, 1.5, -2.25, 0, 60);
  nelko_api_stream_layout_get_stream_layout_send(handle, "a", 3, &lists[0], &lists[1], &lists[2],
                                                 &lists[3], &lists[4], &lists[5], &lists[6],
                                                 &lists[7], &lists[8]);
  nelko_api_stream_layout_stream_point_to_pan_tilt_send(handle, "a", 1, 50000.5, 25000, &pan,
                                                        &tilt);
  nelko_api_stream_layout___get_target_version___send(handle, "a", &major, &minor);
  unsigned int** given[9];
  for (auto*& list : given) list = make_list({1});
  nelko_api_stream_layout_set_stream_layout_send(handle, "a", 0, given[0], given[1], given[2],
                                                 given[3], given[4], given[5], given[6], given[7],
                                                 given[8]);
  for (auto* list : given) nelko_core_free_uint_array(list);

  EXPECT_EQ(R"({"command":"Get_num_roi"})", sent_text(0));
  EXPECT_EQ(R"({"command":"Get_roi","roi_index":2,"roi_set":1})", sent_text(1));
  EXPECT_EQ(R"({"command":"Set_roi","roi_index":1,"roi_set":0,"pan":1.5,"tilt":-2.25,"roll":0,"vfov":60})",
            sent_text(2));
  EXPECT_EQ(R"({"command":"Get_stream_layout","stream_index":3})", sent_text(3));
  EXPECT_EQ(R"({"command":"Stream_point_to_pan_tilt","stream_index":1,"x":50000.5,"y":25000})",
            sent_text(4));
  EXPECT_EQ(R"({"command":"__get_target_version__","initiator_major":0,"initiator_minor":9})",
            sent_text(5));
  ASSERT_EQ(7u, platform.sent.size());
  for (auto const& sent : platform.sent) {
    EXPECT_EQ("stream_layout", sent.interface_name);
    EXPECT_EQ("a", sent.target);
  }
  // Every receive names its own request and command, and waits the default 5000 ms.
  char const* const commands[] = {"Get_num_roi",       "Get_roi",
                                  "Set_roi",           "Get_stream_layout",
                                  "Stream_point_to_pan_tilt", "__get_target_version__",
                                  "Set_stream_layout"};
  ASSERT_EQ(7u, platform.receives.size());
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(commands[i], platform.receives[i].command);
    EXPECT_EQ(platform.sent[i].uuid, platform.receives[i].uuid);
    EXPECT_EQ(5000, platform.receives[i].timeout) << commands[i];
  }
}

TEST_F(Requests, SetStreamLayoutSendsListsAsTheyAreAndRefusesTheFirstNullOne) {
  std::vector<unsigned int**> lists = {
      make_list({1, 2}), make_list({3, 4}),      make_list({5, 6}),
      make_list({7, 8}), make_list({0, 13, 80}), make_list({}),
      make_list({9, 9}), make_list({10, 10}),    make_list({4294967295u})};
  platform.answer_with(kOk, R"({"status":0})");
  EXPECT_EQ(kOk, nelko_api_stream_layout_set_stream_layout_send_with_timeout(
                     handle, "t", 250, 2, lists[0], lists[1], lists[2], lists[3], lists[4],
                     lists[5], lists[6], lists[7], lists[8]));
  EXPECT_EQ(
      R"({"command":"Set_stream_layout","stream_index":2,"source_upper_left_x_millipercent":[1,2],)"
      R"("source_upper_left_y_millipercent":[3,4],"source_width_millipercent":[5,6],)"
      R"("source_height_millipercent":[7,8],"destination_type":[0,13,80],)"
      R"("destination_upper_left_x_millipercent":[],"destination_upper_left_y_millipercent":[9,9],)"
      R"("destination_width_millipercent":[10,10],"destination_height_millipercent":[4294967295]})",
      sent_text(0));
  EXPECT_EQ(250, platform.receives[0].timeout);

  platform.reset();
  void* uuid = nullptr;
  EXPECT_EQ(kInvalid, nelko_api_stream_layout_set_stream_layout_non_blocking_send(
                          handle, "t", &uuid, 2, nullptr, lists[1], lists[2], lists[3], nullptr,
                          lists[5], lists[6], lists[7], lists[8]));
  nelko_api_stream_layout_free_uuid(uuid);
  // Refused asynchronously too, without registering with the channel; the entry is kept.
  EXPECT_EQ(kInvalid, nelko_api_stream_layout_set_stream_layout_send_async(
                          handle, "t", 2, lists[0], lists[1], lists[2], lists[3], lists[4],
                          lists[5], lists[6], lists[7], nullptr, nullptr, nullptr));
  EXPECT_TRUE(platform.sent.empty());
  EXPECT_TRUE(platform.registrations.empty());
  EXPECT_EQ(1u, object()->registry<nelko::stream_layout::SetStreamLayout>().size());
  std::string const warning = "Initiator:stream_layout_set_stream_layout_utility_send called with "
                              "null input pointer ";
  EXPECT_EQ((std::vector<std::string>{warning + "source_upper_left_x_millipercent",
                                      warning + "destination_height_millipercent"}),
            platform.log_texts());
  EXPECT_EQ(NELKO_CORE_LOG_PRIORITY_WARNING, platform.log[0].priority);
  for (auto* list : lists) nelko_core_free_uint_array(list);
}

TEST_F(Requests, SendFailuresArePassedOnAndExceptionsBecomeFour) {
  unsigned int num = 77;
  platform.send_status = NELKO_CORE_STATUS_DISABLED_TARGET;
  EXPECT_EQ(NELKO_CORE_STATUS_DISABLED_TARGET,
            nelko_api_stream_layout_get_num_roi_send(handle, "t", &num));
  EXPECT_TRUE(platform.receives.empty());
  platform.send_status = kOk;
  platform.send_throws = true;
  EXPECT_EQ(kFailed, nelko_api_stream_layout_get_num_roi_send(handle, "t", &num));
  platform.send_throws = false;
  platform.answer_with(NELKO_CORE_STATUS_REMOTE_FUNCTION_FAILURE, R"({"status":9,"num":3})");
  EXPECT_EQ(NELKO_CORE_STATUS_REMOTE_FUNCTION_FAILURE,
            nelko_api_stream_layout_get_num_roi_send(handle, "t", &num));
  EXPECT_EQ(77u, num);
}

TEST_F(Requests, ResultsAreReadLeniently) {
  unsigned int num = 5;
  platform.answer_with(kOk, R"({"status":0})");
  EXPECT_EQ(kOk, nelko_api_stream_layout_get_num_roi_send(handle, "t", &num));
  EXPECT_EQ(0u, num);
  for (auto const& [text, expected] : std::vector<std::pair<std::string, unsigned int>>{
           {R"({"num":2.9})", 2u}, {R"({"num":-1})", 0u}, {R"({"num":1e12})", 4294967295u},
           {R"({"num":"7"})", 0u}, {R"({"num":NaN})", 0u}}) {
    platform.answer_with(kOk, text);
    EXPECT_EQ(kOk, nelko_api_stream_layout_get_num_roi_send(handle, "t", &num));
    EXPECT_EQ(expected, num) << text;
  }

  double pan = 1, tilt = 1, roll = 1, vfov = 1;
  auto roi = [&] {
    EXPECT_EQ(kOk,
              nelko_api_stream_layout_get_roi_send(handle, "t", 0, 0, &pan, &tilt, &roll, &vfov));
    return std::vector<double>{pan, tilt, roll, vfov};
  };
  platform.answer_with(kOk, R"({"pan":"left","tilt":-12.5,"vfov":[1]})");
  EXPECT_EQ((std::vector<double>{0, -12.5, 0, 0}), roi());
  // Found by name, in whatever order they come and among whatever else the response holds.
  platform.answer_with(kOk, R"({"vfov":4,"x":0,"roll":3,"status":0,"tilt":2,"pans":9,"pan":1})");
  EXPECT_EQ((std::vector<double>{1, 2, 3, 4}), roi());
}

TEST_F(Requests, LayoutListsAreConvertedAndAFailureKeepsWhatWasWritten) {
  unsigned int** lists[9] = {};
  auto get = [&](void* uuid) {
    return nelko_api_stream_layout_get_stream_layout_receive_with_timeout(
        handle, "t", 10, uuid, &lists[0], &lists[1], &lists[2], &lists[3], &lists[4], &lists[5],
        &lists[6], &lists[7], &lists[8]);
  };
  auto free_lists = [&] {
    for (auto*& list : lists) nelko_core_free_uint_array(std::exchange(list, nullptr));
  };
  platform.answer_with(kOk, R"({"source_upper_left_x_millipercent":[3.7,-5,4294967296],)"
                            R"("source_width_millipercent":{},"destination_type":[1,2,3]})");
  void* uuid = nullptr;
  ASSERT_EQ(kOk,
            nelko_api_stream_layout_get_stream_layout_non_blocking_send(handle, "t", &uuid, 0));
  EXPECT_EQ(kOk, get(uuid));
  EXPECT_EQ((std::vector<unsigned int>{3, 0, 4294967295u}), list_values(lists[0]));
  EXPECT_EQ(std::vector<unsigned int>{}, list_values(lists[2]));
  EXPECT_EQ((std::vector<unsigned int>{1, 2, 3}), list_values(lists[4]));
  for (auto* list : lists) EXPECT_NE(nullptr, list);
  free_lists();

  // A string in the sixth array: 4, five lists written, the identifier still the caller's.
  platform.answer_with(kOk, R"({"destination_upper_left_x_millipercent":[1,"a"]})");
  ASSERT_EQ(kOk,
            nelko_api_stream_layout_get_stream_layout_non_blocking_send(handle, "t", &uuid, 0));
  EXPECT_EQ(kFailed, get(uuid));
  for (int i = 0; i < 9; ++i) EXPECT_EQ(i < 5, lists[i] != nullptr) << i;
  free_lists();

  // An out-parameter that already holds a list is refused with 1 and logged; it is not freed.
  unsigned int** kept = make_list({42});
  lists[1] = kept;
  platform.answer_with(kOk, R"({})");
  platform.log.clear();
  EXPECT_EQ(kInvalid, get(uuid));
  EXPECT_EQ(std::vector<std::string>{"stream_layout_get_stream_layout_receive:failed converting UINT array (1)"},
            platform.log_texts());
  EXPECT_EQ(kept, lists[1]);
  EXPECT_EQ(std::vector<unsigned int>{42}, list_values(kept));
  lists[1] = nullptr;
  nelko_core_free_uint_array(kept);
  EXPECT_EQ(std::vector<unsigned int>{}, list_values(lists[0])) << "written before the refusal";
  free_lists();
  // Still the caller's: a successful read releases it.
  EXPECT_EQ(kOk, get(uuid));
  free_lists();
}

// The identifier is the caller's whenever the handle is valid, even when sending fails; without
// one the variable is cleared, so that releasing it is always right.
TEST_F(Requests, NonBlockingSendHandsOverTheIdentifierWhatever) {
  void* uuid = &platform;
  EXPECT_EQ(kInvalid, nelko_api_stream_layout_get_num_roi_non_blocking_send(nullptr, "t", &uuid));
  EXPECT_EQ(nullptr, uuid);
  EXPECT_EQ(kInvalid, nelko_api_stream_layout_get_num_roi_non_blocking_send(handle, "t", nullptr));
  EXPECT_TRUE(platform.sent.empty());
  platform.send_status = kFailed;
  EXPECT_EQ(kFailed, nelko_api_stream_layout_get_num_roi_non_blocking_send(handle, "t", &uuid));
  ASSERT_NE(nullptr, uuid);
  EXPECT_EQ(36u, std::strlen(static_cast<char*>(uuid)));
  nelko_api_stream_layout_free_uuid(uuid);
}

// A missing result pointer, first or last, is refused with 1 before the request goes out or a
// response is taken (one check serves every form that reads a response); a receive leaves the
// identifier with the caller.
TEST_F(Requests, NullResultPointersAreRefusedBeforeAnythingIsSentOrReceived) {
  double pan = 0, tilt = 0, roll = 0;
  unsigned int** lists[9] = {};
  void* uuid = nullptr;
  ASSERT_EQ(kOk, nelko_api_stream_layout_get_roi_non_blocking_send(handle, "t", &uuid, 0, 0));
  platform.reset();
  platform.answer_with(kOk, R"({"status":0})");
  EXPECT_EQ(kInvalid, nelko_api_stream_layout_get_num_roi_send(handle, "t", nullptr));
  EXPECT_EQ(kInvalid, nelko_api_stream_layout_get_stream_layout_send(
                          handle, "t", 0, &lists[0], &lists[1], &lists[2], &lists[3], &lists[4],
                          &lists[5], &lists[6], &lists[7], nullptr));
  EXPECT_EQ(kInvalid, nelko_api_stream_layout_get_roi_receive(handle, 1, "t", uuid, &pan, &tilt,
                                                              &roll, nullptr));
  EXPECT_TRUE(platform.sent.empty());
  EXPECT_TRUE(platform.receives.empty());
  for (auto* list : lists) EXPECT_EQ(nullptr, list);
  nelko_api_stream_layout_free_uuid(uuid);
}

TEST_F(Requests, ReceiveTimeoutsAndIdentifierOwnership) {
  void* uuid = nullptr;
  ASSERT_EQ(kOk, nelko_api_stream_layout_get_roi_non_blocking_send(handle, "t", &uuid, 1, 1));
  std::string const text = static_cast<char*>(uuid);
  double pan = 5, tilt = 5, roll = 5, vfov = 5;
  auto receive = [&](unsigned char blocking) {
    return nelko_api_stream_layout_get_roi_receive(handle, blocking, "t", uuid, &pan, &tilt, &roll,
                                                   &vfov);
  };
  // Not there yet: the identifier stays the caller's and can be read again.
  EXPECT_EQ(kFailed, receive(0));
  EXPECT_EQ(kFailed, receive(255));
  EXPECT_EQ(kFailed, nelko_api_stream_layout_get_roi_receive_with_timeout(
                         handle, "t", -1, uuid, &pan, &tilt, &roll, &vfov));
  EXPECT_EQ(5.0, pan);
  platform.answer_with(kOk, R"({"pan":1,"tilt":2})");
  EXPECT_EQ(kOk, receive(1));
  EXPECT_EQ(1.0, pan);
  EXPECT_EQ(2.0, tilt);
  EXPECT_EQ(0.0, vfov);
  ASSERT_EQ(4u, platform.receives.size());
  EXPECT_EQ(0, platform.receives[0].timeout);
  EXPECT_EQ(5000, platform.receives[1].timeout);
  EXPECT_EQ(-1, platform.receives[2].timeout);
  EXPECT_EQ(text, platform.receives[3].uuid);
  // Released by the successful receive: nothing to free here.
}

TEST_F(Requests, VersionQueryLogsAMismatchAndReleasesItsIdentifierOnReceipt) {
  unsigned int major = 0, minor = 0;
  platform.answer_with(kOk, R"({"status":0,"target_major":0,"target_minor":9})");
  EXPECT_EQ(kOk, nelko_api_stream_layout___get_target_version___send(handle, "t", &major, &minor));
  EXPECT_TRUE(platform.log.empty());

  platform.answer_with(kOk, R"({"status":0,"target_major":0,"target_minor":10})");
  EXPECT_EQ(kOk, nelko_api_stream_layout___get_target_version___send(handle, "t", &major, &minor));
  EXPECT_EQ(0u, major);
  EXPECT_EQ(10u, minor);
  ASSERT_EQ(
      std::vector<std::string>{
          "Stream_layout Initiator (version 0:9) queried Target (version 0:10)"},
      platform.log_texts());
  EXPECT_EQ(NELKO_CORE_LOG_PRIORITY_ERR, platform.log[0].priority);

  // A receive that failed, or took a response with a non-zero status, leaves the identifier
  // with the caller; one that got a successful response releases it even when reading fails
  // afterwards.
  void* uuid = nullptr;
  ASSERT_EQ(kOk,
            nelko_api_stream_layout___get_target_version___non_blocking_send(handle, "t", &uuid));
  auto receive = [&] {
    return nelko_api_stream_layout___get_target_version___receive(handle, 0, "t", uuid, &major,
                                                                  &minor);
  };
  platform.answer = nullptr;
  EXPECT_EQ(kFailed, receive());
  platform.answer_with(NELKO_CORE_STATUS_REMOTE_FUNCTION_FAILURE, R"({"status":9})");
  EXPECT_EQ(NELKO_CORE_STATUS_REMOTE_FUNCTION_FAILURE, receive());
  platform.answer = [](fake::Receive const&, json::Object&) -> nelko_core_status { return kOk; };
  EXPECT_EQ(kOk, receive());
  EXPECT_EQ(0u, major);
}

}  // namespace
