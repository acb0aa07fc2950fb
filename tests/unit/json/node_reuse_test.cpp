// Member nodes come from per-thread free lists, one per copy of the json module (each shared
// library that links it has one). A document is often built by one library and destroyed by
// another; its nodes must still find their way back to the list they came from, or one copy
// allocates every node while the other frees every one.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "json/elements.h"
#include "node_reuse_other_copy.h"

namespace {
std::atomic<long> allocations{0};
}  // namespace

// Counts every allocation of the process, the other library's included (it reaches these through
// the dynamic linker).
void* operator new(std::size_t size) {
  ++allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace {

// Set by the build with AddressSanitizer, under which every node goes back to the allocator.
#if defined(NELKO_NODES_NOT_KEPT)
constexpr bool kNodesAreKept = false;
#else
constexpr bool kNodesAreKept = true;
#endif

std::string const kResponse = R"({"status":0,"pan":0.0,"tilt":0.0,"roll":0.0,"vfov":0.0})";

json::Object request() {
  json::Object built;
  built["command"] = "Get_roi";
  built["roi_index"] = 0;
  built["roi_set"] = 0;
  return built;
}

TEST(NodeReuse, DocumentsDestroyedByAnotherCopyOfTheModuleCostNoAllocation) {
  if (!kNodesAreKept) GTEST_SKIP() << "AddressSanitizer builds free every node";
  std::string text;
  text.reserve(kResponse.size());
  auto exchange = [&text] {
    text = kResponse;
    json::Object response = ReadInOtherCopy(text);  // built there, destroyed here
    ASSERT_EQ(5u, response.Size());
    DestroyInOtherCopy(request());  // and the reverse
  };
  for (int i = 0; i < 10; ++i) exchange();  // fills both copies' lists

  long const before = allocations;
  for (int i = 0; i < 1000; ++i) exchange();
  EXPECT_EQ(0, allocations - before);
}

}  // namespace
