#include "callback_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace core_test {
namespace {

using nelko::core::CallbackRegistry;
using Callback = void (*)(long, void*);

// What one pair saw of numbered deliveries, kept on the delivering thread.
struct Seen {
  long last = 0;
  long repeated = 0;  // a number at or below one already seen
  long skipped = 0;   // numbers missed, for a pair that stays registered
  long after_withdrawal = 0;
  std::atomic<bool> registered{true};
};

void record(long number, void* user) {
  auto* seen = static_cast<Seen*>(user);
  if (!seen->registered.load()) ++seen->after_withdrawal;
  if (number <= seen->last) ++seen->repeated;
  if (number > seen->last + 1) seen->skipped += number - seen->last - 1;
  seen->last = number;
}

// One thread delivers numbered deliveries while another withdraws a pair and registers it
// again as fast as it can, as an object does that goes and comes back at the same address.
// The accounts: a pair that stays registered gets every delivery once, in order; the churned pair
// never gets a delivery twice (one that it had before its withdrawal must not come back after
// its return) and is never called between its withdrawal and its return.
TEST(CallbackRegistry, PairWithdrawnAndAddedAgainDuringDeliveriesGetsEachOnceAndNoneInBetween) {
  CallbackRegistry<Callback> registry;
  Seen steady, churned;
  registry.add(record, &steady);
  registry.add(record, &churned);
  std::atomic<bool> stop{false};
  std::atomic<long> churns{0};
  std::thread churner([&] {
    while (!stop.load()) {
      registry.remove(&churned, false);
      churned.registered.store(false);
      churned.registered.store(true);
      registry.add(record, &churned);
      churns.fetch_add(1);
    }
  });
  long number = 0;
  auto const start = std::chrono::steady_clock::now();
  auto const until = start + std::chrono::milliseconds(500);
  // Until the churned pair has had a delivery too: a scheduler that runs one thread at a time
  // (valgrind's) may let the churner hold the pair out through many deliveries.
  auto const give_up = start + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < until || churns.load() < 1000 ||
         (churned.last == 0 && std::chrono::steady_clock::now() < give_up)) {
    ++number;
    registry.deliver([number](Callback callback, void* user) { callback(number, user); });
  }
  stop.store(true);
  churner.join();
  EXPECT_EQ(steady.last, number);
  EXPECT_EQ(steady.skipped, 0);
  EXPECT_EQ(steady.repeated, 0);
  EXPECT_EQ(churned.repeated, 0) << "of " << number << " deliveries, " << churns.load()
                                 << " withdrawals";
  EXPECT_EQ(churned.after_withdrawal, 0);
  EXPECT_GT(churned.last, 0);
}

}  // namespace
}  // namespace core_test
