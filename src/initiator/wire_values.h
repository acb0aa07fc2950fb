// How each C type of the stream_layout messages travels: one trait per type, used by the generic
// builders, readers and completions. Every number travels as a JSON double; a layout list as an
// array of numbers. Each trait works on one member's element; finding the member by its name is
// the caller's business (named_members.h).
//
// Wire<T> gives, for a value of C type T:
//   put(element, value)              stores it as the element's value (a request member), whatever
//                                    the element held before;
//   is_refused(value)                whether a builder refuses it (a null list) before sending;
//   read_lenient(element, out)       reads it after a synchronous receive: an element of another
//                                    kind (a missing member arrives as a Null one) is replaced by
//                                    a default of the wanted kind (0, an empty array) and read as
//                                    such;
//   Held, read_strict(element, held), get(held)
//                                    what a completion holds until the client function has
//                                    returned, how it reads it (an element of another kind throws
//                                    json::Exception "Bad cast"), and the value the client is
//                                    given.
// Both ways of reading come from the DOM: the non-const access converts, the const access throws.
// Reads return a status; only a list read can fail.
#ifndef NELKO_INITIATOR_WIRE_VALUES_H
#define NELKO_INITIATOR_WIRE_VALUES_H

#include <cstdlib>

#include "json/elements.h"
#include "nelko_core_types.h"

namespace nelko {
namespace stream_layout {

// A layout list in the platform's list form: n + 1 pointers, the first n to separately allocated
// values, then null.
using List = unsigned int**;

namespace detail {

// Truncates toward zero and clamps to 0..4294967295; NaN reads as 0.
inline unsigned int to_unsigned(double value) {
  if (!(value > 0.0)) return 0u;
  if (value >= 4294967295.0) return 4294967295u;
  return static_cast<unsigned int>(value);
}

// Holds one list and frees it (every element, then the array) when it goes out of scope.
class ScopedList {
 public:
  ScopedList() = default;
  ~ScopedList() { reset(); }
  ScopedList(ScopedList const&) = delete;
  ScopedList& operator=(ScopedList const&) = delete;

  void reset() {
    if (list_ == nullptr) return;
    for (unsigned int** element = list_; *element != nullptr; ++element) std::free(*element);
    std::free(list_);
    list_ = nullptr;
  }
  List get() const { return list_; }
  // Where a conversion stores the list it makes.
  List* address() { return &list_; }

 private:
  List list_ = nullptr;
};

// The list's values as a JSON array of numbers.
json::Array list_to_json(unsigned int* const* list);

// Converts a JSON array of numbers into a new list stored in *list, which must be null on entry
// (1 otherwise). 2 when memory runs out. A non-number element throws json::Exception ("Bad cast");
// whatever was allocated is freed first and *list stays null.
nelko_core_status list_from_json(json::Array const& array, List* list);

template <typename T>
struct Wire;

// A value read as the number it travels as, converted by `from_number`.
template <typename T>
struct NumberWire {
  using Held = T;
  static void put(json::UnknownElement& element, T value) {
    static_cast<json::Number&>(element).Value() = static_cast<double>(value);
  }
  static bool is_refused(T) { return false; }
  static nelko_core_status read_lenient(json::UnknownElement& element, T* out) {
    json::Number& number = element;
    *out = Wire<T>::from_number(number);
    return NELKO_CORE_STATUS_NO_ERROR;
  }
  static nelko_core_status read_strict(json::UnknownElement const& element, Held& held) {
    json::Number const& number = element;
    held = Wire<T>::from_number(number);
    return NELKO_CORE_STATUS_NO_ERROR;
  }
  static T get(Held const& held) { return held; }
};

template <>
struct Wire<unsigned int> : NumberWire<unsigned int> {
  static unsigned int from_number(double number) { return to_unsigned(number); }
};

template <>
struct Wire<double> : NumberWire<double> {
  static double from_number(double number) { return number; }
};

template <>
struct Wire<List> {
  using Held = ScopedList;
  static void put(json::UnknownElement& element, List value) {
    static_cast<json::Array&>(element) = list_to_json(value);
  }
  static bool is_refused(List value) { return value == nullptr; }
  // An out-parameter that already holds a list is refused with 1 (the list stays).
  static nelko_core_status read_lenient(json::UnknownElement& element, List* out) {
    json::Array& array = element;
    return list_from_json(array, out);
  }
  static nelko_core_status read_strict(json::UnknownElement const& element, Held& held) {
    json::Array const& array = element;
    return list_from_json(array, held.address());
  }
  static List get(Held const& held) { return held.get(); }
};

}  // namespace detail
}  // namespace stream_layout
}  // namespace nelko

#endif
