#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "settings_test_support.h"
#include "system_call_recorder.h"

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
  for (char const* invalid :
       {R"({"version": 0, "values": {})", R"({"values": {}})",
        R"({"version": 0, "values": {"k": {"type": "int", "value": 1.5}}})"}) {
    write_file(path_, invalid);
    EXPECT_EQ(nelko_core_settings_init(path_.c_str()), NELKO_CORE_STATUS_IPC_FAILED) << invalid;
    EXPECT_EQ(read_file(path_), invalid);
  }
}

// A write creates a fresh file beside the settings file, never opening what another put at the
// name; puts the content on disk before it replaces the old file; and makes the rename durable.
TEST_F(SettingsFileTest, WriteCreatesAFreshFileSyncsItRenamesItAndSyncsTheDirectory) {
  SystemCallRecorder recorder;
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 1), 0);
  // The calls on the new file and the directory, in order, as one line.
  std::string trace;
  int created = -2, directory = -2;
  for (SystemCall const& call : recorder.calls()) {
    if (call.name == "open" && std::regex_match(call.path, std::regex(path_ + "\\..+\\.tmp"))) {
      created = call.fd;
      int const required = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
      EXPECT_EQ(call.flags & required, required);
      EXPECT_EQ(call.mode, 0600u);
      trace += "create ";
    } else if (call.name == "open" && (call.flags & O_DIRECTORY)) {
      directory = call.fd;
      trace += "directory ";
    } else if (call.fd == directory || call.fd == created) {
      trace += call.name + (call.fd == directory ? "-directory " : " ");
    } else if (call.name == "rename" && call.to == path_) {
      trace += "rename ";
    }
  }
  EXPECT_TRUE(std::regex_search(trace, std::regex("create (.* )?write (.* )?fsync (.* )?rename "
                                                  "(.* )?directory (.* )?fsync-directory")))
      << trace;
}

TEST_F(SettingsFileTest, FilesGetTheirModeWhateverTheUmask) {
  mode_t const umask_before = umask(0);
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 1), 0);
  struct stat status;
  ASSERT_EQ(stat(path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  ASSERT_EQ(stat((path_ + ".lock").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);

  // A mode that lets the group read is kept even where the umask would take it away.
  umask(077);
  setenv("NELKO_SETTINGS_MODE", "0640", 1);
  reopen();
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 2), 0);
  unsetenv("NELKO_SETTINGS_MODE");
  umask(umask_before);
  ASSERT_EQ(stat(path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(SettingsFileTest, CrashBetweenWriteAndRenameLeavesTheOldFile) {
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 1), 0);
  std::string const before = read_file(path_);
  // The child process ends itself where a crash or power loss would end it.
  EXPECT_EXIT(
      {
        SystemCallRecorder crash([](SystemCall const& call) {
          if (call.name == "rename") _exit(0);
          return 0;
        });
        nelko_core_settings_set_int_value("k", 2);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(read_file(path_), before);
  std::vector<std::string> left = directory_.leftovers();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NE(read_file(directory_.file(left[0])).find("\"value\": 2"), std::string::npos)
      << "the crash came after the new content was written";

  reopen();
  EXPECT_TRUE(directory_.leftovers().empty()) << "init removes what the interrupted write left";
  int value = 0;
  ASSERT_EQ(nelko_core_settings_get_int_value("k", &value), 0);
  EXPECT_EQ(value, 1);
}

TEST_F(SettingsFileTest, FailedWriteChangesNothing) {
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 1), 0);
  std::string const before = read_file(path_);
  for (char const* failing : {"open", "fchmod", "write", "fsync", "rename"}) {
    SystemCallRecorder recorder(
        [failing](SystemCall const& call) { return call.name == failing ? EIO : 0; });
    EXPECT_EQ(nelko_core_settings_set_int_value("k", 2), NELKO_CORE_STATUS_IPC_FAILED) << failing;
    EXPECT_EQ(nelko_core_settings_delete_key("k"), NELKO_CORE_STATUS_IPC_FAILED) << failing;
    int value = 0;
    ASSERT_EQ(nelko_core_settings_get_int_value("k", &value), 0);
    EXPECT_EQ(value, 1) << failing;
    EXPECT_EQ(read_file(path_), before) << failing;
    EXPECT_TRUE(directory_.leftovers().empty())
        << "the new file is removed when " << failing << " fails";
  }
}

}  // namespace
}  // namespace settings_test
