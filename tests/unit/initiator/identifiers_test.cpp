// Request identifiers in a child made by fork(): each thread draws from an engine of its own,
// which a child inherits; it must not draw what its parent goes on to draw. (Distinct
// identifiers across threads and handles are checked in the fault suite.)
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

#include "nelko_interfaces.h"

namespace {

constexpr int kDrawn = 100;
constexpr std::size_t kLength = 36;

std::string draw(nelkoInterfaces& object) {
  std::string drawn;
  for (int i = 0; i < kDrawn; ++i) {
    char* text = object.generateUUID();
    drawn.append(text, kLength);
    std::free(text);
  }
  return drawn;
}

TEST(RequestIdentifiers, AForkedChildDrawsOthersThanItsParent) {
  nelkoInterfaces object(nullptr, 1, 0);
  draw(object);  // this thread's engine is seeded before the fork
  int ends[2];
  ASSERT_EQ(0, ::pipe(ends));
  pid_t const child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string const drawn = draw(object);
    ::_exit(::write(ends[1], drawn.data(), drawn.size()) == static_cast<ssize_t>(drawn.size()) ? 0 : 1);
  }
  ::close(ends[1]);
  std::string const parent = draw(object);
  std::string from_child;
  char buffer[4096];
  for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
    from_child.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(ends[0]);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(kDrawn * kLength, from_child.size());
  std::set<std::string> drawn;
  for (std::size_t at = 0; at < parent.size(); at += kLength) drawn.insert(parent.substr(at, kLength));
  for (std::size_t at = 0; at < from_child.size(); at += kLength) drawn.insert(from_child.substr(at, kLength));
  EXPECT_EQ(2u * kDrawn, drawn.size()) << "parent and child drew the same identifiers";
}

}  // namespace
