// Making and destroying handles: which channel a handle opens and closes, what a callback may do
// to handles, and the request identifiers of a forked child.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include "initiator_fixture.h"
#include "nelko_interfaces.h"

namespace {

void* const kLog = reinterpret_cast<void*>(0x10c);

// A lent channel is never opened nor closed; an owned one is opened under the given name and
// closed once, and a failing open or close is logged.
TEST(Lifecycle, OnlyAnOwnedChannelIsOpenedAndClosed) {
  fake::Platform& p = fake::Platform::get();
  p.reset();
  void* handle = nullptr;
  EXPECT_EQ(kInvalid, nelko_api_stream_layout_initiator_init(nullptr, kLog, nullptr, 0, "app"));
  // A channel to open needs a name: a caller's mistake, not a failure to allocate.
  EXPECT_EQ(kInvalid, nelko_api_stream_layout_initiator_init(nullptr, kLog, &handle, 0, nullptr));
  EXPECT_EQ(nullptr, handle);
  ASSERT_EQ(kOk, nelko_api_stream_layout_initiator_init(reinterpret_cast<void*>(0xc4a2), kLog,
                                                        &handle, 0, nullptr));
  EXPECT_EQ(kOk, nelko_api_stream_layout_initiator_deinit(handle));
  EXPECT_TRUE(p.init_names.empty());
  EXPECT_TRUE(p.deinits.empty());
  // Withdrawn even though it never sent asynchronously: that also drops its synchronous requests.
  ASSERT_EQ(1u, p.registrations.size());
  EXPECT_TRUE(p.registrations[0].withdraw);
  EXPECT_EQ(handle, p.registrations[0].user);

  ASSERT_EQ(kOk, nelko_api_stream_layout_initiator_init(nullptr, kLog, &handle, 0, "app"));
  EXPECT_EQ(p.opened_channel, static_cast<IStream_layoutInitiator*>(handle)->ipcHandle());
  p.deinit_status = NELKO_CORE_STATUS_INTERNAL_EXCEPTION_CAUGHT;
  EXPECT_EQ(kOk, nelko_api_stream_layout_initiator_deinit(handle));
  EXPECT_EQ(std::vector<std::string>{"app"}, p.init_names);
  EXPECT_EQ(std::vector<void*>{p.opened_channel}, p.deinits);
  EXPECT_EQ(std::vector<std::string>{"~nelkoInitiatorInterfaces: failed call to initiator deinit (7)"},
            p.log_texts());
  EXPECT_EQ(kOk, nelko_api_stream_layout_initiator_deinit(nullptr));

  // One that cannot be opened fails the init with one log line and leaves the variable alone.
  p.reset();
  p.init_status = kFailed;
  void* const untouched = reinterpret_cast<void*>(0x77);
  handle = untouched;
  EXPECT_EQ(NELKO_CORE_STATUS_ALLOC_FAILED,
            nelko_api_stream_layout_initiator_init(nullptr, kLog, &handle, 0, "app"));
  EXPECT_EQ(untouched, handle);
  ASSERT_EQ(1u, p.log.size());
  EXPECT_EQ(kLog, p.log[0].handle);
  EXPECT_EQ(NELKO_CORE_LOG_PRIORITY_ERR, p.log[0].priority);
  EXPECT_EQ("nelkoInitiatorInterfaces: failed call to initiator init (4)", p.log[0].text);
  EXPECT_TRUE(p.deinits.empty());
}

// What a callback may do to handles: deinit its own handle (on a lent or an owned channel) or
// another handle of its channel, and cancel or send on its handle afterwards. Freed memory touched
// on the way shows up under AddressSanitizer.

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
    EXPECT_EQ(kOk, nelko_api_stream_layout_initiator_init(on_channel, log_handle, &made, 0, "app"));
    return made;
  }
  // Sends a Get_roi on `pending_on` that is never to be called back (its identifier goes to
  // `pending`), then a Get_num_roi on `on` whose answer runs `callback`, and delivers that answer.
  void pending_then_answered(void* pending_on, void* on,
                             nelko_api_stream_layout_get_num_roi_method_callback_func_ptr callback,
                             std::string& pending) {
    ASSERT_EQ(kOk, nelko_api_stream_layout_get_roi_send_async(pending_on, "t", 0, 0, never_called,
                                                              &kUser));
    pending = last_uuid();
    ASSERT_EQ(kOk, nelko_api_stream_layout_get_num_roi_send_async(on, "t", callback, &kUser));
    ASSERT_TRUE(platform.deliver(on, "Get_num_roi", last_uuid(), R"({"status":0,"num":1})"));
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
  std::string pending;
  ASSERT_NO_FATAL_FAILURE(pending_then_answered(own, own, deinit_itself, pending));

  EXPECT_EQ(1, g_seen.calls);
  EXPECT_EQ(kOk, g_seen.deinit);
  EXPECT_EQ(kOk, g_seen.cancel);
  EXPECT_EQ(kInvalid, g_seen.send) << "a doomed handle must not register";
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
  std::string pending;
  ASSERT_NO_FATAL_FAILURE(pending_then_answered(second, first, deinit_other, pending));
  EXPECT_EQ(kOk, g_seen.deinit);
  EXPECT_FALSE(platform.deliver(second, "Get_roi", pending, R"({"status":0})"));

  // The first handle is unaffected.
  ASSERT_EQ(kOk, nelko_api_stream_layout_get_num_roi_send_async(first, "t", count_num, &kUser));
  ASSERT_TRUE(platform.deliver(first, "Get_num_roi", last_uuid(), R"({"status":0,"num":1})"));
  EXPECT_EQ(2, g_seen.calls);
  EXPECT_EQ(kOk, nelko_api_stream_layout_initiator_deinit(first));
}

// Request identifiers in a child made by fork(): each thread draws from an engine of its own,
// which a child inherits; it must not draw what its parent goes on to draw. (Distinct
// identifiers across threads and handles are checked in the fault suite.)

constexpr int kDrawn = 100;
constexpr std::size_t kLength = 36;

std::string draw(nelkoInterfaces& object) {
  std::string drawn;
  for (int i = 0; i < kDrawn; ++i) {
    char* text = object.generateUUID();
    drawn.append(text, kLength);
    std::free(text);
  }
  return drawn;
}

TEST(RequestIdentifiers, AForkedChildDrawsOthersThanItsParent) {
  nelkoInterfaces object(nullptr, 1, 0);
  draw(object);  // this thread's engine is seeded before the fork
  int ends[2];
  ASSERT_EQ(0, ::pipe(ends));
  pid_t const child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string const drawn = draw(object);
    ::_exit(::write(ends[1], drawn.data(), drawn.size()) == static_cast<ssize_t>(drawn.size()) ? 0
                                                                                               : 1);
  }
  ::close(ends[1]);
  std::string const parent = draw(object);
  std::string from_child;
  char buffer[4096];
  for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
    from_child.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(ends[0]);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(kDrawn * kLength, from_child.size());
  std::set<std::string> drawn;
  for (std::size_t at = 0; at < parent.size(); at += kLength)
    drawn.insert(parent.substr(at, kLength));
  for (std::size_t at = 0; at < from_child.size(); at += kLength)
    drawn.insert(from_child.substr(at, kLength));
  EXPECT_EQ(2u * kDrawn, drawn.size()) << "parent and child drew the same identifiers";
}

}  // namespace
