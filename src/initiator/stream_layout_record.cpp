#include "stream_layout_record.h"

#include <cstdlib>

namespace stream_layout {

json::Array listToJsonArray(unsigned int* const* list) {
  json::Array array;
  for (unsigned int* const* entry = list; *entry != nullptr; ++entry) {
    array.Insert(json::Number(static_cast<double>(**entry)));
  }
  return array;
}

}  // namespace stream_layout

template <>
nelko_core_status convertJsonArrayToList<unsigned int>(json::Array const& array,
                                                       unsigned int*** list) {
  if (*list != nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  std::size_t const count = array.Size();
  auto** slots = static_cast<unsigned int**>(std::calloc(count + 1, sizeof(unsigned int*)));
  if (slots == nullptr) return NELKO_CORE_STATUS_ALLOC_FAILED;
  // Frees what this conversion allocated unless it completes.
  nelko::lib::cScopedPointerList<unsigned int> guard;
  *guard.address() = slots;
  std::size_t filled = 0;
  for (auto const& element : array) {
    auto* cell = static_cast<unsigned int*>(std::malloc(sizeof(unsigned int)));
    if (cell == nullptr) return NELKO_CORE_STATUS_ALLOC_FAILED;
    slots[filled++] = cell;
    *cell = stream_layout::toUnsigned(static_cast<json::Number const&>(element));
  }
  *list = slots;
  *guard.address() = nullptr;
  return NELKO_CORE_STATUS_NO_ERROR;
}
