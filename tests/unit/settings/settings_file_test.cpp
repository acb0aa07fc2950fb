#include "settings_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "settings_rapidjson.h"
#include "settings_test_support.h"

namespace settings_test {
namespace {

using SettingsFileTest = SettingsTest;

ino_t inode_of(std::string const& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_ino;
}

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
  EXPECT_EQ(nelko_core_settings_get_versions(&current, nullptr), NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_EQ(nelko_core_settings_get_and_set_version(nullptr, 1), NELKO_CORE_STATUS_INVALID_PARAMS);
}

TEST_F(SettingsFileTest, FileIsThePrettyPrintedDocumentedLayout) {
  ASSERT_EQ(nelko_core_settings_set_int_value("video.fps", 25), 0);
  ASSERT_EQ(nelko_core_settings_set_default_int_value("video.fps", 30), 0);
  ASSERT_EQ(nelko_core_settings_set_default_string_value("video.label", "front"), 0);
  std::string text = read_text(path_);
  EXPECT_NE(text.find("\n  \"values\": {\n"), std::string::npos) << text;

  rapidjson::Document file;
  file.Parse(text.c_str());
  ASSERT_TRUE(file.IsObject());
  EXPECT_EQ(file["version"].GetUint(), 0u);
  rapidjson::Value const& fps = file["values"]["video.fps"];
  EXPECT_STREQ(fps["type"].GetString(), "int");
  EXPECT_EQ(fps["value"].GetInt(), 25);
  EXPECT_EQ(fps["default"].GetInt(), 30);
  EXPECT_FALSE(file["values"]["video.label"].HasMember("value"));
}

TEST_F(SettingsFileTest, LifecycleStatuses) {
  std::string other = directory_.file("other.json");
  EXPECT_EQ(nelko_core_settings_init(other.c_str()), NELKO_CORE_STATUS_MULTI_THREAD_ACCESS);
  EXPECT_EQ(nelko_core_debug_get_setting_path(), path_) << "the first file stays open";

  ASSERT_EQ(nelko_core_settings_deinit(), 0);
  EXPECT_EQ(nelko_core_settings_deinit(), NELKO_CORE_STATUS_INVALID_PARAMS);
  int value;
  unsigned char flag;
  EXPECT_EQ(nelko_core_settings_get_int_value("k", &value), NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_EQ(nelko_core_settings_set_int_value("k", 1), NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_EQ(nelko_core_settings_is_new_file(&flag), NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_EQ(nelko_core_settings_get_all_keys(), nullptr);
  EXPECT_FALSE(nelko_core_settings_does_key_exist("k"));
  EXPECT_EQ(nelko_core_debug_get_setting_path(), nullptr);
  EXPECT_EQ(nelko_core_settings_init(nullptr), NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_EQ(nelko_core_settings_init(""), NELKO_CORE_STATUS_INVALID_PARAMS);
  std::string nowhere = directory_.file("missing/settings.json");
  EXPECT_EQ(nelko_core_settings_init(nowhere.c_str()), NELKO_CORE_STATUS_IPC_FAILED);
  EXPECT_EQ(nelko_core_debug_get_setting_path(), nullptr);
}

struct InvalidFile {
  char const* name;
  std::string text;
  friend void PrintTo(InvalidFile const& file, std::ostream* out) { *out << file.name; }
};

class SettingsInvalidFileTest : public ::testing::TestWithParam<InvalidFile> {};

TEST_P(SettingsInvalidFileTest, IsRefusedAndLeftAlone) {
  ScratchDirectory directory;
  std::string path = directory.file("settings.json");
  write_text(path, GetParam().text);
  EXPECT_EQ(nelko_core_settings_init(path.c_str()), NELKO_CORE_STATUS_IPC_FAILED);
  EXPECT_EQ(nelko_core_debug_get_setting_path(), nullptr);
  EXPECT_EQ(read_text(path), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SettingsInvalidFileTest,
    ::testing::Values(
        InvalidFile{"Empty", ""}, InvalidFile{"Truncated", R"({"version": 0, "values": {})"},
        InvalidFile{"NotAnObject", "[]"}, InvalidFile{"NoVersion", R"({"values": {}})"},
        InvalidFile{"NegativeVersion", R"({"version": -1, "values": {}})"},
        InvalidFile{"ValuesNotAnObject", R"({"version": 0, "values": []})"},
        InvalidFile{"ValueOfAnotherKind",
                    R"({"version": 0, "values": {"k": {"type": "int", "value": 1.5}}})"},
        InvalidFile{"UnknownKind",
                    R"({"version": 0, "values": {"k": {"type": "float", "value": 1.5}}})"},
        InvalidFile{"NeitherValueNorDefault",
                    R"({"version": 0, "values": {"k": {"type": "int"}}})"},
        InvalidFile{"ArrayElementOfAnotherKind",
                    R"({"version": 0, "values": {"k": {"type": "arrayofbool", "default": [1]}}})"},
        InvalidFile{"NoKind", R"({"version": 0, "values": {"k": {"value": 1}}})"},
        InvalidFile{"DuplicateKey", R"({"version": 0, "values": {"k": {"type": "int", "value": 1},
                                     "k": {"type": "int", "value": 2}}})"},
        InvalidFile{"NestedTooDeep",
                    R"({"version": 0, "values": {"k": {"type": "json", "value": )" +
                        std::string(65, '[') + std::string(65, ']') + "}}}"}),
    [](auto const& info) { return std::string(info.param.name); });

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

TEST_F(SettingsFileTest, RewritesOnlyOnChangeAndKeepsPermissions) {
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 1), 0);
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  ino_t const inode = inode_of(path_);
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 1), 0);
  EXPECT_EQ(inode_of(path_), inode) << "the same value again is not written";

  ASSERT_EQ(nelko_core_settings_set_int_value("k", 2), 0);
  EXPECT_NE(inode_of(path_), inode);
  struct stat status {};
  ASSERT_EQ(stat(path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(SettingsFileTest, DebugDumpShowsTheFile) {
  ASSERT_EQ(nelko_core_settings_set_string_value("k", "v"), 0);
  ::testing::internal::CaptureStderr();
  nelko_core_debug_settings_dump();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), read_text(path_));
  ASSERT_EQ(nelko_core_settings_deinit(), 0);
  ::testing::internal::CaptureStderr();
  nelko_core_debug_settings_dump();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "no settings file is open\n");
  ASSERT_EQ(nelko_core_settings_init(path_.c_str()), 0);
}

}  // namespace
}  // namespace settings_test
