#include "json/elements.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "bytes.h"

namespace json {

namespace detail {
namespace {

// Under AddressSanitizer every node goes back to the allocator, which then finds a use after free.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kKeptNodes = 0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::size_t kKeptNodes = 0;
#else
constexpr std::size_t kKeptNodes = 256;
#endif
#else
constexpr std::size_t kKeptNodes = 256;
#endif

// Nodes of one size (lists of members are the only users), at most kKeptNodes of them. Plain
// data, so that reaching it costs no initialisation check; a Releaser frees what it holds when
// the thread ends.
struct FreeNodes {
  struct Node {
    Node* next;
  };
  Node* head;
  std::size_t count;
  std::size_t size;
  bool releasing;  // a Releaser is registered for this thread
  bool ended;      // the thread is exiting: nodes freed after this go straight back
};

// Initial-exec: reached without a call into the dynamic linker. The few bytes come from the
// static TLS space that glibc keeps for libraries loaded later (the Lua module).
__attribute__((tls_model("initial-exec"))) thread_local FreeNodes free_nodes;

struct Releaser {
  ~Releaser() {
    FreeNodes& nodes = free_nodes;
    nodes.ended = true;
    while (nodes.head != nullptr) {
      FreeNodes::Node* node = nodes.head;
      nodes.head = node->next;
      ::operator delete(node);
    }
    nodes.count = kKeptNodes;  // full: KeepNode's common case no longer applies
  }
};

// Takes back a node of this copy of the module (see GiveNode in the header): onto this thread's
// list when there is room, else to the allocator. Out of line, so that KeepNode's common case
// saves no registers.
__attribute__((noinline)) void KeepNodeSlowly(void* node, std::size_t size) noexcept {
  FreeNodes& nodes = free_nodes;
  if (nodes.ended || nodes.count >= kKeptNodes || size < sizeof(FreeNodes::Node) ||
      (nodes.head != nullptr && nodes.size != size)) {
    ::operator delete(node);
    return;
  }
  if (!nodes.releasing) {
    thread_local Releaser releaser;
    (void)releaser;
    nodes.releasing = true;
  }
  nodes.size = size;
  nodes.head = new (node) FreeNodes::Node{nodes.head};
  ++nodes.count;
}

void KeepNode(void* node, std::size_t size) noexcept {
  FreeNodes& nodes = free_nodes;
  // The common case: a list of this size with room, whose Releaser is registered (it was by the
  // first node kept) and has not run (it leaves the list full).
  if (nodes.size == size && nodes.count < kKeptNodes) {
    nodes.head = new (node) FreeNodes::Node{nodes.head};
    ++nodes.count;
    return;
  }
  KeepNodeSlowly(node, size);
}

}  // namespace

void* TakeNode(std::size_t size) {
  FreeNodes& nodes = free_nodes;
  if (nodes.head != nullptr && nodes.size == size) {
    FreeNodes::Node* node = nodes.head;
    nodes.head = node->next;
    --nodes.count;
    return node;  // it still names KeepNode after its memory
  }
  void* const node = ::operator new(KeeperAt(size) + sizeof(NodeKeeper));
  NodeKeeper const keeper = &KeepNode;
  std::memcpy(static_cast<char*>(node) + KeeperAt(size), &keeper, sizeof keeper);
  return node;
}

}  // namespace detail

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
                      [name](Member const& member) { return detail::SameName(member.name, name); });
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
  members_.emplace_back(detail::kNameInPlace, name, Null());
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
