// How the service reads requests: plain ones take a fast path of their own, anything else goes
// to the full JSON reader, and both must give one answer. These requests put what ends the fast
// path (an escape, a control byte) at every place of the eight-byte words it reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "target_harness.h"

namespace target_test {
namespace {

class TargetReading : public testing::Test {
 protected:
  TargetProcess target_;  // first: it sets NELKO_IPC_DIR for the client
  TargetClient client_;
};

TEST_F(TargetReading, EscapesAndControlBytesAreReadAsJsonReadsThem) {
  std::string const name = "roi_index";
  for (std::size_t at = 0; at < 8; ++at) {
    // "roi_index" with its letter at `at` escaped: the member is there all the same.
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(name[at]));
    std::string const spelled = name.substr(0, at) + escaped + name.substr(at + 1);
    EXPECT_EQ(client_.status_of(R"({"command":"Get_roi",")" + spelled + R"(":3,"roi_set":1})"), 0)
        << spelled;
    // A raw control byte in a string is not JSON.
    EXPECT_EQ(client_.status_of(R"({"command":"Get_roi","roi_index":0,"roi_set":0,"note":")" +
                                std::string(at, 'p') + "\tabcdefgh\"}"),
              1)
        << at;
  }
}

}  // namespace
}  // namespace target_test
