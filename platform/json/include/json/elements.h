// json/elements.h - the JSON document model: values, arrays, objects and the element that holds
// any of them.
//
// Every request and response of the library is a json::Object. Numbers are always doubles; an
// object keeps its members in insertion order and holds each name at most once.
//
// Two ways of reading, chosen by constness:
//
//   * Lenient (non-const): obj["num"] inserts a Null member when "num" is absent, and converting a
//     non-const element to a type it does not hold replaces its value by a default one of that
//     type. A missing or mistyped member therefore reads as 0, "", false or an empty container:
//
//       json::Number& num = response["num"];          // 0 when absent or not a number
//
//   * Strict (const): the same expressions on a const object throw json::Exception with the text
//     "Object member not found: <name>" for a missing member and "Bad cast" for another type,
//     and never modify anything:
//
//       json::Object const& r = response;
//       double status = json::Number(r["status"]);     // throws instead of inventing a value
//
// References returned by Object::operator[] and Find stay valid while members are added or
// other members are erased; Array references are invalidated by growth, like std::vector's.
// All types are cheap to move (no allocation). None is safe for concurrent modification.
//
// Text reading and writing live in json/text.h.
#ifndef NELKO_JSON_ELEMENTS_H
#define NELKO_JSON_ELEMENTS_H

#include <cstddef>
#include <cstring>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace json {

// Every error of this module, including the strict-access errors described above.
class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text that could not be read (json/text.h). Offset() is the byte offset at which reading
// stopped; what() contains it and a description.
class ParseException : public Exception {
 public:
  ParseException(std::string const& message, std::size_t offset);
  std::size_t Offset() const noexcept { return offset_; }

 private:
  std::size_t offset_;
};

struct Null {};

// Number, Boolean and String wrap their value and convert to it implicitly, so that they compare
// and compute like it. String also compares with std::string and text literals.
class Number {
 public:
  Number(double value = 0.0) noexcept : value_(value) {}
  double& Value() noexcept { return value_; }
  double const& Value() const noexcept { return value_; }
  operator double() const noexcept { return value_; }

 private:
  double value_;
};

class Boolean {
 public:
  Boolean(bool value = false) noexcept : value_(value) {}
  bool& Value() noexcept { return value_; }
  bool const& Value() const noexcept { return value_; }
  operator bool() const noexcept { return value_; }

 private:
  bool value_;
};

class String {
 public:
  String() = default;
  String(std::string value) noexcept : value_(std::move(value)) {}
  String(char const* value) : value_(value) {}
  std::string& Value() noexcept { return value_; }
  std::string const& Value() const noexcept { return value_; }
  operator std::string const&() const noexcept { return value_; }

  friend bool operator==(String const& a, String const& b) noexcept { return a.value_ == b.value_; }
  friend bool operator!=(String const& a, String const& b) noexcept { return !(a == b); }

 private:
  std::string value_;
};

class UnknownElement;

namespace detail {
class DomBuilder;

// Memory for single list nodes from a short free list kept by each thread: a document's members
// come and go by the handful per request, and this spares most of them a trip through malloc.
// Never shared between threads; a node freed by another thread than the one that made it simply
// joins that thread's list.
//
// Every library that links this module has a copy of it with free lists of its own, and a
// document is often built by one library and destroyed by another. So a node records, just after
// its memory, the function of the copy that made it, and GiveNode returns it through that
// function: each copy gets back the nodes it hands out instead of one allocating them all and
// another freeing them all. The node itself starts its block, so that whatever points to it
// points to the block: a memory checker counts it reachable, not "possibly lost".
using NodeKeeper = void (*)(void* node, std::size_t size) noexcept;
// Where a node of `size` bytes records its keeper.
constexpr std::size_t KeeperAt(std::size_t size) {
  return (size + alignof(NodeKeeper) - 1) / alignof(NodeKeeper) * alignof(NodeKeeper);
}
void* TakeNode(std::size_t size);
inline void GiveNode(void* node, std::size_t size) noexcept {
  NodeKeeper keeper;
  std::memcpy(&keeper, static_cast<char*>(node) + KeeperAt(size), sizeof keeper);
  keeper(node, size);
}

template <typename T>
struct NodeAllocator {
  using value_type = T;
  NodeAllocator() noexcept = default;
  template <typename U>
  NodeAllocator(NodeAllocator<U> const&) noexcept {}
  T* allocate(std::size_t count) {
    static_assert(alignof(T) <= alignof(std::max_align_t),
                  "a node must not need more than the allocator's alignment");
    if (count == 1) return static_cast<T*>(TakeNode(sizeof(T)));
    return std::allocator<T>().allocate(count);
  }
  void deallocate(T* node, std::size_t count) noexcept {
    if (count == 1) return GiveNode(node, sizeof(T));
    std::allocator<T>().deallocate(node, count);
  }
  friend bool operator==(NodeAllocator const&, NodeAllocator const&) noexcept { return true; }
  friend bool operator!=(NodeAllocator const&, NodeAllocator const&) noexcept { return false; }
};
// Selects the constructor of Object::Member that copies the name straight into the member.
struct NameInPlace {};
inline constexpr NameInPlace kNameInPlace{};
}  // namespace detail

// A sequence of elements.
class Array {
 public:
  using Elements = std::vector<UnknownElement>;
  using iterator = Elements::iterator;
  using const_iterator = Elements::const_iterator;

  Array() noexcept;
  Array(Array const& other);
  Array(Array&& other) noexcept;
  Array& operator=(Array const& other);
  Array& operator=(Array&& other) noexcept;
  ~Array();

  iterator begin() noexcept { return elements_.begin(); }
  iterator end() noexcept { return elements_.end(); }
  const_iterator begin() const noexcept { return elements_.begin(); }
  const_iterator end() const noexcept { return elements_.end(); }
  std::size_t Size() const noexcept { return elements_.size(); }
  bool Empty() const noexcept { return elements_.empty(); }

  // Appends; returns the position of the new element.
  iterator Insert(UnknownElement element);
  // Lenient: grows the array with Null elements up to `index` when needed.
  UnknownElement& operator[](std::size_t index);
  // Strict: throws Exception("Array out of bounds") when index >= Size().
  UnknownElement const& operator[](std::size_t index) const;
  void Resize(std::size_t size);
  void Reserve(std::size_t capacity);
  void Clear() noexcept;

  friend bool operator==(Array const& a, Array const& b);
  friend bool operator!=(Array const& a, Array const& b) { return !(a == b); }

 private:
  Elements elements_;
};

// Named elements in insertion order, each name at most once. Lookups are linear: objects here
// have a handful of members.
class Object {
 public:
  struct Member;  // { std::string name; UnknownElement element; }, defined below
  using Members = std::list<Member, detail::NodeAllocator<Member>>;
  using iterator = Members::iterator;
  using const_iterator = Members::const_iterator;

  Object() noexcept;
  Object(Object const& other);
  Object(Object&& other) noexcept;
  Object& operator=(Object const& other);
  Object& operator=(Object&& other) noexcept;
  ~Object();

  iterator begin() noexcept { return members_.begin(); }
  iterator end() noexcept { return members_.end(); }
  const_iterator begin() const noexcept { return members_.begin(); }
  const_iterator end() const noexcept { return members_.end(); }
  std::size_t Size() const noexcept { return members_.size(); }
  bool Empty() const noexcept { return members_.empty(); }

  // The member called `name`, or end().
  iterator Find(std::string_view name) noexcept;
  const_iterator Find(std::string_view name) const noexcept;
  // Appends a member; throws Exception("Object member already exists: <name>") and leaves the
  // object unchanged when the name is taken.
  iterator Insert(Member const& member);
  iterator Insert(Member&& member);
  // Lenient: appends a Null member when `name` is absent.
  UnknownElement& operator[](std::string_view name);
  // Strict: throws Exception("Object member not found: <name>") when `name` is absent.
  UnknownElement const& operator[](std::string_view name) const;
  // Returns the position after the erased member.
  iterator Erase(iterator where) noexcept;
  void Clear() noexcept;

  // Same names and elements in the same order.
  friend bool operator==(Object const& a, Object const& b);
  friend bool operator!=(Object const& a, Object const& b) { return !(a == b); }

 private:
  friend class detail::DomBuilder;  // appends parsed members after its own duplicate check
  Members members_;
};

// Holds one value of any kind; Null by default. Converts implicitly from every kind and from
// double (any arithmetic type except bool), bool, std::string and text.
//
// Converting to `T const&` on a const element is strict (throws Exception("Bad cast") when the
// element holds another kind); converting to `T&` on a non-const element is lenient (replaces a
// value of another kind by T()). The same holds for operator[], which treats the element as an
// Object (by name) or an Array (by index).
class UnknownElement {
 public:
  enum class Kind { Null, Boolean, Number, String, Array, Object };

  UnknownElement() noexcept = default;
  UnknownElement(Null) noexcept {}
  UnknownElement(Boolean value) noexcept : value_(std::in_place_type<Boolean>, value) {}
  UnknownElement(Number value) noexcept : value_(std::in_place_type<Number>, value) {}
  UnknownElement(String value) noexcept : value_(std::in_place_type<String>, std::move(value)) {}
  UnknownElement(Array value) noexcept : value_(std::in_place_type<Array>, std::move(value)) {}
  UnknownElement(Object value) noexcept : value_(std::in_place_type<Object>, std::move(value)) {}
  UnknownElement(bool value) noexcept : value_(std::in_place_type<Boolean>, value) {}
  template <typename T,
            typename = std::enable_if_t<std::is_arithmetic_v<T> && !std::is_same_v<T, bool>>>
  UnknownElement(T value) noexcept
      : value_(std::in_place_type<Number>, static_cast<double>(value)) {}
  UnknownElement(std::string value) noexcept
      : value_(std::in_place_type<String>, std::move(value)) {}
  UnknownElement(char const* value) : value_(std::in_place_type<String>, value) {}

  UnknownElement(UnknownElement const& other) = default;
  UnknownElement(UnknownElement&& other) noexcept = default;
  // Both assignments allow the source to live inside this element (e = e["child"]).
  UnknownElement& operator=(UnknownElement const& other);
  UnknownElement& operator=(UnknownElement&& other) noexcept;

  Kind GetKind() const noexcept { return static_cast<Kind>(value_.index()); }
  template <typename T>
  bool Is() const noexcept {
    return std::holds_alternative<T>(value_);
  }

  operator Null const&() const { return Strict<Null>(); }
  operator Boolean const&() const { return Strict<Boolean>(); }
  operator Number const&() const { return Strict<Number>(); }
  operator String const&() const { return Strict<String>(); }
  operator Array const&() const { return Strict<Array>(); }
  operator Object const&() const { return Strict<Object>(); }

  operator Null&() { return Lenient<Null>(); }
  operator Boolean&() { return Lenient<Boolean>(); }
  operator Number&() { return Lenient<Number>(); }
  operator String&() { return Lenient<String>(); }
  operator Array&() { return Lenient<Array>(); }
  operator Object&() { return Lenient<Object>(); }

  UnknownElement& operator[](std::string_view name) { return Lenient<Object>()[name]; }
  UnknownElement const& operator[](std::string_view name) const { return Strict<Object>()[name]; }
  UnknownElement& operator[](std::size_t index) { return Lenient<Array>()[index]; }
  UnknownElement const& operator[](std::size_t index) const { return Strict<Array>()[index]; }

  // Same kind and equal values; a NaN Number is unequal to everything.
  friend bool operator==(UnknownElement const& a, UnknownElement const& b);
  friend bool operator!=(UnknownElement const& a, UnknownElement const& b) { return !(a == b); }

 private:
  template <typename T>
  T const& Strict() const {
    if (auto const* held = std::get_if<T>(&value_)) return *held;
    throw Exception("Bad cast");
  }
  template <typename T>
  T& Lenient() noexcept {
    if (auto* held = std::get_if<T>(&value_)) return *held;
    return value_.template emplace<T>();
  }

  // Alternatives in the order of Kind.
  std::variant<Null, Boolean, Number, String, Array, Object> value_;
};

struct Object::Member {
  Member() = default;
  // Builds the element in place from anything it converts from.
  template <typename Value>
  Member(std::string member_name, Value&& value)
      : name(std::move(member_name)), element(std::forward<Value>(value)) {}
  // The same without a std::string of the name first: one copy of it instead of two.
  template <typename Value>
  Member(detail::NameInPlace, std::string_view member_name, Value&& value)
      : name(member_name), element(std::forward<Value>(value)) {}

  std::string name;
  UnknownElement element;
};

// Defined here, where UnknownElement and Member are complete. Move assignment goes through a
// temporary so that the source may be part of the destination.

inline Array::Array() noexcept = default;
inline Array::Array(Array const& other) = default;
inline Array::Array(Array&& other) noexcept = default;
inline Array::~Array() = default;
inline Array& Array::operator=(Array const& other) {
  Elements copy(other.elements_);
  elements_.swap(copy);
  return *this;
}
inline Array& Array::operator=(Array&& other) noexcept {
  Elements moved(std::move(other.elements_));
  elements_.swap(moved);
  return *this;
}

inline Object::Object() noexcept = default;
inline Object::Object(Object const& other) = default;
inline Object::Object(Object&& other) noexcept = default;
inline Object::~Object() = default;
inline Object& Object::operator=(Object const& other) {
  Members copy(other.members_);
  members_.swap(copy);
  return *this;
}
inline Object& Object::operator=(Object&& other) noexcept {
  Members moved(std::move(other.members_));
  members_.swap(moved);
  return *this;
}

inline UnknownElement& UnknownElement::operator=(UnknownElement const& other) {
  UnknownElement copy(other);
  value_ = std::move(copy.value_);
  return *this;
}
inline UnknownElement& UnknownElement::operator=(UnknownElement&& other) noexcept {
  UnknownElement moved(std::move(other));
  value_ = std::move(moved.value_);
  return *this;
}

}  // namespace json

#endif
