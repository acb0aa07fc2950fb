// FifoTable: values keyed by request identifiers, with room for a fixed number of entries. When
// it is full, an insertion first drops the entry inserted `capacity` insertions before it, if
// that one is still there (insertion order, holes left by erased entries included).
//
// Slots form a ring and an open-addressing index (linear probing, at most half full) points
// into it. Both grow with use up to the capacity, so a table that holds little costs little; once
// grown, and once a slot has held a key as long as its next one, inserting, finding and erasing
// allocate nothing. Not thread-safe; the router guards it.
#ifndef NELKO_INTERFACES_FIFO_TABLE_H
#define NELKO_INTERFACES_FIFO_TABLE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nelko {
namespace interfaces {

template <typename Value>
class FifoTable {
 public:
  explicit FifoTable(std::size_t capacity) : capacity_(capacity) { rebuild_index(16); }

  std::size_t size() const { return size_; }

  Value* find(std::string_view key) {
    std::uint32_t const slot = index_[locate(key, hash(key))];
    return slot == kEmpty ? nullptr : &slots_[slot].value;
  }

  // The value of `key`; a new entry (`added`) when there was none, which the caller fills in.
  // An entry that must make room is handed to evicted(key, value) first.
  template <typename Evicted>
  Value& insert(std::string_view key, bool& added, Evicted&& evicted) {
    std::size_t const key_hash = hash(key);
    std::size_t at = locate(key, key_hash);
    if (index_[at] != kEmpty) {
      added = false;
      return slots_[index_[at]].value;
    }
    if (next_ == slots_.size()) {  // the ring is still growing
      slots_.emplace_back();
      if (2 * slots_.size() > index_.size()) {
        rebuild_index(2 * index_.size());
        at = locate(key, key_hash);
      }
    }
    Slot& slot = slots_[next_];
    if (slot.used) {
      evicted(std::string_view(slot.key), slot.value);
      remove_at(locate(slot.key, slot.hash));
      at = locate(key, key_hash);  // the removal may have moved entries
    }
    slot.key.assign(key.data(), key.size());
    slot.hash = key_hash;
    slot.used = true;
    index_[at] = static_cast<std::uint32_t>(next_);
    next_ = (next_ + 1) % capacity_;
    ++size_;
    added = true;
    return slot.value;
  }

  // Moves the value of `key` into `out` and drops the entry; false when there is none.
  bool take(std::string_view key, Value& out) {
    std::size_t const at = locate(key, hash(key));
    if (index_[at] == kEmpty) return false;
    out = std::move(slots_[index_[at]].value);
    remove_at(at);
    return true;
  }

  void erase(std::string_view key) {
    std::size_t const at = locate(key, hash(key));
    if (index_[at] != kEmpty) remove_at(at);
  }

 private:
  static constexpr std::uint32_t kEmpty = UINT32_MAX;

  struct Slot {
    std::string key;
    std::size_t hash = 0;
    bool used = false;
    Value value{};
  };

  static std::size_t hash(std::string_view key) { return std::hash<std::string_view>()(key); }

  void rebuild_index(std::size_t buckets) {
    index_.assign(buckets, kEmpty);
    mask_ = buckets - 1;
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
      if (slots_[slot].used) {
        index_[locate(slots_[slot].key, slots_[slot].hash)] = static_cast<std::uint32_t>(slot);
      }
    }
  }

  // The index position that holds `key`, or the empty one where it would go.
  std::size_t locate(std::string_view key, std::size_t key_hash) const {
    for (std::size_t at = key_hash & mask_;; at = (at + 1) & mask_) {
      std::uint32_t const slot = index_[at];
      if (slot == kEmpty) return at;
      if (slots_[slot].hash == key_hash && slots_[slot].key == key) return at;
    }
  }

  // Frees the slot and closes the gap in the index: each later entry of the probe run moves
  // back into the hole unless its home position lies cyclically within (hole, its position].
  void remove_at(std::size_t at) {
    Slot& slot = slots_[index_[at]];
    slot.used = false;
    slot.value = Value();
    --size_;
    std::size_t hole = at;
    for (std::size_t next = (hole + 1) & mask_; index_[next] != kEmpty; next = (next + 1) & mask_) {
      std::size_t const home = slots_[index_[next]].hash & mask_;
      bool const reachable =
          hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
      if (reachable) continue;
      index_[hole] = index_[next];
      hole = next;
    }
    index_[hole] = kEmpty;
  }

  std::size_t const capacity_;
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> index_;
  std::size_t mask_ = 0;
  std::size_t next_ = 0;  // the ring slot the next insertion takes
  std::size_t size_ = 0;
};

}  // namespace interfaces
}  // namespace nelko

#endif
