// The stream layout record: nine parallel lists of unsigned ints, one entry per placement, in the
// platform's list form (n + 1 pointers, the first n to separately allocated values, then null).
#ifndef NELKO_INITIATOR_STREAM_LAYOUT_RECORD_H
#define NELKO_INITIATOR_STREAM_LAYOUT_RECORD_H

#include <array>
#include <cstdlib>
#include <new>

#include "json/elements.h"
#include "nelko_core_types.h"
#include "stream_layout_values.h"

namespace stream_layout {

// The member names of the nine lists, in the record's fixed order.
constexpr std::array<char const*, 9> kLayoutKeys = {{
    "source_upper_left_x_millipercent",
    "source_upper_left_y_millipercent",
    "source_width_millipercent",
    "source_height_millipercent",
    "destination_type",
    "destination_upper_left_x_millipercent",
    "destination_upper_left_y_millipercent",
    "destination_width_millipercent",
    "destination_height_millipercent",
}};

// The list's values as a JSON array of numbers.
json::Array listToJsonArray(unsigned int* const* list);

}  // namespace stream_layout

namespace nelko {
namespace lib {

// Holds one list and frees it (every element, then the array) when it goes out of scope.
template <typename T>
class cScopedPointerList {
 public:
  cScopedPointerList() = default;
  ~cScopedPointerList() { freeList(); }
  cScopedPointerList(cScopedPointerList const&) = delete;
  cScopedPointerList& operator=(cScopedPointerList const&) = delete;

  void freeList() {
    if (m_list == nullptr) return;
    for (T** element = m_list; *element != nullptr; ++element) std::free(*element);
    std::free(m_list);
    m_list = nullptr;
  }
  T** get() const { return m_list; }
  // Where a conversion stores the list it makes.
  T*** address() { return &m_list; }

 private:
  T** m_list = nullptr;
};

}  // namespace lib
}  // namespace nelko

// Converts a JSON array of numbers into a new list stored in *list, which must be null on entry
// (1 otherwise). 2 when memory runs out. A non-number element throws json::Exception ("Bad cast");
// whatever was allocated is freed first and *list stays null.
template <typename T>
nelko_core_status convertJsonArrayToList(json::Array const& array, T*** list);

template <>
nelko_core_status convertJsonArrayToList<unsigned int>(json::Array const& array,
                                                       unsigned int*** list);

#endif
