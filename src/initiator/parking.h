// Waiting for a condition that another thread makes true, without a mutex to take back after the
// wake-up and without touching the waiter's objects in order to wake it.
//
// A condition variable wakes its waiter into a mutex: when the waking thread still holds it (as
// it must, when the waiter may free the condition variable as soon as it returns), a waiter that
// runs at once on the same processor blocks on the mutex straight away. Here the waiter sleeps on
// a word of a small table that lives as long as the process, chosen by the address of what it
// waits for, and the waking thread touches only that word: the object waited for may go the
// moment its waiter has seen the condition. Keys that share a word only wake each other for
// nothing, and each waiter then looks at its condition again.
//
// The protocol, with every step sequentially consistent: the waiter makes itself known (counts
// itself where the waking thread will look), then waits(); the waking thread makes the condition
// true, then looks whether anybody waits and, if so, calls wake(). One of the two always sees
// the other.
#ifndef NELKO_INITIATOR_PARKING_H
#define NELKO_INITIATOR_PARKING_H

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

namespace nelko {
namespace stream_layout {
namespace detail {
namespace parking {

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "a futex word is a plain int");

struct alignas(64) Word {
  std::atomic<int> changes{0};
};
inline Word words[16];

inline std::atomic<int>& word_of(void const* key) {
  auto const bits = reinterpret_cast<std::uintptr_t>(key);
  return words[((bits >> 6) ^ (bits >> 10)) % (sizeof words / sizeof words[0])].changes;
}

inline int* futex_address(std::atomic<int>& word) {
  return reinterpret_cast<int*>(&word);
}

// Returns once done() is true; done() is asked again after every wake-up, whatever its cause.
template <typename Done>
void wait(void const* key, Done&& done) {
  std::atomic<int>& word = word_of(key);
  for (;;) {
    int const seen = word.load();
    if (done()) return;
    // Sleeps only while the word is still `seen`: a wake() after the load above is not missed.
    ::syscall(SYS_futex, futex_address(word), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
  }
}

// Wakes every thread waiting on `key` (and those that share its word).
inline void wake(void const* key) {
  std::atomic<int>& word = word_of(key);
  word.fetch_add(1);
  ::syscall(SYS_futex, futex_address(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace parking
}  // namespace detail
}  // namespace stream_layout
}  // namespace nelko

#endif
