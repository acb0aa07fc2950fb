#include "settings_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "settings_test_support.h"

namespace settings_test {
namespace {

using SettingsFileTest = SettingsTest;

TEST_F(SettingsFileTest, NewFileStartsAtVersionZeroAndVersionsPersist) {
  unsigned char is_new = 0;
  ASSERT_EQ(nelko_core_settings_is_new_file(&is_new), 0);
  EXPECT_EQ(is_new, 1);
  unsigned int previous = 99, current = 99, loaded = 99;
  ASSERT_EQ(nelko_core_settings_get_and_set_version(&previous, 3), 0);
  EXPECT_EQ(previous, 0u);
  ASSERT_EQ(nelko_core_settings_get_and_set_version(&previous, 4), 0);
  EXPECT_EQ(previous, 3u);
  ASSERT_EQ(nelko_core_settings_get_versions(&current, &loaded), 0);
  EXPECT_EQ(current, 4u);
  EXPECT_EQ(loaded, 0u);

  reopen();
  ASSERT_EQ(nelko_core_settings_is_new_file(&is_new), 0);
  EXPECT_EQ(is_new, 0);
  ASSERT_EQ(nelko_core_settings_get_versions(&current, &loaded), 0);
  EXPECT_EQ(current, 4u);
  EXPECT_EQ(loaded, 4u);
}

TEST_F(SettingsFileTest, LifecycleStatuses) {
  std::string other = directory_.file("other.json");
  EXPECT_EQ(nelko_core_settings_init(other.c_str()), NELKO_CORE_STATUS_MULTI_THREAD_ACCESS);
  EXPECT_EQ(nelko_core_debug_get_setting_path(), path_) << "the first file stays open";

  ASSERT_EQ(nelko_core_settings_deinit(), 0);
  EXPECT_EQ(nelko_core_settings_deinit(), NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_EQ(nelko_core_settings_set_int_value("k", 1), NELKO_CORE_STATUS_INVALID_PARAMS);
  std::string nowhere = directory_.file("missing/settings.json");
  EXPECT_EQ(nelko_core_settings_init(nowhere.c_str()), NELKO_CORE_STATUS_IPC_FAILED);
  EXPECT_EQ(nelko_core_debug_get_setting_path(), nullptr);

  // A file that is not a settings file is refused and left as it is.
  for (char const* invalid : {R"({"version": 0, "values": {})", R"({"values": {}})",
                              R"({"version": 0, "values": {"k": {"type": "int", "value": 1.5}}})"}) {
    write_text(path_, invalid);
    EXPECT_EQ(nelko_core_settings_init(path_.c_str()), NELKO_CORE_STATUS_IPC_FAILED) << invalid;
    EXPECT_EQ(read_text(path_), invalid);
  }
}

// The child process ends itself at the seam, the way a crash or power loss would end it.
void end_process(std::string const&) {
  _exit(0);
}

TEST_F(SettingsFileTest, CrashBetweenWriteAndRenameLeavesTheOldFile) {
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 1), 0);
  std::string const before = read_text(path_);
  EXPECT_EXIT(
      {
        nelko::core::settings::set_before_rename_hook(end_process);
        nelko_core_settings_set_int_value("k", 2);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(read_text(path_), before);
  std::string const temporary = nelko::core::settings::temporary_path(path_);
  EXPECT_NE(read_text(temporary).find("\"value\": 2"), std::string::npos) << "the seam was reached";

  reopen();
  EXPECT_FALSE(std::filesystem::exists(temporary)) << "init cleans up the staging file";
  int value = 0;
  ASSERT_EQ(nelko_core_settings_get_int_value("k", &value), 0);
  EXPECT_EQ(value, 1);
}

TEST_F(SettingsFileTest, FailedWriteChangesNothing) {
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 1), 0);
  std::string const before = read_text(path_);
  std::string const temporary = nelko::core::settings::temporary_path(path_);
  ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);  // the staging file cannot be created

  EXPECT_EQ(nelko_core_settings_set_int_value("k", 2), NELKO_CORE_STATUS_IPC_FAILED);
  EXPECT_EQ(nelko_core_settings_delete_key("k"), NELKO_CORE_STATUS_IPC_FAILED);
  int value = 0;
  ASSERT_EQ(nelko_core_settings_get_int_value("k", &value), 0);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(read_text(path_), before);
  rmdir(temporary.c_str());
}

}  // namespace
}  // namespace settings_test
