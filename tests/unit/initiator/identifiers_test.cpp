// Request identifiers: each thread draws its own without a lock, so what keeps them distinct is
// how the threads' engines are seeded, in this process and in a child made by fork().
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nelko_interfaces.h"

namespace {

std::vector<std::string> draw(nelkoInterfaces& object, int count) {
  std::vector<std::string> drawn;
  for (int i = 0; i < count; ++i) {
    char* text = object.generateUUID();
    drawn.emplace_back(text);
    std::free(text);
  }
  return drawn;
}

// Lower-case 8-4-4-4-12 hexadecimal, version 4, the RFC 4122 variant.
bool well_formed(std::string const& id) {
  if (id.size() != 36) return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    bool const dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (id[i] == '-')) return false;
    if (!dash && std::strchr("0123456789abcdef", id[i]) == nullptr) return false;
  }
  return id[14] == '4' && std::strchr("89ab", id[19]) != nullptr;
}

TEST(RequestIdentifiers, AreWellFormedAndDistinctAcrossThreadsAndForkedChildren) {
  nelkoInterfaces object(nullptr, 1, 0);
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::vector<std::string>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { drawn[t] = draw(object, kEach); });
  for (auto& thread : threads) thread.join();
  std::set<std::string> seen;
  for (auto const& some : drawn) {
    for (auto const& id : some) {
      EXPECT_TRUE(well_formed(id)) << id;
      seen.insert(id);
    }
  }
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kEach), seen.size());

  // This thread's engine is seeded before the fork; the child must not draw what the parent does.
  draw(object, 1);
  int pipe_ends[2];
  ASSERT_EQ(0, ::pipe(pipe_ends));
  pid_t const child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (auto const& id : draw(object, 100)) {
      if (::write(pipe_ends[1], id.c_str(), id.size() + 1) < 0) ::_exit(1);
    }
    ::_exit(0);
  }
  ::close(pipe_ends[1]);
  std::vector<std::string> const parent = draw(object, 100);
  std::string from_child;
  char buffer[4096];
  for (ssize_t got; (got = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
    from_child.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::set<std::string> const parents(parent.begin(), parent.end());
  std::size_t children = 0;
  for (std::size_t at = 0; at < from_child.size(); at += std::strlen(from_child.c_str() + at) + 1) {
    std::string const id(from_child.c_str() + at);
    EXPECT_TRUE(well_formed(id)) << id;
    EXPECT_EQ(0u, parents.count(id)) << "parent and child both drew " << id;
    ++children;
  }
  EXPECT_EQ(100u, children);
}

}  // namespace
