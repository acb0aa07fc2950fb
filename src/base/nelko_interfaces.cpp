#include "nelko_interfaces.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iterator>
#include <pthread.h>
#include <random>
#include <stdexcept>
#include <sys/random.h>
#include <unistd.h>
#include <vector>

#include "nelko_core_logging.h"

namespace {

// A seed sequence over the kernel's entropy (getrandom): the engine asks it for its whole state
// at once. Throws when the kernel gives none.
struct SystemEntropy {
  template <typename Iterator>
  void generate(Iterator first, Iterator last) {
    std::vector<std::uint32_t> words(static_cast<std::size_t>(std::distance(first, last)));
    auto* bytes = reinterpret_cast<unsigned char*>(words.data());
    std::size_t const size = words.size() * sizeof(std::uint32_t);
    for (std::size_t filled = 0; filled < size;) {
      ssize_t const got = ::getrandom(bytes + filled, size - filled, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) throw std::runtime_error("getrandom failed");
      filled += static_cast<std::size_t>(got);
    }
    std::copy(words.begin(), words.end(), first);
  }
};

void seed_from_system(boost::random::mt19937& engine) {
  try {
    SystemEntropy entropy;
    engine.seed(entropy);
  } catch (...) {
    // No entropy source: fall back to data that still differs between objects and processes.
    std::seed_seq seq{static_cast<std::uint32_t>(::getpid()),
                      static_cast<std::uint32_t>(std::time(nullptr)),
                      static_cast<std::uint32_t>(std::clock()),
                      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&engine))};
    engine.seed(seq);
  }
}

// The two lower-case hexadecimal digits of every byte value, in order.
struct HexPairs {
  char digits[512];
};
constexpr HexPairs hex_pairs() {
  HexPairs pairs{};
  char const digits[] = "0123456789abcdef";
  for (int value = 0; value < 256; ++value) {
    pairs.digits[2 * value] = digits[value >> 4];
    pairs.digits[2 * value + 1] = digits[value & 0x0F];
  }
  return pairs;
}

// Bumped in a child process after fork(): a thread's engine seeded before the fork would draw
// the very identifiers that the parent draws.
std::atomic<unsigned> g_forks{0};

// The generator of a thread's identifiers: xoshiro256** (256 bits of state, 64 bits a draw),
// seeded from the system's entropy on the thread's first draw and again in a child process.
// A thread draws without a lock; engines seeded apart draw independent identifiers, in other
// threads as in other processes. Plain data, so that it lives in the thread's static TLS block
// (initial-exec: no call into the dynamic linker on each use) without a destructor.
struct ThreadEngine {
  std::uint64_t state[4];
  unsigned forks;
  bool seeded;
};
__attribute__((tls_model("initial-exec"))) thread_local ThreadEngine t_engine;

std::uint64_t rotate_left(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// splitmix64: spreads the fallback seed's few bits over the state.
std::uint64_t split_mix(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void seed_thread_engine(ThreadEngine& engine) {
  auto* bytes = reinterpret_cast<unsigned char*>(engine.state);
  std::size_t filled = 0;
  while (filled < sizeof engine.state) {
    ssize_t const got = ::getrandom(bytes + filled, sizeof engine.state - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  bool const all_zero =
      (engine.state[0] | engine.state[1] | engine.state[2] | engine.state[3]) == 0;
  if (filled < sizeof engine.state || all_zero) {
    // No entropy source: data that still differs between threads and processes.
    std::uint64_t seed = static_cast<std::uint64_t>(::getpid()) << 32 ^
                         static_cast<std::uint64_t>(std::time(nullptr)) ^
                         static_cast<std::uint64_t>(std::clock()) << 20 ^
                         static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&engine));
    for (std::uint64_t& word : engine.state) word = split_mix(seed);
  }
}

ThreadEngine& thread_engine() {
  static bool const observing_forks =
      (::pthread_atfork(nullptr, nullptr,
                        [] { g_forks.fetch_add(1, std::memory_order_relaxed); }) == 0);
  (void)observing_forks;
  ThreadEngine& engine = t_engine;
  unsigned const forks = g_forks.load(std::memory_order_relaxed);
  if (!engine.seeded || engine.forks != forks) {
    seed_thread_engine(engine);
    engine.forks = forks;
    engine.seeded = true;
  }
  return engine;
}

std::uint64_t draw(ThreadEngine& engine) {
  std::uint64_t* const s = engine.state;
  std::uint64_t const result = rotate_left(s[1] * 5, 7) * 9;
  std::uint64_t const t = s[1] << 17;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = rotate_left(s[3], 45);
  return result;
}

}  // namespace

nelkoInterfaces::nelkoInterfaces(void* log_handle, std::uint32_t version_major,
                                 std::uint32_t version_minor)
    : m_logHandle(log_handle),
      m_versionMajor(version_major),
      m_versionMinor(version_minor),
      m_uuidEngine(new boost::random::mt19937),
      m_uuidDistribution(0u, 4294967295u) {
  seed_from_system(*m_uuidEngine);
}

nelkoInterfaces::~nelkoInterfaces() { m_logHandle = nullptr; }

void nelko::base::generate_uuid(nelkoInterfaces& object, UuidText& uuid) {
  unsigned char bytes[16];
  // Drawn from the calling thread's engine rather than the object's, which would need a lock
  // (threads share objects).
  (void)object;
  ThreadEngine& engine = thread_engine();
  for (int word = 0; word < 2; ++word) {
    std::uint64_t const value = draw(engine);
    for (int i = 0; i < 8; ++i) bytes[word * 8 + i] = static_cast<unsigned char>(value >> (8 * i));
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant

  // 8-4-4-4-12 hexadecimal digits: each byte's two digits come whole from a table.
  static constexpr HexPairs kHex = hex_pairs();
  static constexpr unsigned char kAt[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
  char* const text = uuid.text;
  for (int i = 0; i < 16; ++i) std::memcpy(text + kAt[i], &kHex.digits[2 * bytes[i]], 2);
  text[8] = text[13] = text[18] = text[23] = '-';
  text[sizeof uuid.text - 1] = '\0';
}

char* nelkoInterfaces::generateUUID() {
  nelko::base::UuidText uuid;
  nelko::base::generate_uuid(*this, uuid);
  auto* text = static_cast<char*>(std::malloc(sizeof uuid.text));
  if (text == nullptr) return nullptr;
  std::memcpy(text, uuid.text, sizeof uuid.text);
  return text;
}

void nelkoInterfaces::IPC_LOG_ERR(char const* format, ...) const {
  va_list args;
  va_start(args, format);
  nelko_core_logging_logv(m_logHandle, NELKO_CORE_LOG_PRIORITY_ERR, format, args);
  va_end(args);
}

void nelkoInterfaces::IPC_LOG_WARNING(char const* format, ...) const {
  va_list args;
  va_start(args, format);
  nelko_core_logging_logv(m_logHandle, NELKO_CORE_LOG_PRIORITY_WARNING, format, args);
  va_end(args);
}
