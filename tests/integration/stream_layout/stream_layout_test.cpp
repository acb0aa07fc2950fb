// The library against stream-layout-target in another process, through the real core and
// interfaces stand-ins: every command, completions, the frame limit and many threads on one
// handle. Slow, dying and restarted targets and cancelling are in the fault suite.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "nelko_api_stream_layout.h"
#include "nelko_core.h"
#include "child_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using nelko::test::TargetProcess;
constexpr char kTarget[] = "stream_layout";
// How much later than its time-out a call may return: scheduling noise, more under an emulator.
#ifdef STREAM_LAYOUT_TARGET_EMULATOR
constexpr long kSlackMs = 2000;
#else
constexpr long kSlackMs = 250;
#endif

long ms_since(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Collects completions; waits for a number of them.
struct Completions {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
  nelko_core_status last_status = NELKO_CORE_STATUS_NO_ERROR;
  std::vector<double> last_values;
  std::string first_text;
  std::thread::id thread;

  void add(char* first, nelko_core_status status, std::vector<double> values) {
    std::lock_guard<std::mutex> lock(mutex);
    ++count;
    last_status = status;
    last_values = std::move(values);
    first_text = first != nullptr ? first : "";
    thread = std::this_thread::get_id();
    changed.notify_all();
  }
  bool wait_for(int n, int timeout_ms = 5000) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return count >= n; });
  }
  int seen() {
    std::lock_guard<std::mutex> lock(mutex);
    return count;
  }
};

Completions* as(void* user) { return static_cast<Completions*>(user); }
void on_version(char* f, nelko_core_status s, unsigned int major, unsigned int minor, void* u) {
  as(u)->add(f, s, {double(major), double(minor)});
}
void on_layout(char* f, nelko_core_status s, unsigned int** l1, unsigned int**, unsigned int**,
               unsigned int**, unsigned int** facets, unsigned int**, unsigned int**,
               unsigned int**, unsigned int** l9, void* u) {
  std::vector<double> values;
  for (unsigned int** list : {l1, facets, l9}) {
    for (unsigned int** cell = list; cell != nullptr && *cell != nullptr; ++cell) {
      values.push_back(**cell);
    }
  }
  as(u)->add(f, s, values);
}
void on_done(char* f, nelko_core_status s, void* u) { as(u)->add(f, s, {}); }
void on_point(char* f, nelko_core_status s, double pan, double tilt, void* u) {
  as(u)->add(f, s, {pan, tilt});
}
void on_num(char* f, nelko_core_status s, unsigned int num, void* u) {
  as(u)->add(f, s, {double(num)});
}
void on_roi(char* f, nelko_core_status s, double pan, double tilt, double roll, double vfov,
           void* u) {
  as(u)->add(f, s, {pan, tilt, roll, vfov});
}

struct Lists {
  unsigned int** l[9] = {};
  explicit Lists(std::vector<std::vector<unsigned int>> const& values = {}) {
    for (std::size_t i = 0; i < values.size() && i < 9; ++i) {
      l[i] = nelko_core_alloc_uint_array(static_cast<unsigned int>(values[i].size()));
      for (std::size_t j = 0; j < values[i].size(); ++j) *l[i][j] = values[i][j];
    }
  }
  ~Lists() {
    for (auto* list : l) nelko_core_free_uint_array(list);
  }
  std::vector<unsigned int> values(int i) const {
    std::vector<unsigned int> out;
    for (unsigned int** cell = l[i]; cell != nullptr && *cell != nullptr; ++cell) out.push_back(**cell);
    return out;
  }
};

class StreamLayout : public ::testing::Test {
 protected:
  void open(std::vector<std::string> options = {}) {
    target.reset(new TargetProcess(std::move(options)));
    ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
              nelko_api_stream_layout_initiator_init(nullptr, nullptr, &handle, 0, "test"));
  }
  void SetUp() override { open(); }
  void TearDown() override {
    EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_initiator_deinit(handle));
    handle = nullptr;
    target.reset();
  }
  void reopen(std::vector<std::string> options) {
    TearDown();
    open(std::move(options));
  }

  std::unique_ptr<TargetProcess> target;
  void* handle = nullptr;
};

// Each command is reached through the library; between them every call form is used once, so a
// form wired to the wrong outputs shows. The Lua suite runs every form of every command.
TEST_F(StreamLayout, VersionSyncAndAsync) {
  unsigned int major = 7, minor = 7;
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout___get_target_version___send(handle, kTarget, &major, &minor));
  EXPECT_EQ(0u, major);
  EXPECT_EQ(9u, minor);
  Completions done;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout___get_target_version___send_async(
                                            handle, kTarget, on_version, &done));
  ASSERT_TRUE(done.wait_for(1));
  EXPECT_EQ((std::vector<double>{0, 9}), done.last_values);
  EXPECT_EQ(kTarget, done.first_text);
  EXPECT_NE(std::this_thread::get_id(), done.thread);

  reopen({"--interface-version", "1.0"});
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout___get_target_version___send(handle, kTarget, &major, &minor));
  EXPECT_EQ(1u, major);
  EXPECT_EQ(0u, minor);
}

TEST_F(StreamLayout, LayoutRoundTrips) {
  Lists in({{0, 50000}, {0, 0}, {50000, 50000}, {100000, 100000}, {1, 13},
            {0, 50000}, {0, 0}, {50000, 50000}, {100000, 100000}});
  auto expect_read_back = [&](Lists const& out, char const* how) {
    for (int i = 0; i < 9; ++i) EXPECT_EQ(in.values(i), out.values(i)) << how << " list " << i;
  };
  // Stream 1: plain send, read back deferred with a blocking receive.
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_set_stream_layout_send(handle, kTarget, 1, in.l[0], in.l[1],
                                                           in.l[2], in.l[3], in.l[4], in.l[5],
                                                           in.l[6], in.l[7], in.l[8]));
  void* uuid = nullptr;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_stream_layout_non_blocking_send(handle, kTarget, &uuid, 1));
  Lists deferred;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_stream_layout_receive(
                handle, 1, kTarget, uuid, &deferred.l[0], &deferred.l[1], &deferred.l[2],
                &deferred.l[3], &deferred.l[4], &deferred.l[5], &deferred.l[6], &deferred.l[7],
                &deferred.l[8]));
  expect_read_back(deferred, "receive");

  // Stream 2: deferred send with a timed receive, read back with a timed send.
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_set_stream_layout_non_blocking_send(
                handle, kTarget, &uuid, 2, in.l[0], in.l[1], in.l[2], in.l[3], in.l[4], in.l[5],
                in.l[6], in.l[7], in.l[8]));
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_set_stream_layout_receive_with_timeout(
                                            handle, kTarget, 2000, uuid));
  Lists timed;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_stream_layout_send_with_timeout(
                handle, kTarget, 2000, 2, &timed.l[0], &timed.l[1], &timed.l[2], &timed.l[3],
                &timed.l[4], &timed.l[5], &timed.l[6], &timed.l[7], &timed.l[8]));
  expect_read_back(timed, "send_with_timeout");

  Completions done;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_set_stream_layout_send_async(
                handle, kTarget, 0, in.l[0], in.l[1], in.l[2], in.l[3], in.l[4], in.l[5], in.l[6],
                in.l[7], in.l[8], on_done, &done));
  ASSERT_TRUE(done.wait_for(1));
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, done.last_status);
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_get_stream_layout_send_async(
                                            handle, kTarget, 0, on_layout, &done));
  ASSERT_TRUE(done.wait_for(2));
  EXPECT_EQ((std::vector<double>{0, 50000, 1, 13, 100000, 100000}), done.last_values);

  // The target refuses a bad stream and mismatched lists; the client sees its status.
  Lists ragged({{0}, {0}, {1}, {1}, {0, 0}, {0}, {0}, {1}, {1}});
  EXPECT_EQ(NELKO_CORE_STATUS_INVALID_PARAMS,
            nelko_api_stream_layout_set_stream_layout_send(
                handle, kTarget, 0, ragged.l[0], ragged.l[1], ragged.l[2], ragged.l[3],
                ragged.l[4], ragged.l[5], ragged.l[6], ragged.l[7], ragged.l[8]));
  Lists out;
  EXPECT_EQ(NELKO_CORE_STATUS_INVALID_PARAMS,
            nelko_api_stream_layout_get_stream_layout_send(handle, kTarget, 99, &out.l[0], &out.l[1],
                                                           &out.l[2], &out.l[3], &out.l[4],
                                                           &out.l[5], &out.l[6], &out.l[7],
                                                           &out.l[8]));
  EXPECT_EQ(nullptr, out.l[0]);
}

// A command over the frame limit is the caller's mistake (1), never a transport failure to
// retry, and nothing of it stays pending.
TEST_F(StreamLayout, ACommandOverTheFrameLimitIsRefusedBeforeItIsSent) {
  std::vector<unsigned int> const many(150000, 100000u);
  Lists huge({many, many, many, many, many, many, many, many, many});
  EXPECT_EQ(NELKO_CORE_STATUS_INVALID_PARAMS,
            nelko_api_stream_layout_set_stream_layout_send(handle, kTarget, 0, huge.l[0], huge.l[1],
                                                           huge.l[2], huge.l[3], huge.l[4],
                                                           huge.l[5], huge.l[6], huge.l[7],
                                                           huge.l[8]));
  void* uuid = nullptr;
  EXPECT_EQ(NELKO_CORE_STATUS_INVALID_PARAMS,
            nelko_api_stream_layout_set_stream_layout_non_blocking_send(
                handle, kTarget, &uuid, 0, huge.l[0], huge.l[1], huge.l[2], huge.l[3], huge.l[4],
                huge.l[5], huge.l[6], huge.l[7], huge.l[8]));
  auto start = Clock::now();
  EXPECT_EQ(NELKO_CORE_STATUS_IPC_FAILED,
            nelko_api_stream_layout_set_stream_layout_receive_with_timeout(handle, kTarget, 2000,
                                                                           uuid));
  EXPECT_LT(ms_since(start), kSlackMs);  // nothing was pending for it
  nelko_api_stream_layout_free_uuid(uuid);
  unsigned int num = 0;
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_get_num_roi_send(handle, kTarget, &num));
}

TEST_F(StreamLayout, RoisRoundTrip) {
  unsigned int num = 0;
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_num_roi_send_with_timeout(handle, kTarget, 1000, &num));
  EXPECT_EQ(4u, num);

  double const a[4] = {10.5, -20.25, 1, 60}, b[4] = {-180, 90, -3.5, 120.125};
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_set_roi_send_with_timeout(
                                            handle, kTarget, 1000, 1, kRoiActiveSet, a[0], a[1],
                                            a[2], a[3]));
  void* uuid = nullptr;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_set_roi_non_blocking_send(handle, kTarget, &uuid, 2,
                                                              kRoiPendingSet, b[0], b[1], b[2], b[3]));
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_set_roi_receive(handle, 1, kTarget, uuid));

  double r[4] = {-1, -1, -1, -1};
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_get_roi_send(
                                            handle, kTarget, 1, kRoiActiveSet, &r[0], &r[1], &r[2], &r[3]));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(a[i], r[i]) << i;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_roi_non_blocking_send(handle, kTarget, &uuid, 2, kRoiPendingSet));
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_get_roi_receive_with_timeout(
                                            handle, kTarget, 1000, uuid, &r[0], &r[1], &r[2], &r[3]));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(b[i], r[i]) << i;

  Completions done;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_set_roi_send_async(
                                            handle, kTarget, 3, 1, 1, 2, 3, 4, on_done, &done));
  ASSERT_TRUE(done.wait_for(1));
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_roi_send_async(handle, kTarget, 3, 1, on_roi, &done));
  ASSERT_TRUE(done.wait_for(2));
  EXPECT_EQ((std::vector<double>{1, 2, 3, 4}), done.last_values);
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_num_roi_send_async(handle, kTarget, on_num, &done));
  ASSERT_TRUE(done.wait_for(3));
  EXPECT_EQ(std::vector<double>{4}, done.last_values);
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_roi_send_async(handle, kTarget, 4, 0, on_roi, &done));
  ASSERT_TRUE(done.wait_for(4));
  EXPECT_EQ(NELKO_CORE_STATUS_INVALID_PARAMS, done.last_status);
  EXPECT_EQ((std::vector<double>{0, 0, 0, 0}), done.last_values);

  EXPECT_EQ(NELKO_CORE_STATUS_INVALID_PARAMS,
            nelko_api_stream_layout_get_roi_send(handle, kTarget, 4, 0, &r[0], &r[1], &r[2], &r[3]));
  EXPECT_EQ(NELKO_CORE_STATUS_INVALID_PARAMS,
            nelko_api_stream_layout_set_roi_send(handle, kTarget, 0, 2, 0, 0, 0, 0));
}

TEST_F(StreamLayout, PointToPanTilt) {
  double pan = -999, tilt = -999;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_stream_point_to_pan_tilt_send(
                                            handle, kTarget, 0, 50000, 50000, &pan, &tilt));
  EXPECT_NEAR(0.0, pan, 1e-9);
  EXPECT_NEAR(0.0, tilt, 1e-9);
  void* uuid = nullptr;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_stream_point_to_pan_tilt_non_blocking_send(
                                            handle, kTarget, &uuid, 0, 75000, 25000));
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_stream_point_to_pan_tilt_receive_with_timeout(
                handle, kTarget, 1000, uuid, &pan, &tilt));
  EXPECT_GT(pan, 0.0);
  EXPECT_GT(tilt, 0.0);
  Completions done;
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_stream_point_to_pan_tilt_send_async(
                                            handle, kTarget, 0, 75000, 25000, on_point, &done));
  ASSERT_TRUE(done.wait_for(1));
  EXPECT_EQ((std::vector<double>{pan, tilt}), done.last_values);
  EXPECT_EQ(NELKO_CORE_STATUS_INVALID_PARAMS, nelko_api_stream_layout_stream_point_to_pan_tilt_send(
                                                  handle, kTarget, 9, 1, 1, &pan, &tilt));
}

TEST_F(StreamLayout, EightThreadsOnOneHandle) {
  constexpr int kThreads = 8, kRounds = 60;
  std::atomic<int> failures{0};
  Completions done;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        unsigned int num = 0;
        double pan = 0, tilt = 0;
        void* uuid = nullptr;
        switch ((t + i) % 4) {
          case 0:
            if (nelko_api_stream_layout_get_num_roi_send(handle, kTarget, &num) != 0 || num != 4) ++failures;
            break;
          case 1:
            if (nelko_api_stream_layout_stream_point_to_pan_tilt_send(handle, kTarget, 0, 50000, 50000, &pan, &tilt) != 0) ++failures;
            break;
          case 2:
            if (nelko_api_stream_layout_get_num_roi_non_blocking_send(handle, kTarget, &uuid) != 0 ||
                nelko_api_stream_layout_get_num_roi_receive(handle, 1, kTarget, uuid, &num) != 0) {
              ++failures;
            }
            break;
          default:
            if (nelko_api_stream_layout_get_num_roi_send_async(handle, kTarget, on_num, &done) != 0)
              ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_TRUE(done.wait_for(kThreads * kRounds / 4));
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_get_num_roi_cancel_async(handle, on_num, &done));
}

}  // namespace
