// Making and destroying handles: which channel a handle opens and closes.
#include "initiator_fixture.h"

namespace {

void* const kLog = reinterpret_cast<void*>(0x10c);

// A lent channel is never opened nor closed; an owned one is opened under the given name and
// closed once, and a failing close is logged and survived.
TEST(Lifecycle, OnlyAnOwnedChannelIsOpenedAndClosed) {
  fake::Platform& p = fake::Platform::get();
  p.reset();
  void* handle = nullptr;
  EXPECT_EQ(NELKO_CORE_STATUS_INVALID_PARAMS,
            nelko_api_stream_layout_initiator_init(nullptr, kLog, nullptr, 0, "app"));
  // A channel to open needs a name: a caller's mistake, not a failure to allocate.
  EXPECT_EQ(NELKO_CORE_STATUS_INVALID_PARAMS,
            nelko_api_stream_layout_initiator_init(nullptr, kLog, &handle, 0, nullptr));
  EXPECT_EQ(nullptr, handle);
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_initiator_init(reinterpret_cast<void*>(0xc4a2), kLog, &handle,
                                                   0, nullptr));
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_initiator_deinit(handle));
  EXPECT_TRUE(p.init_names.empty());
  EXPECT_TRUE(p.deinits.empty());
  // Withdrawn even though it never sent asynchronously: that also drops its synchronous requests.
  ASSERT_EQ(1u, p.registrations.size());
  EXPECT_TRUE(p.registrations[0].withdraw);
  EXPECT_EQ(handle, p.registrations[0].user);

  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_initiator_init(nullptr, kLog, &handle, 0, "app"));
  EXPECT_EQ(p.opened_channel, static_cast<IStream_layoutInitiator*>(handle)->ipcHandle());
  p.deinit_status = NELKO_CORE_STATUS_INTERNAL_EXCEPTION_CAUGHT;
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_initiator_deinit(handle));
  EXPECT_EQ(std::vector<std::string>{"app"}, p.init_names);
  EXPECT_EQ(std::vector<void*>{p.opened_channel}, p.deinits);
  EXPECT_EQ(std::vector<std::string>{"~nelkoInitiatorInterfaces: failed call to initiator deinit (7)"},
            p.log_texts());
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_initiator_deinit(nullptr));
}

TEST(Lifecycle, ChannelThatCannotBeOpenedFailsWithOneLogLine) {
  fake::Platform& p = fake::Platform::get();
  p.reset();
  p.init_status = NELKO_CORE_STATUS_IPC_FAILED;
  void* const untouched = reinterpret_cast<void*>(0x77);
  void* handle = untouched;
  EXPECT_EQ(NELKO_CORE_STATUS_ALLOC_FAILED,
            nelko_api_stream_layout_initiator_init(nullptr, kLog, &handle, 0, "app"));
  EXPECT_EQ(untouched, handle);
  ASSERT_EQ(1u, p.log.size());
  EXPECT_EQ(kLog, p.log[0].handle);
  EXPECT_EQ(NELKO_CORE_LOG_PRIORITY_ERR, p.log[0].priority);
  EXPECT_EQ("nelkoInitiatorInterfaces: failed call to initiator init (4)", p.log[0].text);
  EXPECT_TRUE(p.deinits.empty());
}

}  // namespace
