#ifndef NELKO_CORE_C_TEXT_H
#define NELKO_CORE_C_TEXT_H

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

namespace nelko::core {

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};

// A NUL-terminated text from malloc: the form in which texts cross the C boundary, where the
// receiver releases them with free().
using CText = std::unique_ptr<char, FreeDeleter>;

// Copies `text` and appends a NUL; throws std::bad_alloc when memory runs out.
inline char* malloc_text(std::string_view text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

inline CText copy_text(std::string_view text) {
  return CText(malloc_text(text));
}

}  // namespace nelko::core

#endif
