#include "fifo_table.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using nelko::interfaces::FifoTable;

TEST(FifoTable, FullTableDropsTheEntryInsertedCapacityInsertionsEarlier) {
  FifoTable<int> table(3);
  std::vector<std::string> evicted;
  auto note = [&](std::string_view key, int) { evicted.emplace_back(key); };
  bool added = false;
  for (int i = 0; i < 3; ++i) table.insert(std::to_string(i), added, note) = i;
  table.insert("1", added, note) = 10;  // present: replaced in place, keeps its turn
  EXPECT_FALSE(added);
  table.erase("0");                     // a hole: the next insertion evicts nothing
  table.insert("3", added, note) = 3;
  EXPECT_TRUE(evicted.empty());
  table.insert("4", added, note) = 4;   // takes the turn of "1"
  EXPECT_EQ(evicted, std::vector<std::string>{"1"});
  EXPECT_EQ(table.find("1"), nullptr);
  ASSERT_NE(table.find("2"), nullptr);
  EXPECT_EQ(*table.find("2"), 2);
  int taken = 0;
  EXPECT_TRUE(table.take("4", taken));
  EXPECT_EQ(taken, 4);
  EXPECT_FALSE(table.take("4", taken));
  EXPECT_EQ(table.size(), 2u);
}

// The index is open addressing with deletions that shift entries back, rebuilt larger as the
// ring grows; random work against a plain model catches an entry that becomes unreachable or a
// stale one that stays findable. A capacity of 40 makes the index grow three times.
class FifoTableModel : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FifoTableModel, AgreesUnderRandomInsertsErasesAndEvictions) {
  std::size_t const kCapacity = GetParam();
  struct Entry {
    int value;
    int turn;
  };
  FifoTable<int> table(kCapacity);
  std::map<std::string, Entry> model;
  std::deque<int> turns;  // the turns of the ring's slots, oldest first, holes included
  std::mt19937 random(7);
  for (int step = 0; step < 20000; ++step) {
    // Few distinct keys, so that probe runs collide and wrap around.
    std::string const key = "k" + std::to_string(random() % (3 * kCapacity));
    switch (random() % 3) {
      case 0: {
        bool added = false;
        int& value = table.insert(key, added, [&](std::string_view gone, int) {
          auto found = model.find(std::string(gone));
          ASSERT_NE(found, model.end());
          EXPECT_EQ(found->second.turn, turns.front());  // the oldest turn goes
          model.erase(found);
        });
        value = step;
        if (added) {
          if (turns.size() == kCapacity) turns.pop_front();
          turns.push_back(step);
          model[key] = {step, step};
        } else {
          model[key].value = step;
        }
        break;
      }
      case 1: {
        int taken = -1;
        auto found = model.find(key);
        ASSERT_EQ(table.take(key, taken), found != model.end()) << step;
        if (found != model.end()) {
          EXPECT_EQ(taken, found->second.value);
          model.erase(found);
        }
        break;
      }
      default: {
        int const* value = table.find(key);
        auto found = model.find(key);
        ASSERT_EQ(value != nullptr, found != model.end()) << step;
        if (value != nullptr) {
          EXPECT_EQ(*value, found->second.value);
        }
      }
    }
    ASSERT_EQ(table.size(), model.size()) << step;
  }
}

INSTANTIATE_TEST_SUITE_P(Capacities, FifoTableModel, ::testing::Values(8, 40));

}  // namespace
