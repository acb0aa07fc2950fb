// Files that another user or another process put in the settings directory: the store neither
// writes through them nor adopts them, and refuses what it cannot safely use with a status and one
// log line.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "settings_file.h"
#include "settings_test_support.h"
#include "system_call_recorder.h"

namespace settings_test {
namespace {

using HostileFileTest = SettingsTest;

bool is_symlink_to(std::string const& path, std::string const& target) {
  std::error_code error;
  return std::filesystem::is_symlink(path, error) &&
         std::filesystem::read_symlink(path, error).string() == target;
}

mode_t mode_of(std::string const& path) {
  struct stat status {};
  lstat(path.c_str(), &status);
  return status.st_mode;
}

TEST_F(HostileFileTest, FilesPlantedAtTheNamesOfNewFilesAreNeitherWrittenNorAdopted) {
  std::string const victim = directory_.file("victim");
  write_file(victim, "secret");
  // The name that writes used to stage in, and the next names a write tries, planted just before
  // the write gets to them: first a link to the victim, then a file anyone may write.
  std::string const old_name = path_ + ".tmp";
  ASSERT_EQ(symlink(victim.c_str(), old_name.c_str()), 0);
  std::vector<std::string> planted;
  SystemCallRecorder recorder([&](SystemCall const& call) {
    if (call.name == "open" && call.path.rfind(path_ + '.', 0) == 0 && planted.size() < 2) {
      if (planted.empty()) {
        EXPECT_EQ(symlink(victim.c_str(), call.path.c_str()), 0);
      } else {
        write_file(call.path, "planted");
        EXPECT_EQ(chmod(call.path.c_str(), 0666), 0);
      }
      planted.push_back(call.path);
    }
    return 0;
  });

  ASSERT_EQ(nelko_core_settings_set_int_value("k", 1), 0);
  ASSERT_EQ(planted.size(), 2u);
  EXPECT_EQ(read_file(victim), "secret");
  EXPECT_EQ(read_file(planted[1]), "planted");
  EXPECT_EQ(mode_of(path_), S_IFREG | 0600u);
  EXPECT_NE(read_file(path_).find("\"value\": 1"), std::string::npos);

  // Init removes the files that crashed writes left, but no link, nothing at the old name and
  // (set up as root: applications that run as different users share a directory) no file of
  // another user.
  std::string const theirs = path_ + ".aaaaaaaaaaaa.tmp";
  write_file(theirs, "theirs");
  ASSERT_TRUE(geteuid() != 0 || chown(theirs.c_str(), 65534, 65534) == 0);
  reopen();
  EXPECT_TRUE(is_symlink_to(old_name, victim));
  EXPECT_TRUE(is_symlink_to(planted[0], victim));
  EXPECT_EQ(std::filesystem::exists(theirs), geteuid() == 0);
}

// Init refuses a settings file that is a symbolic link, and a lock that is one (a dangling link
// must not create its target) or that another user could hold (set up as root).
TEST_F(HostileFileTest, LinksAndOtherUsersFilesAtTheSettingsOrLockNameAreRefused) {
  ASSERT_EQ(nelko_core_settings_deinit(), 0);
  std::string const elsewhere = directory_.file("elsewhere.json");
  std::string const settings = R"({"version": 0, "values": {}})";
  write_file(elsewhere, settings);
  std::string const lock = path_ + ".lock";
  std::string const absent = directory_.file("absent");
  for (int i = 0; i < (geteuid() == 0 ? 3 : 2); ++i) {
    SCOPED_TRACE(i);
    std::filesystem::remove(path_);
    std::filesystem::remove(lock);
    ASSERT_TRUE(i == 0   ? symlink(elsewhere.c_str(), path_.c_str()) == 0
                : i == 1 ? symlink(absent.c_str(), lock.c_str()) == 0
                         : (write_file(lock, ""), chown(lock.c_str(), 65534, 65534) == 0));
    EXPECT_EQ(nelko_core_settings_init(path_.c_str()), NELKO_CORE_STATUS_IPC_FAILED);
    EXPECT_EQ(read_file(elsewhere), settings);
    EXPECT_FALSE(std::filesystem::exists(absent));
  }
}

TEST_F(HostileFileTest, FilesLargerThanTheLimitAreNeitherReadNorWritten) {
  ASSERT_EQ(nelko_core_settings_deinit(), 0);
  std::string document = R"({"version": 0, "values": {}})";
  document.resize(nelko::core::settings::kMaxFileSize + 1, ' ');
  write_file(path_, document);
  EXPECT_EQ(nelko_core_settings_init(path_.c_str()), NELKO_CORE_STATUS_IPC_FAILED);
  EXPECT_EQ(read_file(path_), document);

  document.pop_back();
  write_file(path_, document);
  ASSERT_EQ(nelko_core_settings_init(path_.c_str()), 0) << "a file at the limit is read";
  // A change that would take the file past the limit is refused: init could not read it back.
  std::string const huge(nelko::core::settings::kMaxFileSize, 'x');
  EXPECT_EQ(nelko_core_settings_set_string_value("k", huge.c_str()),
            NELKO_CORE_STATUS_INVALID_PARAMS);
  EXPECT_FALSE(nelko_core_settings_does_key_exist("k"));
  EXPECT_EQ(read_file(path_), document);
}

TEST_F(HostileFileTest, InvalidUtf8IsRefusedInValuesKeysAndFiles) {
  ASSERT_EQ(nelko_core_settings_set_int_value("i", 1), 0);
  std::string const before = read_file(path_);
  // A stray byte, a cut sequence, an overlong form, a surrogate, a code point past U+10FFFF.
  for (std::string invalid :
       {"\xff", "a\xe2\x82", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
    EXPECT_EQ(nelko_core_settings_set_string_value("s", invalid.c_str()), 1);
    EXPECT_EQ(nelko_core_settings_set_string_value(invalid.c_str(), "v"), 1);
    EXPECT_EQ(nelko_core_settings_set_json_value("j", ('"' + invalid + '"').c_str()), 1);
    EXPECT_EQ(
        ArrayCodec<char>::set(nelko_core_settings_set_arrayofstring_value, "a", {"fine", invalid}),
        1);
    EXPECT_EQ(nelko_core_settings_copy_int_key("i", invalid.c_str()), 1);
  }
  EXPECT_EQ(read_file(path_), before);
  std::string const text = "gr\xc3\xbc\xc3\x9f\x65 \xe2\x82\xac \xf0\x9d\x84\x9e";
  ASSERT_EQ(nelko_core_settings_set_string_value(text.c_str(), text.c_str()), 0);
  std::string read;
  ASSERT_EQ(TextCodec::get(nelko_core_settings_get_string_value, text.c_str(), read), 0);
  EXPECT_EQ(read, text);

  ASSERT_EQ(nelko_core_settings_deinit(), 0);
  write_file(path_,
             "{\"version\": 0, \"values\": {\"s\": {\"type\": \"string\", \"value\": \"\xff\"}}}");
  EXPECT_EQ(nelko_core_settings_init(path_.c_str()), NELKO_CORE_STATUS_IPC_FAILED);
}

TEST_F(HostileFileTest, ASecondProcessIsRefusedWhileTheFileIsOpen) {
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 1), 0);
  std::string const before = read_file(path_);
  // The child lets go of the store it inherited, so that its init goes through the lock.
  EXPECT_EXIT(
      {
        nelko_core_settings_deinit();
        nelko_core_status status = nelko_core_settings_init(path_.c_str());
        if (status == NELKO_CORE_STATUS_NO_ERROR) nelko_core_settings_set_int_value("k", 2);
        _exit(status);
      },
      ::testing::ExitedWithCode(NELKO_CORE_STATUS_MULTI_THREAD_ACCESS),
      "another process has it open");
  EXPECT_EQ(read_file(path_), before);

  ASSERT_EQ(nelko_core_settings_deinit(), 0);
  EXPECT_EXIT(_exit(nelko_core_settings_init(path_.c_str())), ::testing::ExitedWithCode(0), "")
      << "deinit lets another process open the file";
}

}  // namespace
}  // namespace settings_test
