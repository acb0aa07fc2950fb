// Asynchronous requests: registration, registries, completions and cancelling.
#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "initiator_fixture.h"

namespace {

struct Call {
  std::string first;
  nelko_core_status status;
  std::vector<double> values;
  void* user;
};
std::vector<Call> g_calls;

void on_num(char* first, nelko_core_status status, unsigned int num, void* user) {
  g_calls.push_back({first, status, {static_cast<double>(num)}, user});
}
void on_roi(char* first, nelko_core_status status, double pan, double tilt, double roll,
            double vfov, void* user) {
  g_calls.push_back({first, status, {pan, tilt, roll, vfov}, user});
}
std::vector<std::vector<unsigned int>> g_layout;
void on_layout(char*, nelko_core_status status, unsigned int** l1, unsigned int** l2,
               unsigned int** l3, unsigned int** l4, unsigned int** l5, unsigned int** l6,
               unsigned int** l7, unsigned int** l8, unsigned int** l9, void* user) {
  g_calls.push_back({"", status, {}, user});
  g_layout.clear();
  for (unsigned int** list : {l1, l2, l3, l4, l5, l6, l7, l8, l9}) {
    g_layout.push_back(list != nullptr ? list_values(list) : std::vector<unsigned int>{99999});
  }
}
void throwing(char*, nelko_core_status, unsigned int, void*) { throw std::runtime_error("client"); }

class Async : public InitiatorTest {
 protected:
  void SetUp() override {
    InitiatorTest::SetUp();
    g_calls.clear();
  }
  std::size_t pending() {
    auto& registry = object()->registry<nelko::stream_layout::GetNumRoi>();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.size();
  }
};

int kA, kB;

TEST_F(Async, CompletionCallsTheClientWithTheResultsAndKeepsTheEntry) {
  ASSERT_EQ(kOk, nelko_api_stream_layout_get_roi_send_async(handle, "t", 1, 0, on_roi, &kA));
  EXPECT_EQ(R"({"command":"Get_roi","roi_index":1,"roi_set":0})", sent_text());
  ASSERT_EQ(1u, platform.registrations.size());
  EXPECT_EQ(channel, platform.registrations[0].channel);
  EXPECT_EQ(handle, platform.registrations[0].user);
  std::string uuid = last_uuid();

  deliver("Get_roi", uuid, R"({"status":0,"pan":10,"tilt":-5.5,"roll":1,"vfov":45,"x":1})");
  deliver("Get_roi", uuid, R"({"status":9,"pan":10})");
  // Results are found by name, whatever their order.
  deliver("Get_roi", uuid, R"({"vfov":4,"roll":3,"tilt":2,"pan":1,"status":0})");
  ASSERT_EQ(3u, g_calls.size());
  EXPECT_EQ((std::vector<double>{1, 2, 3, 4}), g_calls[2].values);
  EXPECT_EQ("stream_layout", g_calls[0].first);
  EXPECT_EQ(kOk, g_calls[0].status);
  EXPECT_EQ((std::vector<double>{10, -5.5, 1, 45}), g_calls[0].values);
  EXPECT_EQ(&kA, g_calls[0].user);
  EXPECT_EQ(NELKO_CORE_STATUS_REMOTE_FUNCTION_FAILURE, g_calls[1].status);
  EXPECT_EQ((std::vector<double>{0, 0, 0, 0}), g_calls[1].values);
  EXPECT_TRUE(platform.log.empty());

  // Withdrawn: a later response finds nothing, is logged and calls nothing.
  EXPECT_EQ(kOk, nelko_api_stream_layout_get_roi_cancel_async(handle, on_roi, &kA));
  deliver("Get_roi", uuid, R"({"status":0})");
  EXPECT_EQ(3u, g_calls.size());
  EXPECT_EQ(std::vector<std::string>{"received a callback for Get_roi but no initiator callback was registered"},
            platform.log_texts());
  EXPECT_EQ(NELKO_CORE_LOG_PRIORITY_WARNING, platform.log[0].priority);

  // An unknown command is ignored silently.
  deliver("Get_everything", uuid, R"({"status":0})");
  EXPECT_EQ(1u, platform.log.size());
}

// A response that cannot be read strictly, or a client function that throws, is logged; the
// registry's lock is left free and the next response works.
TEST_F(Async, ReadingFailuresAndThrowingClientsAreLoggedAndSurvived) {
  ASSERT_EQ(kOk, nelko_api_stream_layout_get_num_roi_send_async(handle, "t", on_num, &kA));
  std::string uuid = last_uuid();
  deliver("Get_num_roi", uuid, R"({"num":3})");
  deliver("Get_num_roi", uuid, R"({"status":0})");
  deliver("Get_num_roi", uuid, R"({"status":"0","num":3})");
  EXPECT_TRUE(g_calls.empty());
  deliver("Get_num_roi", uuid, R"({"status":0,"num":2.9})");
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ(2.0, g_calls[0].values[0]);

  nelko_api_stream_layout_get_num_roi_send_async(handle, "t", throwing, &kA);
  deliver("Get_num_roi", last_uuid(), R"({"status":0,"num":1})");
  EXPECT_EQ(std::vector<std::string>(4, "Threw an exception in function stream_layoutGet_num_roiCallback"),
            platform.log_texts());
  auto cancelled = std::async(std::launch::async, [&] {
    return nelko_api_stream_layout_get_num_roi_cancel_async(handle, throwing, &kA);
  });
  ASSERT_EQ(std::future_status::ready, cancelled.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ(kOk, cancelled.get());
}

TEST_F(Async, CancelRemovesOnlyEntriesMatchingBothFunctionAndUserData) {
  platform.register_status = NELKO_CORE_STATUS_DISABLED_TARGET;  // nothing is kept nor sent
  EXPECT_EQ(NELKO_CORE_STATUS_DISABLED_TARGET,
            nelko_api_stream_layout_get_num_roi_send_async(handle, "t", on_num, &kA));
  EXPECT_EQ(0u, pending());
  EXPECT_TRUE(platform.sent.empty());
  platform.register_status = kOk;
  platform.send_status = kFailed;  // entries stay even when sending fails
  EXPECT_EQ(kFailed, nelko_api_stream_layout_get_num_roi_send_async(handle, "t", on_num, &kA));
  platform.send_status = kOk;
  nelko_api_stream_layout_get_num_roi_send_async(handle, "t", on_num, &kB);
  std::string kept = last_uuid();
  nelko_api_stream_layout_get_num_roi_send_async(handle, "t", on_num, &kA);
  nelko_api_stream_layout_get_num_roi_send_async(handle, "t", on_num, &kA);
  nelko_api_stream_layout_get_num_roi_send_async(handle, "t", throwing, &kA);
  EXPECT_EQ(5u, pending());
  EXPECT_EQ(6u, platform.registrations.size());  // registered before every request

  EXPECT_EQ(kOk, nelko_api_stream_layout_get_num_roi_cancel_async(handle, on_num, &kA));
  EXPECT_EQ(2u, pending());
  deliver("Get_num_roi", kept, R"({"status":0,"num":4})");
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ(&kB, g_calls[0].user);
  EXPECT_EQ(kOk, nelko_api_stream_layout_get_num_roi_cancel_async(handle, on_num, &kA));
  EXPECT_EQ(kOk, nelko_api_stream_layout_get_num_roi_cancel_async(handle, nullptr, nullptr));
  EXPECT_EQ(2u, pending());

  // An identifier recorded again belongs to its latest client only, and goes with it.
  auto& registry = object()->registry<nelko::stream_layout::GetNumRoi>();
  std::unique_lock<std::mutex> lock(registry.mutex);
  registry.add("again", on_num, &kA);
  registry.add("again", on_num, &kB);
  EXPECT_EQ(3u, registry.size());
  registry.withdraw(on_num, &kA, lock);
  ASSERT_NE(nullptr, registry.find("again"));
  EXPECT_EQ(&kB, registry.find("again")->second);
  registry.withdraw(on_num, &kB, lock);
  EXPECT_EQ(nullptr, registry.find("again"));
  EXPECT_EQ(1u, registry.size());
}

TEST_F(Async, LayoutListsAreHandedInKeyOrderAndConversionFailuresSkipTheClient) {
  nelko_api_stream_layout_get_stream_layout_send_async(handle, "t", 0, on_layout, &kA);
  std::string uuid = last_uuid();
  std::string arrays;
  for (auto const* key : nelko::stream_layout::kLayoutKeys) {
    bool const facets = std::string(key) == "destination_type";
    arrays += std::string(",\"") + key + "\":[" + (facets ? "1,2,3" : "7") + "]";
  }
  deliver("Get_stream_layout", uuid, R"({"status":0)" + arrays + "}");
  ASSERT_EQ(1u, g_calls.size());
  ASSERT_EQ(9u, g_layout.size());
  EXPECT_EQ((std::vector<unsigned int>{1, 2, 3}), g_layout[4]);
  EXPECT_EQ(std::vector<unsigned int>{7}, g_layout[8]);

  deliver("Get_stream_layout", uuid, R"({"status":5})");
  ASSERT_EQ(2u, g_calls.size());
  EXPECT_EQ(std::vector<unsigned int>{99999}, g_layout[0]) << "null lists on a failure status";

  deliver("Get_stream_layout", uuid, R"({"status":0,"source_upper_left_x_millipercent":[1]})");
  deliver("Get_stream_layout", uuid, R"({"status":0,"source_upper_left_x_millipercent":["x"]})");
  EXPECT_EQ(2u, g_calls.size());
  EXPECT_EQ(std::vector<std::string>(
                2, "Threw an exception in function stream_layoutGet_stream_layoutCallback"),
            platform.log_texts());
}

// A client function may send and cancel its own command on its own handle: the completion does
// not hold the command's lock while it runs, nor does another thread's cancel of that very
// function, which waits for it meanwhile.
void* g_handle;
nelko_core_status g_reentrant[3];
std::atomic<bool> g_reentrant_runs{false}, g_cancel_comes{false};
void reentrant(char*, nelko_core_status, unsigned int, void*) {
  g_reentrant_runs = true;
  while (!g_cancel_comes) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the cancel waits for this call
  g_reentrant[0] = nelko_api_stream_layout_get_num_roi_send_async(g_handle, "t", on_num, &kB);
  g_reentrant[1] = nelko_api_stream_layout_get_num_roi_cancel_async(g_handle, reentrant, &kA);
  g_reentrant[2] = nelko_api_stream_layout_get_roi_send_async(g_handle, "t", 0, 0, on_roi, &kB);
}

TEST_F(Async, OwnCommandFromInsideACompletion) {
  g_handle = handle;
  nelko_api_stream_layout_get_num_roi_send_async(handle, "t", reentrant, &kA);
  g_reentrant_runs = g_cancel_comes = false;
  auto done = std::async(std::launch::async, [&] {
    deliver("Get_num_roi", last_uuid(), R"({"status":0,"num":1})");
  });
  auto cancelled = std::async(std::launch::async, [&] {
    while (!g_reentrant_runs) std::this_thread::yield();
    g_cancel_comes = true;
    return nelko_api_stream_layout_get_num_roi_cancel_async(handle, reentrant, &kA);
  });
  ASSERT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ(kOk, cancelled.get());
  EXPECT_EQ((std::vector<nelko_core_status>(3, kOk)),
            std::vector<nelko_core_status>(g_reentrant, g_reentrant + 3));
  EXPECT_EQ(1u, pending());  // the callback withdrew itself and sent one more
}

// Once a handle's destruction has begun, waiting for a cancel that waits for a running callback,
// a further cancel is refused with 1 at once instead of being let in behind it.
std::atomic<bool> g_release{false};
void held_callback(char*, nelko_core_status, unsigned int, void*) {
  while (!g_release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST_F(Async, CancelAfterTheHandlesDestructionBeganIsRefused) {
  void* mine = nullptr;
  ASSERT_EQ(kOk, nelko_api_stream_layout_initiator_init(channel, log_handle, &mine, 0, nullptr));
  int user = 0;
  ASSERT_EQ(kOk, nelko_api_stream_layout_get_num_roi_send_async(mine, "t", held_callback, &user));
  std::string const uuid = last_uuid();
  g_release = false;
  std::thread io([&] {
    platform.deliver(mine, "Get_num_roi", uuid, R"({"status":0,"num":1})");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the callback runs
  auto waiting_cancel = std::async(std::launch::async, [&] {
    return nelko_api_stream_layout_get_num_roi_cancel_async(mine, held_callback, &user);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // it waits for the callback
  auto deinit = std::async(std::launch::async,
                           [&] { return nelko_api_stream_layout_initiator_deinit(mine); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // it waits for the cancel
  int other = 0;
  EXPECT_EQ(kInvalid, nelko_api_stream_layout_get_num_roi_cancel_async(mine, held_callback, &other));
  g_release = true;
  io.join();
  EXPECT_EQ(kOk, waiting_cancel.get());
  EXPECT_EQ(kOk, deinit.get());
}

// Two handles whose callbacks, running at the same time on two delivering threads, each send the
// same command on the other handle: neither may wait for the other.
struct Crossing {
  void* other;
  nelko_core_status status;
};
std::atomic<int> g_crossing{0};
void crossing(char*, nelko_core_status, unsigned int, void* user) {
  auto* self = static_cast<Crossing*>(user);
  for (++g_crossing; g_crossing < 2;) std::this_thread::yield();  // until both run
  self->status = nelko_api_stream_layout_get_num_roi_send_async(self->other, "t", on_num, &kB);
}

TEST_F(Async, CallbacksOfTwoHandlesMaySendToEachOtherAtOnce) {
  void* second = nullptr;
  ASSERT_EQ(kOk, nelko_api_stream_layout_initiator_init(channel, log_handle, &second, 0, nullptr));
  Crossing a{second, kFailed}, b{handle, kFailed};
  g_crossing = 0;
  nelko_api_stream_layout_get_num_roi_send_async(handle, "t", crossing, &a);
  std::string const first = last_uuid();
  nelko_api_stream_layout_get_num_roi_send_async(second, "t", crossing, &b);
  std::string const other = last_uuid();
  auto one = std::async(std::launch::async, [&] {
    platform.deliver(handle, "Get_num_roi", first, R"({"status":0,"num":1})");
  });
  auto two = std::async(std::launch::async, [&] {
    platform.deliver(second, "Get_num_roi", other, R"({"status":0,"num":1})");
  });
  ASSERT_EQ(std::future_status::ready, one.wait_for(std::chrono::seconds(5)));
  ASSERT_EQ(std::future_status::ready, two.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ(kOk, a.status);
  EXPECT_EQ(kOk, b.status);
  EXPECT_EQ(kOk, nelko_api_stream_layout_initiator_deinit(second));
}

// The registry tells identifiers apart by all of their text, also those alike in their first
// bytes, and also when it records them in the places of withdrawn ones.
TEST_F(Async, IdentifiersAlikeInTheirFirstBytesKeepTheirOwnEntries) {
  auto& registry = object()->registry<nelko::stream_layout::GetNumRoi>();
  std::unique_lock<std::mutex> lock(registry.mutex);
  for (auto const& [uuid, user] : std::vector<std::pair<char const*, int*>>{
           {"0123456789abcdef-2", &kB}, {"0123456789abcdef-1", &kA}, {"01234567", &kB},
           {"01234568", &kA}, {"0", &kA}}) {
    registry.add(uuid, on_num, user);
  }
  EXPECT_EQ(5u, registry.size());
  EXPECT_EQ(&kA, registry.find("0123456789abcdef-1")->second);
  EXPECT_EQ(&kB, registry.find("0123456789abcdef-2")->second);
  EXPECT_EQ(&kB, registry.find("01234567")->second);
  EXPECT_EQ(nullptr, registry.find("0123456789abcdef-3"));
  EXPECT_EQ(nullptr, registry.find("0123456789abcdef"));

  // Entries recorded in the places of withdrawn ones (identifiers of other lengths) are found.
  registry.withdraw(on_num, &kA, lock);
  for (char const* uuid : {"k1", "k2", "k3"}) registry.add(uuid, on_num, &kA);
  EXPECT_EQ(5u, registry.size());
  for (char const* uuid : {"k1", "k2", "k3"}) EXPECT_NE(nullptr, registry.find(uuid)) << uuid;
}

// cancel_async of every command, through the exported functions: when it returns, no callback of
// the cancelled (callback, user_data) pair is running or will run, whether the answer comes after
// the cancel or is being delivered on another thread while cancel is called.

// Long enough that a cancel that does not wait for a running callback returns while it runs.
constexpr auto kSlowCallback = std::chrono::milliseconds(100);

struct Probe {
  std::atomic<int> started{0};
  std::atomic<bool> running{false};
} g_probe;

// A slow client function of the command whose results are R.
template <typename Results>
struct ProbeOf;
template <typename... R>
struct ProbeOf<std::tuple<R...>> {
  static void callback(char*, nelko_core_status, R..., void*) {
    g_probe.running = true;
    ++g_probe.started;
    std::this_thread::sleep_for(kSlowCallback);
    g_probe.running = false;
  }
};

int kUser;
unsigned int* g_emptyCells[1] = {nullptr};
unsigned int** const kEmpty = g_emptyCells;

// The send_async and cancel_async of one command; `...` are its arguments up to the callback.
#define NELKO_CANCEL_CASE(Command, function, ...)                                           \
  struct Command##Case {                                                                    \
    using Cmd = nelko::stream_layout::Command;                                              \
    static nelko_core_status send(void* handle, Cmd::Callback callback) {                   \
      return nelko_api_stream_layout_##function##_send_async(handle, __VA_ARGS__, callback, \
                                                             &kUser);                       \
    }                                                                                       \
    static nelko_core_status cancel(void* handle, Cmd::Callback callback) {                 \
      return nelko_api_stream_layout_##function##_cancel_async(handle, callback, &kUser);   \
    }                                                                                       \
  };
NELKO_CANCEL_CASE(GetStreamLayout, get_stream_layout, "t", 0)
NELKO_CANCEL_CASE(SetStreamLayout, set_stream_layout, "t", 0, kEmpty, kEmpty, kEmpty, kEmpty,
                  kEmpty, kEmpty, kEmpty, kEmpty, kEmpty)
NELKO_CANCEL_CASE(StreamPointToPanTilt, stream_point_to_pan_tilt, "t", 0, 1, 1)
NELKO_CANCEL_CASE(GetNumRoi, get_num_roi, "t")
NELKO_CANCEL_CASE(GetRoi, get_roi, "t", 0, 0)
NELKO_CANCEL_CASE(SetRoi, set_roi, "t", 0, 0, 1, 2, 3, 4)
NELKO_CANCEL_CASE(GetTargetVersion, __get_target_version__, "t")
#undef NELKO_CANCEL_CASE

template <typename Case>
class CancelEveryCommand : public InitiatorTest {};
using Cases = ::testing::Types<GetStreamLayoutCase, SetStreamLayoutCase, StreamPointToPanTiltCase,
                               GetNumRoiCase, GetRoiCase, SetRoiCase, GetTargetVersionCase>;
TYPED_TEST_SUITE(CancelEveryCommand, Cases);

TYPED_TEST(CancelEveryCommand, NoCallbackOfThePairRunsOrWillRunOnceCancelReturns) {
  using Command = typename TypeParam::Cmd;
  auto* const callback = &ProbeOf<typename Command::Results>::callback;
  // A failure status calls every command's function without reading results.
  std::string const answer = R"({"status":9})";
  g_probe.started = 0;

  // Answered after the cancel.
  ASSERT_EQ(kOk, TypeParam::send(this->handle, callback));
  std::string uuid = this->last_uuid();
  ASSERT_EQ(kOk, TypeParam::cancel(this->handle, callback));
  this->deliver(Command::kName, uuid, answer);
  EXPECT_EQ(0, g_probe.started) << "a cancelled request completed";

  // Answered on another thread, whose callback is running when cancel is called.
  ASSERT_EQ(kOk, TypeParam::send(this->handle, callback));
  uuid = this->last_uuid();
  std::thread io([&] { this->deliver(Command::kName, uuid, answer); });
  auto const give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (g_probe.started == 0 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::yield();
  }
  ASSERT_EQ(1, g_probe.started) << "the answer did not reach the callback";
  EXPECT_EQ(kOk, TypeParam::cancel(this->handle, callback));
  EXPECT_FALSE(g_probe.running) << "cancel returned while the withdrawn callback ran";
  io.join();
  this->deliver(Command::kName, uuid, answer);
  EXPECT_EQ(1, g_probe.started) << "the withdrawn callback ran after cancel returned";
}

}  // namespace
