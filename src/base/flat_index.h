// FlatIndex: finds records that live elsewhere by a key that each record carries.
//
// The tables of requests in flight are looked up several times per request, and std::unordered_map
// takes every hash modulo a prime bucket count: a division for each look-up, insertion and
// removal, and one more for each node passed along a bucket. On the 32-bit ARM target that
// division is a call into the compiler's runtime library, and on older x86 cores it takes tens
// of cycles. This index divides nothing: it is an open-addressing table of (hash, record) slots
// whose size is a power of two, at most half full, probed linearly from the slot that the top
// bits of the hash times 2^N/phi pick. A look-up usually reads one or two adjacent slots.
//
// The index never owns its records and never moves them: a record stays where its owner put
// it, and so do the texts it holds. Several records may share a key (then it serves as a
// multi-index); they are told apart by address. `KeyOf` gives a record's key (a view is fine),
// `Hash` hashes keys, `Equal` compares them; keys of other types that Hash and Equal take (a
// string_view for a std::string key) find records without a key made for them.
//
// Not thread-safe: its owner guards it, as it would a std::unordered_map.
#ifndef NELKO_BASE_FLAT_INDEX_H
#define NELKO_BASE_FLAT_INDEX_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <utility>

namespace nelko {
namespace base {

template <typename Record, typename KeyOf, typename Hash, typename Equal = std::equal_to<>>
class FlatIndex {
 public:
  FlatIndex() = default;
  FlatIndex(FlatIndex const&) = delete;
  FlatIndex& operator=(FlatIndex const&) = delete;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Room for `count` records in all: inserting up to that many then cannot throw. Throws
  // std::bad_alloc, leaving the index as it was, when the table cannot grow.
  void reserve(std::size_t count) {
    if (count <= capacity() / 2) return;
    std::size_t wanted = kMinimumCapacity;
    while (wanted / 2 < count) wanted *= 2;
    regrow(wanted);
  }

  // Adds `record`, which is not in the index (its key may be). Throws as reserve() does.
  void insert(Record* record) {
    reserve(size_ + 1);
    place(Slot{Hash()(KeyOf()(*record)), record});
    ++size_;
  }

  // A record whose key equals `key`, or null.
  template <typename Key>
  Record* find(Key const& key) const noexcept {
    if (size_ == 0) return nullptr;
    std::size_t const at = position_of(key);
    return at == kNowhere ? nullptr : slots_[at].record;
  }

  // Removes `record`; false when it is not in the index.
  bool erase(Record const* record) noexcept {
    if (size_ == 0) return false;
    std::size_t const hash = Hash()(KeyOf()(*record));
    for (std::size_t at = home(hash);; at = next(at)) {
      Slot const& slot = slots_[at];
      if (slot.record == nullptr) return false;
      if (slot.record == record) {
        remove_at(at);
        return true;
      }
    }
  }

  // Removes a record whose key equals `key` and returns it; null when there is none.
  template <typename Key>
  Record* take(Key const& key) noexcept {
    if (size_ == 0) return nullptr;
    std::size_t const at = position_of(key);
    if (at == kNowhere) return nullptr;
    Record* const record = slots_[at].record;
    remove_at(at);
    return record;
  }

  // Removes every record whose key equals `key` and hands each to `removed` once it is out of the
  // index, in one walk along the run of slots where such records are. `removed` may not change
  // the index.
  template <typename Key, typename Removed>
  void take_all(Key const& key, Removed removed) {
    if (size_ == 0) return;
    std::size_t const hash = Hash()(key);
    for (std::size_t at = home(hash); slots_[at].record != nullptr;) {
      Record* const record = slots_[at].record;
      if (slots_[at].hash != hash || !Equal()(KeyOf()(*record), key)) {
        at = next(at);
        continue;
      }
      remove_at(at);  // a later record of the run may move here: it is looked at next
      removed(record);
    }
  }

  // Removes every record for which `doomed` is true and hands each to `removed` once it is out
  // of the index. Neither may change the index.
  template <typename Doomed, typename Removed>
  void erase_if(Doomed doomed, Removed removed) {
    for (std::size_t at = 0; at < capacity();) {
      Record* const record = slots_[at].record;
      if (record == nullptr || !doomed(record)) {
        ++at;
        continue;
      }
      // A later record may move into this slot: it is looked at next. Only records looked at
      // already move the other way (from the start of the table to its end, where a run wraps).
      remove_at(at);
      removed(record);
    }
  }

  // Calls `visit` with every record, in no particular order. `visit` must not change the index.
  template <typename Visit>
  void for_each(Visit visit) const {
    for (std::size_t at = 0; at < capacity(); ++at) {
      if (slots_[at].record != nullptr) visit(slots_[at].record);
    }
  }

 private:
  struct Slot {
    std::size_t hash = 0;
    Record* record = nullptr;  // null: the slot is free
  };
  static constexpr std::size_t kMinimumCapacity = 16;
  static constexpr std::size_t kNowhere = std::numeric_limits<std::size_t>::max();
  static constexpr int kBits = std::numeric_limits<std::size_t>::digits;
  // 2^kBits divided by the golden ratio, odd: multiplying by it spreads every bit of a hash into
  // the top bits, which pick the slot (aligned pointers, whose low bits are all zero, too).
  static constexpr std::size_t kSpread =
      kBits == 64 ? static_cast<std::size_t>(0x9E3779B97F4A7C15ull) : std::size_t{0x9E3779B9u};

  std::size_t capacity() const noexcept { return mask_ + (slots_ ? 1 : 0); }
  std::size_t home(std::size_t hash) const noexcept { return (hash * kSpread) >> shift_; }
  std::size_t next(std::size_t at) const noexcept { return (at + 1) & mask_; }

  template <typename Key>
  std::size_t position_of(Key const& key) const noexcept {
    std::size_t const hash = Hash()(key);
    for (std::size_t at = home(hash);; at = next(at)) {
      Slot const& slot = slots_[at];
      if (slot.record == nullptr) return kNowhere;
      if (slot.hash == hash && Equal()(KeyOf()(*slot.record), key)) return at;
    }
  }

  // Into the first free slot from its home on; there is one, since the table is at most half full.
  void place(Slot slot) noexcept {
    std::size_t at = home(slot.hash);
    while (slots_[at].record != nullptr) at = next(at);
    slots_[at] = slot;
  }

  // Frees slot `at` and moves back each later slot of its run that may sit there, so that every
  // record stays reachable from its home without running into a free slot.
  void remove_at(std::size_t at) noexcept {
    std::size_t hole = at;
    for (std::size_t later = next(at); slots_[later].record != nullptr; later = next(later)) {
      std::size_t const wanted = home(slots_[later].hash);
      // It may move to the hole when the hole lies on its way from its home to where it is.
      if (((later - wanted) & mask_) >= ((later - hole) & mask_)) {
        slots_[hole] = slots_[later];
        hole = later;
      }
    }
    slots_[hole] = Slot();
    --size_;
  }

  void regrow(std::size_t wanted) {
    std::unique_ptr<Slot[]> old = std::move(slots_);
    std::size_t const old_capacity = old ? mask_ + 1 : 0;
    try {
      slots_.reset(new Slot[wanted]);
    } catch (...) {
      slots_ = std::move(old);
      throw;
    }
    mask_ = wanted - 1;
    shift_ = kBits;
    for (std::size_t size = wanted; size > 1; size /= 2) --shift_;
    for (std::size_t at = 0; at < old_capacity; ++at) {
      if (old[at].record != nullptr) place(old[at]);
    }
  }

  std::unique_ptr<Slot[]> slots_;
  std::size_t mask_ = 0;  // capacity - 1, once there are slots
  int shift_ = kBits;     // kBits - log2(capacity)
  std::size_t size_ = 0;
};

}  // namespace base
}  // namespace nelko

#endif
