// KeptRecords: records of ended requests, kept for the next ones.
#ifndef NELKO_BASE_KEPT_RECORDS_H
#define NELKO_BASE_KEPT_RECORDS_H

#include <array>
#include <cstddef>
#include <memory>

namespace nelko {
namespace base {

// Up to N records that a table of requests in flight no longer uses: the next request takes one
// instead of allocating, and the texts it holds keep their memory. N bounds what is kept after a
// burst of requests; records given beyond it are freed.
template <typename Record, std::size_t N>
class KeptRecords {
 public:
  // A kept record, or null when none is kept.
  std::unique_ptr<Record> take() noexcept {
    return count_ == 0 ? nullptr : std::move(kept_[--count_]);
  }
  void give(std::unique_ptr<Record> record) noexcept {
    if (count_ < N) kept_[count_++] = std::move(record);
  }

 private:
  std::array<std::unique_ptr<Record>, N> kept_;
  std::size_t count_ = 0;
};

}  // namespace base
}  // namespace nelko

#endif
