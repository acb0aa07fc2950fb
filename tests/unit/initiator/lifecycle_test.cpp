// Making and destroying handles, and the request identifiers they draw.
#include <cstdlib>
#include <regex>
#include <set>
#include <thread>

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
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_initiator_init(reinterpret_cast<void*>(0xc4a2), kLog, &handle,
                                                   0, nullptr));
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_initiator_deinit(handle));
  EXPECT_TRUE(p.init_names.empty());
  EXPECT_TRUE(p.deinits.empty());
  EXPECT_TRUE(p.registrations.empty());

  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_initiator_init(nullptr, kLog, &handle, 0, "app"));
  EXPECT_EQ(p.opened_channel, static_cast<IStream_layoutInitiator*>(handle)->ipcHandle());
  p.deinit_status = NELKO_CORE_STATUS_INTERNAL_EXCEPTION_CAUGHT;
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_initiator_deinit(handle));
  EXPECT_EQ(std::vector<std::string>{"app"}, p.init_names);
  EXPECT_EQ(std::vector<void*>{p.opened_channel}, p.deinits);
  EXPECT_EQ(std::vector<std::string>{"~nelkoInitiatorInterfaces: failed call to initiator deinit (7)"},
            p.logTexts());
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

// One handle drawing identifiers on several threads at once never repeats one.
TEST_F(InitiatorTest, IdentifiersAreVersionFourUuidsUniqueAcrossThreads) {
  std::regex const form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<std::vector<std::string>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        char* uuid = object()->generateUUID();
        drawn[t].push_back(uuid);
        std::free(uuid);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> unique;
  for (auto const& texts : drawn) {
    for (auto const& text : texts) {
      ASSERT_TRUE(std::regex_match(text, form)) << text;
      unique.insert(text);
    }
  }
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kPerThread), unique.size());
}

}  // namespace
