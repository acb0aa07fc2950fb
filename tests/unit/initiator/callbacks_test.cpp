// What a callback may do to handles: deinit its own handle (on a lent or an owned channel) or
// another handle of its channel, and cancel or send on its handle afterwards. Freed memory touched
// on the way shows up under AddressSanitizer.
#include <chrono>
#include <thread>

#include "initiator_fixture.h"

namespace {

int kUser;

// What the callbacks below did, for the test to check after the delivery.
struct Seen {
  void* handle = nullptr;  // the handle the callback acts on
  int calls = 0;
  nelko_core_status deinit = NELKO_CORE_STATUS_DISABLED_TARGET;
  nelko_core_status cancel = NELKO_CORE_STATUS_DISABLED_TARGET;
  nelko_core_status send = NELKO_CORE_STATUS_DISABLED_TARGET;
} g_seen;

void never_called(char*, nelko_core_status, double, double, double, double, void*) {
  ++g_seen.calls;
  ADD_FAILURE() << "a callback of a destroyed handle ran";
}
void count_num(char*, nelko_core_status, unsigned int, void*) {
  ++g_seen.calls;
}

// Destroys its own handle, then still cancels and sends on it, as a client might on its way out.
void deinit_itself(char*, nelko_core_status, unsigned int, void*) {
  ++g_seen.calls;
  g_seen.deinit = nelko_api_stream_layout_initiator_deinit(g_seen.handle);
  g_seen.cancel = nelko_api_stream_layout_get_roi_cancel_async(g_seen.handle, never_called, &kUser);
  g_seen.send =
      nelko_api_stream_layout_get_roi_send_async(g_seen.handle, "t", 0, 0, never_called, &kUser);
}

void deinit_other(char*, nelko_core_status, unsigned int, void*) {
  ++g_seen.calls;
  g_seen.deinit = nelko_api_stream_layout_initiator_deinit(g_seen.handle);
}

class CallbackLifecycle : public InitiatorTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    InitiatorTest::SetUp();
    g_seen = Seen();
  }
  void* make_handle(void* on_channel) {
    void* made = nullptr;
    EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR,
              nelko_api_stream_layout_initiator_init(on_channel, log_handle, &made, 0, "app"));
    return made;
  }
  std::size_t closes() {
    std::lock_guard<std::mutex> lock(platform.mutex);
    return platform.deinits.size();
  }
};

// The handle goes after the callback has returned and its lock is released; deinit returns 0 at
// once. Its own channel is closed exactly once, and not by the thread that delivers (which the
// core refuses): by another thread, shortly after.
TEST_P(CallbackLifecycle, DeinitOfItsOwnHandle) {
  bool const owned = GetParam();
  void* own = make_handle(owned ? nullptr : channel);
  g_seen.handle = own;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_roi_send_async(own, "t", 0, 0, never_called, &kUser));
  std::string const pending = last_uuid();
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_num_roi_send_async(own, "t", deinit_itself, &kUser));
  ASSERT_TRUE(platform.deliver(own, "Get_num_roi", last_uuid(), R"({"status":0,"num":1})"));

  EXPECT_EQ(1, g_seen.calls);
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, g_seen.deinit);
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, g_seen.cancel);
  EXPECT_EQ(NELKO_CORE_STATUS_INVALID_PARAMS, g_seen.send) << "a doomed handle must not register";
  EXPECT_FALSE(platform.deliver(own, "Get_roi", pending, R"({"status":0})"));
  if (owned) {
    auto const give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (closes() == 0 && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::lock_guard<std::mutex> lock(platform.mutex);
  EXPECT_EQ(owned ? std::vector<void*>{platform.opened_channel} : std::vector<void*>{},
            platform.deinits);
  EXPECT_TRUE(platform.refused_deinits.empty());
  EXPECT_TRUE(platform.log.empty());
}

INSTANTIATE_TEST_SUITE_P(LentAndOwnedChannel, CallbackLifecycle, ::testing::Bool());

// Another handle of the same channel goes at once: nothing of it runs afterwards.
TEST_F(CallbackLifecycle, DeinitOfAnotherHandleOfItsChannel) {
  void* first = make_handle(channel);
  void* second = make_handle(channel);
  g_seen.handle = second;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_roi_send_async(second, "t", 0, 0, never_called, &kUser));
  std::string const pending = last_uuid();
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_num_roi_send_async(first, "t", deinit_other, &kUser));
  ASSERT_TRUE(platform.deliver(first, "Get_num_roi", last_uuid(), R"({"status":0,"num":1})"));
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, g_seen.deinit);
  EXPECT_FALSE(platform.deliver(second, "Get_roi", pending, R"({"status":0})"));

  // The first handle is unaffected.
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_num_roi_send_async(first, "t", count_num, &kUser));
  ASSERT_TRUE(platform.deliver(first, "Get_num_roi", last_uuid(), R"({"status":0,"num":1})"));
  EXPECT_EQ(2, g_seen.calls);
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_initiator_deinit(first));
}

}  // namespace
