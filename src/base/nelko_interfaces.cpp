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
#include <new>
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

// The engine of a thread's identifiers: the same engine as an object's, seeded the same way, on
// the thread's first draw and again in a child process. A thread draws without a lock; engines
// seeded apart draw independent identifiers, in other threads as in other processes. The engine
// (2.5 KiB) lives on the heap: the thread's static TLS holds only a pointer to it, reached without
// a call into the dynamic linker (initial-exec); `t_engine_owner` frees it when the thread ends.
struct ThreadEngine {
  boost::random::mt19937 engine;
  unsigned forks = 0;
};
__attribute__((tls_model("initial-exec"))) thread_local ThreadEngine* t_engine = nullptr;
struct ThreadEngineOwner {
  ThreadEngine* engine = nullptr;
  ~ThreadEngineOwner() {
    delete engine;
    t_engine = nullptr;
  }
};
thread_local ThreadEngineOwner t_engine_owner;

// The calling thread's engine, seeded; null when there is no memory for one.
boost::random::mt19937* thread_engine() {
  static bool const observing_forks =
      (::pthread_atfork(nullptr, nullptr,
                        [] { g_forks.fetch_add(1, std::memory_order_relaxed); }) == 0);
  (void)observing_forks;
  ThreadEngine* engine = t_engine;
  unsigned const forks = g_forks.load(std::memory_order_relaxed);
  if (engine == nullptr) {
    engine = new (std::nothrow) ThreadEngine;
    if (engine == nullptr) return nullptr;
    t_engine_owner.engine = engine;  // freed when the thread ends
    t_engine = engine;
  } else if (engine->forks == forks) {
    return &engine->engine;
  }
  seed_from_system(engine->engine);
  engine->forks = forks;
  return &engine->engine;
}

void draw_bytes(boost::random::mt19937& engine, unsigned char (&bytes)[16]) {
  for (int word = 0; word < 4; ++word) {
    std::uint32_t const value = engine();
    for (int i = 0; i < 4; ++i) bytes[word * 4 + i] = static_cast<unsigned char>(value >> (8 * i));
  }
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
  // (threads share objects). The distribution over the engine's full range would hand each draw
  // over unchanged, so the engine is drawn from directly.
  (void)object;
  if (boost::random::mt19937* engine = thread_engine()) {
    draw_bytes(*engine, bytes);
  } else {
    // No memory for the thread's engine: one seeded for this draw (constructing one costs
    // thousands of instructions, so only here).
    boost::random::mt19937 spare;
    seed_from_system(spare);
    draw_bytes(spare, bytes);
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
