#include <string>
#include <thread>
#include <vector>

#include "settings_test_support.h"

namespace settings_test {
namespace {

using SettingsConcurrencyTest = SettingsTest;
constexpr int kWriters = 6;
constexpr int kKeysEach = 15;

TEST_F(SettingsConcurrencyTest, ConcurrentWritersAndReadersLoseNothing) {
  ASSERT_EQ(nelko_core_settings_set_int_value("shared", -1), 0);
  std::vector<std::thread> threads;
  for (int writer = 0; writer < kWriters; ++writer) {
    threads.emplace_back([writer] {
      for (int i = 0; i < kKeysEach; ++i) {
        std::string key = "w" + std::to_string(writer) + "." + std::to_string(i);
        EXPECT_EQ(nelko_core_settings_set_int_value(key.c_str(), writer * 100 + i), 0);
        EXPECT_EQ(nelko_core_settings_set_int_value("shared", writer), 0);
      }
    });
    // Readers see whole changes only: the shared key always holds a writer's number.
    threads.emplace_back([] {
      for (int i = 0; i < kKeysEach; ++i) {
        int value = -2;
        EXPECT_EQ(nelko_core_settings_get_int_value("shared", &value), 0);
        EXPECT_GE(value, -1);
        EXPECT_LT(value, kWriters);
        nelko_core_free_string_array(nelko_core_settings_get_all_keys());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  reopen();
  EXPECT_EQ(take_keys(nelko_core_settings_get_all_keys()).size(), kWriters * kKeysEach + 1u);
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int i = 0; i < kKeysEach; ++i) {
      std::string key = "w" + std::to_string(writer) + "." + std::to_string(i);
      int value = -1;
      ASSERT_EQ(nelko_core_settings_get_int_value(key.c_str(), &value), 0);
      EXPECT_EQ(value, writer * 100 + i);
    }
  }
}

}  // namespace
}  // namespace settings_test
