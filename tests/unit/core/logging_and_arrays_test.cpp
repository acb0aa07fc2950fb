// The core's log lines and its arrays: the small C utilities beside the IPC.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core_test_support.h"
#include "nelko_core.h"

namespace {

using core_test::CapturedStderr;
using core_test::kOk;

std::string prefix(char const* ident, char const* priority) {
  return std::string(ident) + "[" + std::to_string(::getpid()) + "]: " + priority + ": ";
}

class Logging : public ::testing::Test {
 protected:
  void TearDown() override { ::unsetenv("NELKO_LOG_LEVEL"); }
  void* open(char const* ident) {
    void* handle = nullptr;
    EXPECT_EQ(nelko_core_logging_init(ident, &handle), kOk);
    return handle;
  }
};

// One line per message, formatted and not cut however long; control bytes (C0, C1, DEL), the
// escape character itself and invalid UTF-8 (overlong, surrogate, past U+10FFFF, cut) are escaped,
// so that every line shows one line of printable text, and valid UTF-8 passes.
TEST_F(Logging, WritesOneFormattedAndEscapedLinePerMessage) {
  void* log = open("cam");
  std::string const long_text(70000, 'y');  // longer than any fixed buffer: not cut
  {
    CapturedStderr captured;
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR, "<%s>", long_text.c_str());
    EXPECT_TRUE(captured.text() == prefix("cam", "ERR") + "<" + long_text + ">\n") << "cut";
  }
  CapturedStderr captured;
  EXPECT_EQ(nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_WARNING, "%s=%d", "x", 42), kOk);
  EXPECT_EQ(nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_EMERG, "100%%"), kOk);
  std::string expected = prefix("cam", "WARNING") + "x=42\n" + prefix("cam", "EMERG") + "100%\n";
  std::pair<std::string, std::string> const escaped[] = {
      {"caf\xc3\xa9 \xf0\x9d\x84\x9e", "caf\xc3\xa9 \xf0\x9d\x84\x9e"},
      {"a\nnelko[1]: EMERG: x\x1b[2J\r", "a\\x0anelko[1]: EMERG: x\\x1b[2J\\x0d"},
      {"\xc2\x9b \x7f back\\slash", "\\xc2\\x9b \\x7f back\\x5cslash"},
      {"del \x7f", "del \\x7f"},
      {"\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82",
       "\\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xe2\\x82"},
  };
  for (auto const& [text, shown] : escaped) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_WARNING, "%s", text.c_str());
    expected += prefix("cam", "WARNING") + shown + "\n";
  }
  EXPECT_EQ(captured.text(), expected);
  nelko_core_logging_deinit(log);
}

// NELKO_LOG_LEVEL sets the threshold by number or name; unset or unreadable means INFO, and what
// is below the threshold is not written.
TEST_F(Logging, ThresholdComesFromTheEnvironment) {
  struct Case {
    char const* level;  // nullptr: unset
    nelko_core_log_priority lowest_active;
    nelko_core_log_priority highest_inactive;
  };
  for (Case const& c :
       {Case{nullptr, NELKO_CORE_LOG_PRIORITY_INFO, NELKO_CORE_LOG_PRIORITY_DEBUG},
        Case{"3", NELKO_CORE_LOG_PRIORITY_ERR, NELKO_CORE_LOG_PRIORITY_WARNING},
        Case{"debug", NELKO_CORE_LOG_PRIORITY_DEBUG, NELKO_CORE_LOG_PRIORITY_AUDIT},
        Case{"loud", NELKO_CORE_LOG_PRIORITY_INFO, NELKO_CORE_LOG_PRIORITY_DEBUG}}) {
    SCOPED_TRACE(c.level != nullptr ? c.level : "unset");
    if (c.level != nullptr) ::setenv("NELKO_LOG_LEVEL", c.level, 1);
    void* log = open("cam");
    unsigned active = 7;
    EXPECT_EQ(nelko_core_logging_is_priority_active(log, c.lowest_active, &active), kOk);
    EXPECT_EQ(active, 1u);
    nelko_core_logging_is_priority_active(log, c.highest_inactive, &active);
    EXPECT_EQ(active, 0u);
    CapturedStderr captured;
    nelko_core_logging_log(log, c.highest_inactive, "hidden");
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_NOTSET, "hidden");
    EXPECT_EQ(captured.text(), "");
    nelko_core_logging_log(log, c.lowest_active, "shown");  // a line at the threshold is written
    EXPECT_NE(captured.text().find("shown"), std::string::npos);
    nelko_core_logging_deinit(log);
  }
}

TEST_F(Logging, LinesFromConcurrentThreadsDoNotMix) {
  void* log = open("mt");
  std::string filler(300, 'z');
  CapturedStderr captured;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_INFO, "t%d i%d %s", t, i,
                               filler.c_str());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::istringstream lines(captured.text());
  std::regex shape("mt\\[[0-9]+\\]: INFO: t[0-3] i[0-9]+ z{300}");
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    ASSERT_TRUE(std::regex_match(line, shape)) << line.substr(0, 80);
  }
  EXPECT_EQ(count, 800);
  nelko_core_logging_deinit(log);
}

// Cells start zeroed and distinct, the list ends with a null cell, and the free releases what a
// caller put into a string cell (leak checkers verify). A capacity that leaves no room for the
// terminating cell is refused.
TEST(CoreArrays, CellsAreZeroedDistinctAndTerminated) {
  double** reals = nelko_core_alloc_double_array(5);
  ASSERT_NE(reals, nullptr);
  for (unsigned i = 0; i < 5; ++i) {
    ASSERT_NE(reals[i], nullptr) << i;
    EXPECT_EQ(*reals[i], 0.0) << i;
  }
  EXPECT_EQ(reals[5], nullptr);
  *reals[0] = 2.5;
  EXPECT_EQ(*reals[1], 0.0);
  char** texts = nelko_core_alloc_string_array(3);
  ASSERT_NE(texts, nullptr);
  for (int i = 0; i <= 3; ++i) EXPECT_EQ(texts[i], nullptr);
  texts[0] = strdup("a");
  nelko_core_free_double_array(reals);
  nelko_core_free_string_array(texts);
  EXPECT_EQ(nelko_core_alloc_bool_array(UINT_MAX), nullptr);
  EXPECT_EQ(nelko_core_alloc_uint_array(UINT_MAX), nullptr);
  EXPECT_EQ(nelko_core_alloc_int_array(UINT_MAX), nullptr);
  EXPECT_EQ(nelko_core_alloc_double_array(UINT_MAX), nullptr);
  EXPECT_EQ(nelko_core_alloc_string_array(UINT_MAX), nullptr);
}

}  // namespace
