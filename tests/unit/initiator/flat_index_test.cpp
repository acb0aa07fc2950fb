#include "flat_index.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>

namespace {

struct Record {
  int key;
};
struct KeyOf {
  int operator()(Record const& record) const { return record.key; }
};
// Hashes that crowd the records into few homes, so that runs grow long, wrap around the end of
// the table and are broken up by removals in every position.
struct SameHash {
  std::size_t operator()(int) const { return 42; }
};
struct FewHashes {
  std::size_t operator()(int key) const { return static_cast<std::size_t>(key % 5); }
};
struct PlainHash {
  std::size_t operator()(int key) const { return static_cast<std::size_t>(key); }
};

// Random insertions and removals (by key, by record, and of every record of a key), with keys
// shared by several records, checked after every step against a multimap of the same records:
// each record present is found by its key (and only records of that key are), and no removed
// one is.
template <typename Hash>
void MatchesAMultimapThroughRandomChanges(unsigned seed) {
  nelko::base::FlatIndex<Record, KeyOf, Hash> index;
  std::unordered_multimap<int, Record*> model;
  std::vector<std::unique_ptr<Record>> records;
  std::mt19937 random(seed);
  auto const key_of_choice = [&] { return static_cast<int>(random() % 40); };
  for (int step = 0; step < 4000; ++step) {
    // Grows to a few hundred records and shrinks again, so that the table grows several times.
    bool const growing = (step / 500) % 2 == 0;
    unsigned const action = random() % 4;
    if (action < (growing ? 3u : 1u)) {
      records.push_back(std::make_unique<Record>(Record{key_of_choice()}));
      index.insert(records.back().get());
      model.emplace(records.back()->key, records.back().get());
    } else if (action == 3 && step % 7 == 0) {
      // Every record of one key at once, wherever the removals shift the others.
      int const key = key_of_choice();
      std::size_t removed = 0;
      auto const count = [&](Record* record) {
        EXPECT_EQ(record->key, key);
        ++removed;
      };
      if (step % 2 == 0) {  // along the key's run
        index.take_all(key, count);
      } else {  // over the whole table
        index.erase_if([key](Record const* record) { return record->key == key; }, count);
      }
      ASSERT_EQ(removed, model.count(key));
      model.erase(key);
    } else if (action == 3 && !model.empty()) {
      auto victim = std::next(model.begin(), static_cast<long>(random() % model.size()));
      ASSERT_TRUE(index.erase(victim->second));
      ASSERT_FALSE(index.erase(victim->second));
      model.erase(victim);
    } else {
      int const key = key_of_choice();
      Record* const taken = index.take(key);
      auto const matching = model.equal_range(key);
      if (matching.first == matching.second) {
        ASSERT_EQ(taken, nullptr);
      } else {
        ASSERT_NE(taken, nullptr);
        ASSERT_EQ(taken->key, key);
        auto it = matching.first;
        while (it != matching.second && it->second != taken) ++it;
        ASSERT_NE(it, matching.second) << "took a record that was not in the index";
        model.erase(it);
      }
    }
    ASSERT_EQ(index.size(), model.size());
    for (int key = 0; key < 40; ++key) {
      Record* const found = index.find(key);
      ASSERT_EQ(found != nullptr, model.count(key) > 0) << "key " << key << " at step " << step;
      if (found != nullptr) {
        ASSERT_EQ(found->key, key);
      }
    }
    std::size_t visited = 0;
    index.for_each([&](Record* record) {
      auto matching = model.equal_range(record->key);
      bool listed = false;
      for (auto it = matching.first; it != matching.second; ++it) listed |= it->second == record;
      EXPECT_TRUE(listed);
      ++visited;
    });
    ASSERT_EQ(visited, model.size());
  }
  // Every record of a key comes out once.
  for (int key = 0; key < 40; ++key) {
    while (Record* taken = index.take(key)) {
      auto matching = model.equal_range(key);
      auto it = matching.first;
      while (it != matching.second && it->second != taken) ++it;
      ASSERT_NE(it, matching.second);
      model.erase(it);
    }
  }
  EXPECT_TRUE(model.empty());
  EXPECT_TRUE(index.empty());
}

TEST(FlatIndex, MatchesAMultimapThroughRandomChanges) {
  for (unsigned seed = 1; seed <= 3; ++seed) {
    MatchesAMultimapThroughRandomChanges<SameHash>(seed);
    MatchesAMultimapThroughRandomChanges<FewHashes>(seed);
    MatchesAMultimapThroughRandomChanges<PlainHash>(seed);
  }
}

}  // namespace
