#include "wire_values.h"

namespace nelko {
namespace stream_layout {
namespace detail {

json::Array list_to_json(unsigned int* const* list) {
  json::Array array;
  for (unsigned int* const* entry = list; *entry != nullptr; ++entry) {
    array.Insert(json::Number(static_cast<double>(**entry)));
  }
  return array;
}

nelko_core_status list_from_json(json::Array const& array, List* list) {
  if (*list != nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  std::size_t const count = array.Size();
  auto** slots = static_cast<unsigned int**>(std::calloc(count + 1, sizeof(unsigned int*)));
  if (slots == nullptr) return NELKO_CORE_STATUS_ALLOC_FAILED;
  // Frees what this conversion allocated unless it completes.
  ScopedList guard;
  *guard.address() = slots;
  std::size_t filled = 0;
  for (auto const& element : array) {
    auto* cell = static_cast<unsigned int*>(std::malloc(sizeof(unsigned int)));
    if (cell == nullptr) return NELKO_CORE_STATUS_ALLOC_FAILED;
    slots[filled++] = cell;
    *cell = to_unsigned(static_cast<json::Number const&>(element));
  }
  *list = slots;
  *guard.address() = nullptr;
  return NELKO_CORE_STATUS_NO_ERROR;
}

}  // namespace detail
}  // namespace stream_layout
}  // namespace nelko
