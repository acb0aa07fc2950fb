// Accounts for every request against stream-layout-target (and a scripted slow target in the same
// IPC directory): each ends exactly once, with its own answer, and promptly. The first scenarios
// each pin one way of losing or delaying a response; the last drives mixed traffic from several
// threads while handles come and go, callbacks cancel, and the target is killed and restarted,
// and then checks the books.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "fault_fixture.h"
#include "hostile_target.h"
#include "nelko_core_channel_events.h"
#include "request_ledger.h"
#include "stream_layout_request.h"

namespace fault {
namespace {

// The soak run's ledger and requests: this suite keeps its accounts the same way.
using namespace nelko::soak;
using Id = RequestLedger::Id;
using nelko::test::TargetProcess;
using std::chrono::milliseconds;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || \
    defined(STREAM_LAYOUT_TARGET_EMULATOR)
constexpr bool kSlowBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSlowBuild = true;
#else
constexpr bool kSlowBuild = false;
#endif
#else
constexpr bool kSlowBuild = false;
#endif

constexpr char kTarget[] = "stream_layout";
constexpr char kSlow[] = "slow";
constexpr unsigned kRois = 64;
constexpr unsigned kLayoutStream = 3;  // the only stream whose layout traffic changes
constexpr int kDefault = nelko::soak::kDefaultTimeout;
// How long after its response has arrived a waiter may still sleep.
constexpr long kPromptMs = kSlowBuild ? 400 : 100;
// How long after the target died a waiting request may take to learn it.
constexpr long kDeathNoticeMs = kSlowBuild ? 2500 : 1000;
// Past the fixed capacities that routing tables of this kind tend to have, such as 256 unclaimed
// responses or 4096 remembered senders, which evict what somebody still waits for.
constexpr int kManyPending = 600;
constexpr int kManyRequests = 4100;

// The least number of requests the workers of the mixed run make: 40000 scaled by
// NELKO_ACCOUNTING_SCALE, else by 1 (a quarter in sanitizer and emulator builds), and never fewer
// than twice kManyRequests.
int mixed_requests() {
  double scale = kSlowBuild ? 0.25 : 1.0;
  if (char const* text = std::getenv("NELKO_ACCOUNTING_SCALE")) scale = std::atof(text);
  return std::max(2 * kManyRequests, static_cast<int>(40000 * scale));
}

// What ROI `index` of `set` holds once programmed: different for every ROI and set, and exact in
// binary and in JSON text.
Values roi_values(unsigned index, unsigned set) {
  return {double(index) - 100.5 + set * 0.25, double(index % 90) - 45, set ? -0.5 : 0.5,
          10 + double(index)};
}

// The layout of kLayoutStream, as layout_values gives it: the left and right halves of the frame
// side by side, the right one as facet 1.
Values const kLayout = [] {
  unsigned const lists[9][2] = {{0, 50000}, {0, 0}, {50000, 50000}, {100000, 100000}, {0, 1},
                                {0, 50000}, {0, 0}, {50000, 50000}, {100000, 100000}};
  Values out;
  for (auto const& list : lists) out.insert(out.end(), {2, double(list[0]), double(list[1])});
  return out;
}();

Request get_roi(unsigned index, unsigned set) {
  return {Kind::kGetRoi, index, set, 0, 0, {}, roi_values(index, set)};
}
Request set_roi(unsigned index, unsigned set) {
  return {Kind::kSetRoi, index, set, 0, 0, roi_values(index, set), {}};
}
Request num_roi() {
  return {Kind::kNumRoi, 0, 0, 0, 0, {}, {double(kRois)}};
}
Request version() {
  return {Kind::kVersion, 0, 0, 0, 0, {}, {0, 9}};
}
// Its answer is not known beforehand: `want` is filled in from the first one.
Request point(unsigned stream, double x, double y) {
  return {Kind::kPoint, stream, 0, x, y, {}, {}};
}
Request set_layout() {
  return {Kind::kSetLayout, kLayoutStream, 0, 0, 0, kLayout, {}};
}
Request get_layout() {
  return {Kind::kGetLayout, kLayoutStream, 0, 0, 0, {}, kLayout};
}

// What the slow scripted target answers to Get_roi, the only command sent to it: what the
// programmed real target would, `delay` late.
Behaviour answer_late(milliseconds delay) {
  return [delay](Command const& command) {
    json::Object request = command.request;  // read leniently: a missing member is 0
    json::Number& index = request["roi_index"];
    json::Number& set = request["roi_set"];
    Values const v = roi_values(unsigned(double(index)), unsigned(double(set)));
    char text[160];
    std::snprintf(text, sizeof text,
                  "{\"status\":0,\"pan\":%.17g,\"tilt\":%.17g,\"roll\":%.17g,\"vfov\":%.17g}", v[0],
                  v[1], v[2], v[3]);
    return std::vector<Reply>{Reply{delay, HostileTarget::response(command.uuid, text)}};
  };
}

// "count  line", most frequent first, for each kind of line of `text`: lines that differ only in
// request identifiers and numbers are of one kind.
std::string lines_by_kind(std::string const& text) {
  std::regex const uuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  std::regex const number("[0-9]+");
  std::map<std::string, int> counts;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    ++counts[std::regex_replace(std::regex_replace(line, uuid, "<uuid>"), number, "N")];
  }
  std::vector<std::pair<int, std::string>> kinds;
  for (auto const& [line, count] : counts) kinds.emplace_back(count, line);
  std::sort(kinds.rbegin(), kinds.rend());
  std::string out;
  for (auto const& [count, line] : kinds) out += std::to_string(count) + "  " + line + "\n";
  return out;
}

Clock::time_point in_ms(long ms) {
  return Clock::now() + milliseconds(ms);
}

// Runs a call on a thread of its own, so that a call that never returns is seen as such. An
// overrunning call is left running with what it uses: the test has failed by then.
std::shared_future<unsigned> on_own_thread(std::function<nelko_core_status()> call) {
  std::packaged_task<unsigned()> task([call] { return nelko::soak::code(call()); });
  std::shared_future<unsigned> status = task.get_future().share();
  std::thread(std::move(task)).detach();
  return status;
}

class AccountingTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (!keep_handles_) {
      for (void* handle : handles_) nelko_api_stream_layout_initiator_deinit(handle);
      for (void* channel : channels_) nelko_core_ipc_deinit(channel);
    }
    target_.reset();
  }

  void start_target(std::vector<std::string> options = {}) {
    options.insert(options.end(), {"--streams", "4", "--rois", std::to_string(kRois)});
    target_ = std::make_unique<TargetProcess>(options);
  }
  void* open_channel() {
    void* channel = nullptr;
    EXPECT_EQ(nelko_core_ipc_initiator_init(nullptr, "accounting", &channel),
              NELKO_CORE_STATUS_NO_ERROR);
    channels_.push_back(channel);
    return channel;
  }
  // A handle on `channel`, or on a channel of its own; destroyed by TearDown.
  void* open_handle(void* channel = nullptr) {
    void* handle = nullptr;
    EXPECT_EQ(nelko_api_stream_layout_initiator_init(channel, nullptr, &handle, 0, "accounting"),
              NELKO_CORE_STATUS_NO_ERROR);
    handles_.push_back(handle);
    return handle;
  }
  // Gives the real target the state that the expected answers assume.
  void program(void* handle) {
    for (unsigned set = 0; set < 2; ++set) {
      for (unsigned index = 0; index < kRois; ++index) {
        ASSERT_EQ(set_roi(index, set).sync(handle, kTarget, kDefault).status, 0u);
      }
    }
    ASSERT_EQ(set_layout().sync(handle, kTarget, kDefault).status, 0u);
  }
  // With `logs`, books that are not clean come with what the library logged meanwhile, one line
  // per kind of message: the events that a count of lost requests does not show.
  void expect_clean_books(CapturedStderr const* logs = nullptr) {
    std::printf("accounting: %s; longest wait %ld ms\n", ledger_.line().c_str(),
                ledger_.totals().longest_wait_ms);
    EXPECT_TRUE(ledger_.clean()) << "requests lost, duplicated, misrouted or late: "
                                 << ledger_.line();
    if (!ledger_.clean() && logs != nullptr) {
      std::printf("log lines by kind:\n%s", lines_by_kind(logs->text()).c_str());
    }
  }

  RequestLedger ledger_{kSlackMs};
  std::unique_ptr<TargetProcess> target_;
  std::vector<void*> handles_;
  std::vector<void*> channels_;
  bool keep_handles_ = false;  // a call that never returned still uses them
};

// A non-blocking response must wait for its receive however many asynchronous responses pass
// by, and however many other non-blocking responses wait unclaimed.
TEST_F(AccountingTest, NonBlockingResponsesOutlastHundredsOfOthers) {
  CapturedStderr quiet;
  start_target();
  Client client(ledger_, open_handle(), kTarget);
  program(client.handle());

  Pending const early = client.send(get_roi(5, 1));
  std::vector<std::pair<Request, Id>> asyncs;
  for (int i = 0; i < kManyPending; ++i) {
    Request const r = i % 2 ? num_roi() : get_roi(unsigned(i) % kRois, 0);
    asyncs.emplace_back(r, client.send_async(r));
  }
  Clock::time_point const deadline = in_ms(10000);
  for (auto const& a : asyncs) EXPECT_TRUE(ledger_.expect_completion(a.second, deadline));
  Clock::time_point start = Clock::now();
  Answer const got = client.receive(early, 2000);
  EXPECT_EQ(got.status, 0u) << "after " << kManyPending << " asynchronous completions";
  EXPECT_LT(ms_since(start), kPromptMs) << "its response had arrived long before";
  for (auto const& a : asyncs) client.cancel(a.first, a.second);

  // The oldest of many unclaimed responses is still there.
  std::vector<Pending> unclaimed;
  for (int i = 0; i < kManyPending; ++i) {
    unclaimed.push_back(client.send(get_roi(unsigned(i) % kRois, unsigned(i) % 2)));
  }
  Pending const last = client.send(num_roi());
  EXPECT_EQ(client.receive(last, 5000).status, 0u);  // every earlier response has arrived too
  start = Clock::now();
  EXPECT_EQ(client.receive(unclaimed.front(), 2000).status, 0u)
      << "the oldest of " << kManyPending << " unclaimed responses";
  EXPECT_LT(ms_since(start), kPromptMs);
  EXPECT_EQ(client.receive_all({unclaimed.begin() + 1, unclaimed.end()}, 2000), 0);
  expect_clean_books();
}

// An asynchronous request must be completed however many other requests use the channel while
// it waits for its answer.
TEST_F(AccountingTest, AsyncAnswerArrivingAfterThousandsOfOtherRequestsIsDelivered) {
  start_target();
  HostileTarget slow(target_->ipc_dir(), kSlow, answer_late(milliseconds(0)));
  slow.pause(true);  // holds the answer until the others are through
  void* channel = open_channel();
  Client waiting(ledger_, open_handle(channel), kSlow);
  Client busy(ledger_, open_handle(channel), kTarget);
  program(busy.handle());

  Request const late = get_roi(7, 1);
  Id const id = waiting.send_async(late);
  for (int i = 0; i < kManyRequests; ++i) {
    busy.sync(i % 2 ? num_roi() : get_roi(unsigned(i) % kRois, unsigned(i / 2) % 2));
  }
  slow.pause(false);
  EXPECT_TRUE(ledger_.expect_completion(id, in_ms(1000 + kSlackMs)))
      << "no callback for the request answered after " << kManyRequests << " others";
  std::this_thread::sleep_for(milliseconds(100));  // room for a second callback
  waiting.cancel(late, id);
  expect_clean_books();
  // Every request has ended, so the channel's router counts none as pending, and waiting threads
  // read their own responses again instead of the I/O thread reading everything at once.
  EXPECT_TRUE(eventually([&] {
    return !nelko::core::response_sink(channel)->wants_prompt_reading();
  })) << "the router still counts a request that ended";
}

// A poll answers from what has arrived: after a pause, every response is there.
TEST_F(AccountingTest, PollTakesEveryResponseThatHasArrived) {
  start_target();
  Client client(ledger_, open_handle(), kTarget);
  program(client.handle());
  std::vector<Pending> sent;
  for (unsigned i = 0; i < 50; ++i) sent.push_back(client.send(get_roi(i, i % 2)));
  std::this_thread::sleep_for(milliseconds(200));
  Clock::time_point const start = Clock::now();
  int missed = 0;
  for (auto p = sent.rbegin(); p != sent.rend(); ++p) missed += client.receive(*p, 0).status != 0;
  EXPECT_EQ(missed, 0) << "polls, last request first";
  EXPECT_LT(ms_since(start), kPromptMs);
  expect_clean_books();
}

// Responses to requests sent ahead of any receive must be read as they come, however large:
// a target holds at most 4 MiB for a connection that does not read, and these are 9.6 MB. The
// requests go out at a pace that any reader keeps up with, once it reads.
TEST_F(AccountingTest, ResponsesSentAheadOfEveryReceiveAreReadAsTheyCome) {
  CapturedStderr quiet;
  start_target();
  Client client(ledger_, open_handle(), kTarget);
  Values big;  // 1000 placements, each of the whole frame of facet 0
  for (double value : {0, 0, 100000, 100000, 0, 0, 0, 100000, 100000}) {
    big.push_back(1000);
    big.insert(big.end(), 1000, value);
  }
  Request const set{Kind::kSetLayout, kLayoutStream, 0, 0, 0, big, {}};
  ASSERT_EQ(set.sync(client.handle(), kTarget, kDefault).status, 0u);
  std::vector<Pending> sent;
  for (int i = 0; i < 250; ++i) {
    sent.push_back(client.send({Kind::kGetLayout, kLayoutStream, 0, 0, 0, {}, big}));
    std::this_thread::sleep_for(milliseconds(2));
  }
  EXPECT_EQ(client.receive_all(sent, 5000), 0);
  expect_clean_books();
}

// A request that a waiting receive took is over: its identifier, given again, finds nothing
// pending (4), not a request still held for somebody (3) or a second answer.
TEST_F(AccountingTest, ARequestTakenByAWaiterCannotBeReceivedAgain) {
  start_target({"--delay-ms", "50"});
  void* handle = open_handle();
  void* uuid = nullptr;
  ASSERT_EQ(nelko_api_stream_layout_get_num_roi_non_blocking_send(handle, kTarget, &uuid),
            NELKO_CORE_STATUS_NO_ERROR);
  std::string again = static_cast<char*>(uuid);  // the receive releases the original on 0
  unsigned num = 0;
  EXPECT_EQ(nelko_api_stream_layout_get_num_roi_receive_with_timeout(handle, kTarget, kDefault,
                                                                     uuid, &num),
            NELKO_CORE_STATUS_NO_ERROR);
  EXPECT_EQ(num, kRois);
  for (int timeout : {0, 50}) {
    EXPECT_EQ(nelko_api_stream_layout_get_num_roi_receive_with_timeout(handle, kTarget, timeout,
                                                                       again.data(), &num),
              NELKO_CORE_STATUS_IPC_FAILED)
        << "time-out " << timeout;
  }
}

// A synchronous waiter wakes for its response, not for its time-out, while another handle of its
// channel that has used send_async is destroyed (its request answered already, or still pending).
TEST_F(AccountingTest, SyncWaiterWakesForItsResponseWhileAnotherHandleGoes) {
  constexpr long kDelayMs = 50;
  start_target({"--delay-ms", std::to_string(kDelayMs)});
  void* channel = open_channel();
  Client b(ledger_, open_handle(channel), kTarget);
  for (bool answered : {true, false}) {
    Client a(ledger_, open_handle(channel), kTarget);
    Id const id = a.send_async(num_roi());
    if (answered) ledger_.expect_completion(id, in_ms(kDefault));
    Clock::time_point const start = Clock::now();
    // The waiter's own time-out lies far beyond the bound below: it must wake for its answer.
    std::thread waiter([&] { EXPECT_EQ(b.sync(num_roi(), 1000).status, 0u) << answered; });
    std::this_thread::sleep_for(milliseconds(10));
    nelko_api_stream_layout_initiator_deinit(a.handle());
    handles_.pop_back();
    ledger_.withdrawn(id);
    waiter.join();
    EXPECT_LT(ms_since(start), kDelayMs + 2 * kPromptMs) << "async answered: " << answered;
  }
  expect_clean_books();
}

// A waiter reads every connection of its lane; when the I/O thread is reading one of them (here:
// running a callback for it), that read is refused, though the waiter may have taken its own
// answer from another connection in the same pass. Answered, it must return at once, not sleep
// until its time runs out: nobody will wake it. Its answer waits in the socket while the I/O
// thread is busy, and a repeated answer of the other target waits beside it, so that both are
// readable when the waiter looks.
TEST_F(AccountingTest, WaiterAnsweredInARefusedReadReturnsAtOnce) {
  constexpr int kTimeoutMs = 2000;
  constexpr long kStalledMs = 1000;
  constexpr milliseconds kRepeatAfter{2};
  constexpr milliseconds kCallbackTakes{kSlowBuild ? 200 : 40};
  CapturedStderr quiet;  // the repeated answers are dropped with a log line
  start_target();
  HostileTarget twice(target_->ipc_dir(), kSlow, [&](Command const& command) {
    std::vector<Reply> replies = answer_late(milliseconds(0))(command);
    replies.push_back(Reply{kRepeatAfter, replies.front().bytes});
    return replies;
  });
  HostileTarget silent(target_->ipc_dir(), "silent", answer_late(milliseconds(0)));
  silent.pause(true);
  void* handle = open_handle();
  Client client(ledger_, handle, kTarget);
  Client other(ledger_, handle, kSlow);  // the same thread: a connection of the same lane
  // Pending throughout, so that the I/O thread also reads the waiter's connection: when its
  // answer is late, the waiter is woken for it as soon as the callback has ended.
  Id const held = Client(ledger_, handle, "silent").send_async(get_roi(0, 0));
  for (int round = 0; round < 4; ++round) {
    Request const busy = get_roi(unsigned(round), 0);
    Id const id = other.send_async(busy, [&] { std::this_thread::sleep_for(kCallbackTakes); });
    ASSERT_TRUE(ledger_.expect_completion(id, in_ms(kDefault)));  // its callback has begun
    Pending const mine = client.send(num_roi());
    std::this_thread::sleep_for(kCallbackTakes / 4);  // both answers arrive meanwhile
    Clock::time_point const start = Clock::now();
    EXPECT_EQ(client.receive(mine, kTimeoutMs).status, 0u) << "round " << round;
    long const took = ms_since(start);
    other.cancel(busy, id);
    ASSERT_LT(took, kStalledMs) << "round " << round << ": answered, it slept on";
  }
  Client(ledger_, handle, "silent").cancel(get_roi(0, 0), held);
  expect_clean_books();
}

// The same refusal before the waiter's own answer has come: its connection must stay with the
// I/O thread, which is the one to hand the answer over, although no asynchronous request is
// pending on it.
TEST_F(AccountingTest, WaiterRefusedBeforeItsAnswerCameIsHandedItLater) {
  constexpr int kTimeoutMs = 2000;
  constexpr long kStalledMs = 1000;
  constexpr milliseconds kCallbackTakes{kSlowBuild ? 400 : 100};
  CapturedStderr quiet;
  start_target({"--delay-ms", "20"});
  HostileTarget twice(target_->ipc_dir(), kSlow, [&](Command const& command) {
    std::vector<Reply> replies = answer_late(milliseconds(0))(command);
    replies.push_back(Reply{milliseconds(2), replies.front().bytes});
    return replies;
  });
  void* handle = open_handle();
  Client client(ledger_, handle, kTarget);
  Client other(ledger_, handle, kSlow);
  for (int round = 0; round < 3; ++round) {
    Request const busy = get_roi(unsigned(round), 0);
    Id const id = other.send_async(busy, [&] { std::this_thread::sleep_for(kCallbackTakes); });
    ASSERT_TRUE(ledger_.expect_completion(id, in_ms(kDefault)));
    std::this_thread::sleep_for(milliseconds(10));  // the repeated answer is readable
    Pending const mine = client.send(num_roi());    // answered 20 ms later
    Clock::time_point const start = Clock::now();
    EXPECT_EQ(client.receive(mine, kTimeoutMs).status, 0u) << "round " << round;
    long const took = ms_since(start);
    other.cancel(busy, id);
    ASSERT_LT(took, kStalledMs) << "round " << round << ": answered, it slept on";
  }
  expect_clean_books();
}

// Twice as many threads as a handle has lanes, in every form: waiters share a lane, and one of
// them reads for the others and hands their answers over.
TEST_F(AccountingTest, EightThreadsShareTheFourLanesOfAHandle) {
  start_target();
  void* handle = open_handle();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      Client client(ledger_, handle, kTarget);
      for (int i = 0; i < 60; ++i) {
        Request const r = i % 3 ? num_roi() : version();
        client.in_form(r, (t + i) % Client::kForms, 3000);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  expect_clean_books();
  // The target answers at once: a wait of a second means a waiter was not woken for its answer.
  EXPECT_LT(ledger_.totals().longest_wait_ms, 1000);
}

// A command over the frame limit is the caller's mistake (1), never a transport failure to
// retry, and nothing of it stays pending.
TEST_F(AccountingTest, ACommandOverTheFrameLimitIsRefusedBeforeItIsSent) {
  start_target();
  void* handle = open_handle();
  Values lists;  // nine lists of 25000 cells of 100000: 1.6 MB of text, past the 1 MiB limit
  for (int list = 0; list < 9; ++list) {
    lists.push_back(25000);
    lists.insert(lists.end(), 25000, 100000);
  }
  Request const huge{Kind::kSetLayout, 0, 0, 0, 0, lists, {}};
  EXPECT_EQ(huge.sync(handle, kTarget, kDefault).status, 1u);
  void* uuid = nullptr;
  EXPECT_EQ(huge.send(handle, kTarget, &uuid), NELKO_CORE_STATUS_INVALID_PARAMS);
  Clock::time_point const start = Clock::now();
  EXPECT_EQ(huge.receive(handle, kTarget, 2000, uuid).status, 4u);
  EXPECT_LT(ms_since(start), kPromptMs) << "nothing was pending for it";
  nelko_api_stream_layout_free_uuid(uuid);
  EXPECT_EQ(num_roi().sync(handle, kTarget, kDefault).status, 0u);
}

// A killed target ends every request waiting on it at once with 4, each pending asynchronous one
// with exactly one callback.
TEST_F(AccountingTest, TargetDeathEndsEveryWaitingRequestAtOnce) {
  start_target({"--delay-ms", "60000"});
  void* handle = open_handle();
  Client client(ledger_, handle, kTarget);
  void* uuid = nullptr;
  ASSERT_EQ(nelko_api_stream_layout_get_num_roi_non_blocking_send(handle, kTarget, &uuid),
            NELKO_CORE_STATUS_NO_ERROR);
  // Each call keeps its result to itself: one that overruns the test must not write into it.
  auto num_roi_within = [=](int timeout, void* received) {
    return on_own_thread([=] {
      unsigned int num = 0;
      return received != nullptr ? nelko_api_stream_layout_get_num_roi_receive_with_timeout(
                                       handle, kTarget, timeout, received, &num)
                                 : nelko_api_stream_layout_get_num_roi_send_with_timeout(
                                       handle, kTarget, timeout, &num);
    });
  };
  std::pair<char const*, std::shared_future<unsigned>> const waits[] = {
      {"unlimited send", num_roi_within(-1, nullptr)},
      {"bounded send", num_roi_within(10000, nullptr)},
      {"non-blocking receive", num_roi_within(10000, uuid)}};
  std::vector<Id> asyncs;
  for (int i = 0; i < 20; ++i) asyncs.push_back(client.send_async(num_roi()));
  std::this_thread::sleep_for(milliseconds(300));

  ledger_.outage_begins();
  target_->stop(SIGKILL);
  Clock::time_point const deadline = in_ms(kDeathNoticeMs);
  bool all_ended = true;
  for (auto const& [what, status] : waits) {
    bool const ended = status.wait_until(deadline) == std::future_status::ready;
    all_ended = all_ended && ended;
    EXPECT_TRUE(ended) << what << " still waits " << kDeathNoticeMs << " ms after the kill";
    EXPECT_TRUE(!ended || status.get() == 4u) << what;
  }
  int completed = 0;
  for (Id id : asyncs) completed += ledger_.expect_completion(id, deadline) ? 1 : 0;
  EXPECT_EQ(completed, 20) << "pending send_async requests told of the death";
  std::this_thread::sleep_for(milliseconds(100));  // room for a second callback
  for (Id id : asyncs) client.cancel(num_roi(), id);
  if (all_ended && waits[2].second.get() != 0) nelko_api_stream_layout_free_uuid(uuid);
  nelko::soak::Totals const t = ledger_.totals();
  EXPECT_EQ(t.ended_by_outage, 20u) << "each async callback once, with 4: " << ledger_.line();
  EXPECT_EQ(t.duplicated, 0u) << ledger_.line();
  keep_handles_ = !all_ended;
}

// Every command in every form from three workers, past the number of senders a fixed routing
// table would remember, with handles that come and go, callbacks that cancel, and the target
// killed under load and restarted.
TEST_F(AccountingTest, MixedTrafficKeepsExactAccounts) {
  CapturedStderr quiet;  // every withdrawn request's answer is dropped with a log line
  start_target();
  HostileTarget slow(target_->ipc_dir(), kSlow, answer_late(milliseconds(100)));
  void* channel = open_channel();
  Client main(ledger_, open_handle(channel), kTarget);
  program(main.handle());

  // Every command, with the answer it must get. A point converts the same way every time, so its
  // first answer is the one expected of the others.
  std::vector<Request> mix{version(), num_roi(), get_layout(), set_layout()};
  for (unsigned index = 0; index < kRois; index += 5) {
    for (unsigned set = 0; set < 2; ++set) {
      mix.push_back(get_roi(index, set));
      mix.push_back(set_roi(index, set));
    }
  }
  for (unsigned stream = 0; stream < 3; ++stream) {
    for (int k = 0; k < 6; ++k) {
      Request p = point(stream, 5000.0 + 17000 * k, 20000.0 + 25000 * stream);
      Answer const first = p.sync(main.handle(), kTarget, kDefault);
      ASSERT_EQ(first.status, 0u);
      p.want = first.values;
      mix.push_back(p);
    }
  }
  auto const pick = [&](unsigned n) -> Request const& { return mix[(n * 7919u) % mix.size()]; };

  // The workers go on until the target has died under their load.
  std::atomic<int> next{0};
  std::atomic<bool> stop{false};
  auto work = [&](int worker) {
    Client client(ledger_, main.handle(), kTarget);
    Client to_slow(ledger_, main.handle(), kSlow);
    while (!stop) {
      int const n = next++;
      Request const& r = pick(unsigned(n));
      switch (n % 6) {
        case 0:
        case 1:
        case 2:
        case 3:  // sync, with a time-out, send and receive, async
          client.in_form(r, n % 6 == 3 ? Client::kForms - 1 : n % 6, 3000);
          break;
        case 4: {
          // A callback that withdraws a request of another command, still waiting for the slow
          // target.
          Request const held = get_roi(unsigned(n) % kRois, 1);
          Id const victim = to_slow.send_async(held);
          Id const id = client.send_async(
              num_roi(), [&to_slow, held, victim] { to_slow.cancel(held, victim); });
          client.finish(num_roi(), id, in_ms(kDefault));
          to_slow.cancel(held, victim);  // when the callback did not run
          break;
        }
        default: {
          // A handle that comes and goes, on the shared channel or on one of its own, and leaves
          // a request pending behind it.
          void* handle = nullptr;
          void* on = (n / 6 + worker) % 2 ? channel : nullptr;
          if (nelko_api_stream_layout_initiator_init(on, nullptr, &handle, 0, "passing") != 0) {
            ADD_FAILURE() << "init";
            break;
          }
          Client passing(ledger_, handle, kTarget);
          Client passing_slow(ledger_, handle, kSlow);
          Id const left = passing_slow.send_async(get_roi(3, 0));
          passing.sync(r);
          nelko_api_stream_layout_initiator_deinit(handle);
          ledger_.withdrawn(left);
        }
      }
    }
  };
  std::vector<std::thread> workers;
  for (int w = 0; w < 3; ++w) workers.emplace_back(work, w);

  // Once the workers have made their share, the target is killed under their load; restarted,
  // it is reached again.
  int const total = mixed_requests();
  while (next < total) std::this_thread::sleep_for(milliseconds(10));
  ledger_.outage_begins();
  target_->stop(SIGKILL);
  std::this_thread::sleep_for(milliseconds(200));
  stop = true;
  for (auto& worker : workers) worker.join();
  target_->restart();
  program(main.handle());
  ledger_.outage_ends();
  for (int i = 0; i < 200; ++i) main.sync(pick(unsigned(i)));

  ledger_.settle(in_ms(kDefault));
  expect_clean_books(&quiet);
  nelko::soak::Totals const t = ledger_.totals();
  EXPECT_EQ(t.refused, 0u) << ledger_.line();
  EXPECT_GT(t.cancelled, 0u) << "no request was withdrawn before its answer";
}

// Asynchronous answers that a thread waiting for its own answer reads off its lane reach the
// I/O thread's completions through the router's routed entries: with answers to two commands
// there at once, each must still reach its own command's completion, once.
TEST_F(AccountingTest, AsyncAnswersReadByAWaiterReachTheirOwnCompletions) {
  start_target();
  Client client(ledger_, open_handle(), kTarget);
  program(client.handle());
  for (unsigned round = 0; round < 500; ++round) {
    Request const roi = get_roi(round % kRois, round % 2);
    Id const first = client.send_async(roi);
    Id const second = client.send_async(num_roi());
    client.sync(version());  // its answer comes after theirs, which its waiter may read
    client.finish(roi, first, in_ms(2000));
    client.finish(num_roi(), second, in_ms(2000));
    if (!ledger_.clean()) break;  // nothing else is open: the books show the first loss
  }
  ledger_.settle(in_ms(kDefault));
  expect_clean_books();
}

// An asynchronous request refused for its arguments leaves nothing behind that would take the
// thread's next request for an asynchronous one: the synchronous call that follows gets its
// answer.
TEST_F(AccountingTest, RefusedAsyncRequestLeavesTheNextSyncCallItsAnswer) {
  start_target();
  void* handle = open_handle();
  auto const ignore = [](char*, nelko_core_status, unsigned int, void*) {};
  EXPECT_EQ(nelko_api_stream_layout_get_num_roi_send_async(handle, nullptr, ignore, nullptr),
            NELKO_CORE_STATUS_INVALID_PARAMS);
  unsigned int num = 0;
  EXPECT_EQ(nelko_api_stream_layout_get_num_roi_send(handle, kTarget, &num),
            NELKO_CORE_STATUS_NO_ERROR);
  EXPECT_EQ(num, kRois);
  nelko_api_stream_layout_get_num_roi_cancel_async(handle, ignore, nullptr);
}

// A callback that deinits its own handle while another thread's cancel of that very callback
// waits for it: the handle goes only once the cancel has returned (AddressSanitizer sees the
// cancel wake up in freed memory otherwise).
struct DeinitsItsHandle {
  void* handle = nullptr;
  std::promise<void> running;
  std::atomic<int> calls{0};
  static void callback(char*, nelko_core_status, unsigned int, void* user) {
    auto* self = static_cast<DeinitsItsHandle*>(user);
    if (self->calls++ > 0) return;
    self->running.set_value();
    std::this_thread::sleep_for(milliseconds(100));  // the cancel below waits by now
    nelko_api_stream_layout_initiator_deinit(self->handle);
  }
};

TEST_F(AccountingTest, CancelWaitingForACallbackThatDeinitsItsHandleReturnsFirst) {
  start_target();
  // On one CPU, with the cancelling thread at idle priority, the callback's thread goes on as far
  // as it can before the cancel wakes up: the order in which a handle destroyed at once is used
  // after its release. The handle's I/O thread takes this thread's CPU when it is made.
  cpu_set_t saved;
  ASSERT_EQ(::sched_getaffinity(0, sizeof saved, &saved), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &saved)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  // A channel of the test's, whose closing waits for its I/O thread to finish destroying the
  // handle.
  void* channel = nullptr;
  int const opened = nelko_core_ipc_initiator_init(nullptr, "self", &channel);
  DeinitsItsHandle self;
  int init = opened != 0 ? -1
                         : nelko_api_stream_layout_initiator_init(channel, nullptr, &self.handle, 0,
                                                                  "self");
  std::future<void> running = self.running.get_future();
  int sent = init != 0 ? -1
                       : nelko_api_stream_layout_get_num_roi_send_async(
                             self.handle, kTarget, DeinitsItsHandle::callback, &self);
  int cancelled = -1;
  if (sent == 0 && running.wait_for(milliseconds(kDefault)) == std::future_status::ready) {
    std::thread([&] {
      sched_param const idle{};
      ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &idle);
      cancelled = nelko_api_stream_layout_get_num_roi_cancel_async(
          self.handle, DeinitsItsHandle::callback, &self);
    }).join();
  }
  ::sched_setaffinity(0, sizeof saved, &saved);
  ASSERT_EQ(init, 0);
  ASSERT_EQ(sent, 0);
  EXPECT_EQ(cancelled, 0);
  EXPECT_EQ(self.calls, 1);
  std::shared_future<unsigned> closed =
      on_own_thread([channel] { return nelko_core_ipc_deinit(channel); });
  ASSERT_EQ(closed.wait_for(milliseconds(kDefault)), std::future_status::ready)
      << "the handle's destruction never ended";
  EXPECT_EQ(closed.get(), 0u);
}

// Handles that share a channel each get the completions of their own asynchronous requests,
// whichever of them registered for responses first.
TEST_F(AccountingTest, AsyncAnswersReachTheHandleThatSentThemOnASharedChannel) {
  start_target();
  void* channel = open_channel();
  Client first(ledger_, open_handle(channel), kTarget);
  Client second(ledger_, open_handle(channel), kTarget);
  program(first.handle());
  Request const request = num_roi();
  std::vector<std::pair<Client*, Id>> sent;
  for (Client* client : {&first, &second, &second, &first}) {
    sent.push_back({client, client->send_async(request)});
  }
  for (auto const& s : sent) EXPECT_TRUE(ledger_.expect_completion(s.second, in_ms(kDefault)));
  std::this_thread::sleep_for(milliseconds(100));  // room for a second callback
  for (auto const& s : sent) s.first->cancel(request, s.second);
  expect_clean_books();
}

}  // namespace
}  // namespace fault
