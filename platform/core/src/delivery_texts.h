#ifndef NELKO_CORE_DELIVERY_TEXTS_H
#define NELKO_CORE_DELIVERY_TEXTS_H

#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "c_text.h"

namespace nelko::core {

// The malloc'ed texts of one delivery, handed to callees as `char **`. A callee may take a text
// over by nulling its slot; refill() then gives the next callee a fresh copy, so every callee
// sees complete texts. The bytes behind `sources` must outlive the object.
//
// A text is copied up to its first NUL: C code sees no further, and a peer must not make a small
// text hold a large block.
template <std::size_t N>
class DeliveryTexts {
 public:
  explicit DeliveryTexts(std::array<std::string_view, N> const& sources) : sources_(sources) {
    for (std::string_view& source : sources_) source = source.substr(0, source.find('\0'));
    try {
      refill();
    } catch (...) {
      for (char* text : texts_) std::free(text);
      throw;
    }
  }
  // Without texts until reload().
  DeliveryTexts() = default;
  ~DeliveryTexts() {
    for (char* text : texts_) std::free(text);
  }
  DeliveryTexts(DeliveryTexts const&) = delete;
  DeliveryTexts& operator=(DeliveryTexts const&) = delete;

  void refill() {
    for (std::size_t i = 0; i < N; ++i) {
      if (texts_[i] == nullptr) copy(i);
    }
  }
  // The texts of the next delivery, copied into the blocks of the last one that are still here
  // (no callee took them) where they fit: a stream of deliveries then costs no allocation.
  void reload(std::array<std::string_view, N> const& sources) {
    for (std::size_t i = 0; i < N; ++i) {
      std::string_view const source = sources[i].substr(0, sources[i].find('\0'));
      sources_[i] = source;
      if (texts_[i] != nullptr && capacities_[i] > source.size()) {
        if (!source.empty()) std::memcpy(texts_[i], source.data(), source.size());
        texts_[i][source.size()] = '\0';
      } else {
        std::free(texts_[i]);
        texts_[i] = nullptr;
        copy(i);  // should it throw, the slot stays empty, as refill() finds it
      }
    }
  }
  // Lets go of blocks larger than `kept` bytes, which one large delivery made. Usually there is
  // none: then only the largest block made so far is looked at.
  void release_large(std::size_t kept) {
    if (largest_ <= kept) return;
    largest_ = 0;
    for (std::size_t i = 0; i < N; ++i) {
      if (texts_[i] == nullptr) continue;
      if (capacities_[i] > kept) {
        std::free(texts_[i]);
        texts_[i] = nullptr;
      } else if (capacities_[i] > largest_) {
        largest_ = capacities_[i];
      }
    }
  }
  char** slot(std::size_t i) { return &texts_[i]; }
  // All texts, for a delivery that is queued instead of handed to callees.
  std::array<CText, N> take_all() {
    std::array<CText, N> taken;
    for (std::size_t i = 0; i < N; ++i) {
      taken[i].reset(texts_[i]);
      texts_[i] = nullptr;
    }
    return taken;
  }

 private:
  // A fresh block for text i, which has none.
  void copy(std::size_t i) {
    texts_[i] = malloc_text(sources_[i]);
    capacities_[i] = sources_[i].size() + 1;
    if (capacities_[i] > largest_) largest_ = capacities_[i];
  }

  std::array<std::string_view, N> sources_;
  std::array<char*, N> texts_{};
  std::array<std::size_t, N> capacities_{};  // of the blocks in texts_
  std::size_t largest_ = 0;                  // no block in texts_ is larger
};

}  // namespace nelko::core

#endif
