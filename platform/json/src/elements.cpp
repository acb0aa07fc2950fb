#include "json/elements.h"

#include <algorithm>

namespace json {

ParseException::ParseException(std::string const& message, std::size_t offset)
    : Exception(message), offset_(offset) {}

Array::iterator Array::Insert(UnknownElement element) {
  elements_.push_back(std::move(element));
  return std::prev(elements_.end());
}

UnknownElement& Array::operator[](std::size_t index) {
  if (index >= elements_.size()) elements_.resize(index + 1);
  return elements_[index];
}

UnknownElement const& Array::operator[](std::size_t index) const {
  if (index >= elements_.size()) throw Exception("Array out of bounds");
  return elements_[index];
}

void Array::Resize(std::size_t size) {
  elements_.resize(size);
}

void Array::Reserve(std::size_t capacity) {
  elements_.reserve(capacity);
}

void Array::Clear() noexcept {
  elements_.clear();
}

bool operator==(Array const& a, Array const& b) {
  return a.elements_ == b.elements_;
}

Object::iterator Object::Find(std::string_view name) noexcept {
  return std::find_if(members_.begin(), members_.end(),
                      [name](Member const& member) { return member.name == name; });
}

Object::const_iterator Object::Find(std::string_view name) const noexcept {
  return const_cast<Object*>(this)->Find(name);
}

Object::iterator Object::Insert(Member const& member) {
  return Insert(Member(member));
}

Object::iterator Object::Insert(Member&& member) {
  if (Find(member.name) != end()) throw Exception("Object member already exists: " + member.name);
  members_.push_back(std::move(member));
  return std::prev(members_.end());
}

UnknownElement& Object::operator[](std::string_view name) {
  auto found = Find(name);
  if (found != end()) return found->element;
  members_.push_back(Member{std::string(name), UnknownElement()});
  return members_.back().element;
}

UnknownElement const& Object::operator[](std::string_view name) const {
  auto found = Find(name);
  if (found == end()) throw Exception("Object member not found: " + std::string(name));
  return found->element;
}

Object::iterator Object::Erase(iterator where) noexcept {
  return members_.erase(where);
}

void Object::Clear() noexcept {
  members_.clear();
}

bool operator==(Object const& a, Object const& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](Object::Member const& x, Object::Member const& y) {
                      return x.name == y.name && x.element == y.element;
                    });
}

bool operator==(UnknownElement const& a, UnknownElement const& b) {
  if (a.value_.index() != b.value_.index()) return false;
  return std::visit(
      [&b](auto const& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, Null>) {
          return true;
        } else if constexpr (std::is_same_v<T, Boolean> || std::is_same_v<T, Number>) {
          return x.Value() == std::get<T>(b.value_).Value();
        } else {
          return x == std::get<T>(b.value_);
        }
      },
      a.value_);
}

}  // namespace json
