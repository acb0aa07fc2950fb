// cancel_async of every command, through the exported functions: when it returns, no callback of
// the cancelled (callback, user_data) pair is running or will run, whether the answer comes after
// the cancel or is being delivered on another thread while cancel is called.
#include <atomic>
#include <chrono>
#include <thread>

#include "initiator_fixture.h"

namespace {

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
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, TypeParam::send(this->handle, callback));
  std::string uuid = this->last_uuid();
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, TypeParam::cancel(this->handle, callback));
  this->deliver(Command::kName, uuid, answer);
  EXPECT_EQ(0, g_probe.started) << "a cancelled request completed";

  // Answered on another thread, whose callback is running when cancel is called.
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, TypeParam::send(this->handle, callback));
  uuid = this->last_uuid();
  std::thread io([&] { this->deliver(Command::kName, uuid, answer); });
  auto const give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (g_probe.started == 0 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::yield();
  }
  ASSERT_EQ(1, g_probe.started) << "the answer did not reach the callback";
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, TypeParam::cancel(this->handle, callback));
  EXPECT_FALSE(g_probe.running) << "cancel returned while the withdrawn callback ran";
  io.join();
  this->deliver(Command::kName, uuid, answer);
  EXPECT_EQ(1, g_probe.started) << "the withdrawn callback ran after cancel returned";
}

}  // namespace
