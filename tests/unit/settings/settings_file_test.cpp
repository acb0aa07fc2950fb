// The settings file on disk: versions, lifecycle, how a write reaches the disk, and files that
// another user or process put in the settings directory.
#include "settings_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "settings_test_support.h"

namespace settings_test {
namespace {

// Watches the system calls of the settings file module: records each one, and lets a test fail a
// call, shorten writes, end the process at a call or change the file system just before it.
struct SystemCall {
  std::string name;  // the field of SystemCalls: "open", "write", "fsync", "rename", ...
  std::string path;  // open, unlink, and rename's source
  std::string to;    // rename's destination
  int fd = -1;       // the descriptor acted on, or the one open returned
  int flags = 0;     // open's flags, flock's operation
  mode_t mode = 0;   // open's and fchmod's mode
};

class SystemCallRecorder {
 public:
  // Runs before each call is passed on. A positive result fails the call with that errno; a
  // negative one passes the call on, then fails it with minus that errno (as a close reporting EIO
  // has closed the descriptor all the same).
  using Intercept = std::function<int(SystemCall const&)>;

  explicit SystemCallRecorder(Intercept intercept = {}) : intercept_(std::move(intercept)) {
    active_ = this;
    nelko::core::settings::set_system_calls(&kRecording);
  }
  ~SystemCallRecorder() {
    nelko::core::settings::set_system_calls(nullptr);
    active_ = nullptr;
  }
  std::vector<SystemCall> const& calls() const { return calls_; }
  // Each write takes at most `bytes`, as one interrupted by a signal or by a full disk does.
  void limit_writes(std::size_t bytes) { write_limit_ = bytes; }

 private:
  static nelko::core::settings::SystemCalls const& real() {
    return nelko::core::settings::real_system_calls();
  }

  template <class Forward>
  static auto pass(SystemCall call, Forward forward) -> decltype(forward()) {
    int error = active_->intercept_ ? active_->intercept_(call) : 0;
    decltype(forward()) result = -1;
    if (error <= 0) {
      result = forward();
      if (error < 0) result = -1;
      error = error < 0 ? -error : errno;
    }
    if (call.name == "open") call.fd = static_cast<int>(result);
    active_->calls_.push_back(call);
    errno = error;
    return result;
  }

  static inline SystemCallRecorder* active_ = nullptr;
  std::size_t write_limit_ = SIZE_MAX;
  static inline nelko::core::settings::SystemCalls const kRecording{
      [](char const* path, int flags, mode_t mode) {
        return pass({"open", path, "", -1, flags, mode},
                    [&] { return real().open(path, flags, mode); });
      },
      [](int fd, void const* data, std::size_t size) {
        return pass({"write", "", "", fd},
                    [&] { return real().write(fd, data, std::min(size, active_->write_limit_)); });
      },
      [](int fd, mode_t mode) {
        return pass({"fchmod", "", "", fd, 0, mode}, [&] { return real().fchmod(fd, mode); });
      },
      [](int fd) {
        return pass({"fsync", "", "", fd}, [&] { return real().fsync(fd); });
      },
      [](int fd) {
        return pass({"close", "", "", fd}, [&] { return real().close(fd); });
      },
      [](char const* from, char const* to) {
        return pass({"rename", from, to}, [&] { return real().rename(from, to); });
      },
      [](char const* path) {
        return pass({"unlink", path, ""}, [&] { return real().unlink(path); });
      },
      [](int fd, int op) {
        return pass({"flock", "", "", fd, op}, [&] { return real().flock(fd, op); });
      },
  };

  Intercept intercept_;
  std::vector<SystemCall> calls_;
};

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

  // A relative path names the same file after the process changed its working directory.
  ScratchDirectory elsewhere;
  std::filesystem::path const working = std::filesystem::current_path();
  std::filesystem::current_path(directory_.path());
  ASSERT_EQ(nelko_core_settings_init("relative.json"), 0);
  std::filesystem::current_path(elsewhere.path());
  EXPECT_EQ(nelko_core_settings_set_int_value("moved", 7), 0);
  EXPECT_STREQ(nelko_core_debug_get_setting_path(), "relative.json");
  std::filesystem::current_path(working);
  EXPECT_NE(read_file(directory_.file("relative.json")).find("moved"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(elsewhere.file("relative.json")));
  ASSERT_EQ(nelko_core_settings_deinit(), 0);

  // A file that is not a settings file is refused and left as it is; so is one naming a key twice.
  for (char const* invalid : {R"({"version": 0, "values": {})", R"({"values": {}})",
                              R"({"version": 0, "values": {"k": {"type": "int", "value": 1.5}}})",
                              R"({"version": 0, "values": {"k": {"type": "int"}}})",
                              R"({"version": 0, "values": {"k": {"type": "int", "value": 1}, )"
                              R"("k": {"type": "int", "value": 2}}})"}) {
    write_file(path_, invalid);
    EXPECT_EQ(nelko_core_settings_init(path_.c_str()), NELKO_CORE_STATUS_IPC_FAILED) << invalid;
    EXPECT_EQ(read_file(path_), invalid);
  }

  // Only a file that is not there makes a new one: one that cannot be opened is not replaced.
  std::string const kept = R"({"version": 3, "values": {}})";
  write_file(path_, kept);
  {
    SystemCallRecorder recorder([this](SystemCall const& call) {
      return call.name == "open" && call.path == path_ ? EACCES : 0;
    });
    EXPECT_EQ(nelko_core_settings_init(path_.c_str()), NELKO_CORE_STATUS_IPC_FAILED);
  }
  EXPECT_EQ(read_file(path_), kept);
}

// A write creates a fresh file beside the settings file, never opening what another put at the
// name; puts the whole content on disk, however little each write takes, before it replaces the
// old file; and makes the rename durable.
TEST_F(SettingsFileTest, WriteCreatesAFreshFileSyncsItRenamesItAndSyncsTheDirectory) {
  SystemCallRecorder recorder;
  recorder.limit_writes(7);
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
  reopen();
  int value = 0;
  ASSERT_EQ(nelko_core_settings_get_int_value("k", &value), 0);
  EXPECT_EQ(value, 1);
}

// The mode and kind of what is at `path` (a link is not followed).
mode_t mode_of(std::string const& path) {
  struct stat status {};
  lstat(path.c_str(), &status);
  return status.st_mode;
}

TEST_F(SettingsFileTest, FilesGetTheirModeWhateverTheUmask) {
  mode_t const umask_before = umask(0);
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 1), 0);
  EXPECT_EQ(mode_of(path_), S_IFREG | 0600u);
  EXPECT_EQ(mode_of(path_ + ".lock"), S_IFREG | 0600u);

  // A mode that lets the group read is kept even where the umask would take it away.
  umask(077);
  setenv("NELKO_SETTINGS_MODE", "0640", 1);
  reopen();
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 2), 0);
  unsetenv("NELKO_SETTINGS_MODE");
  umask(umask_before);
  EXPECT_EQ(mode_of(path_), S_IFREG | 0640u);
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
  // A close that reports EIO has closed the file all the same.
  for (char const* failing : {"open", "fchmod", "write", "fsync", "close", "rename"}) {
    SystemCallRecorder recorder([failing](SystemCall const& call) {
      if (call.name != failing) return 0;
      return call.name == "close" ? -EIO : EIO;
    });
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

// A change on its way to disk holds up no reader: a get made while the change's fsync waits
// returns the old value at once.
TEST_F(SettingsFileTest, ReadersDoNotWaitForAWrite) {
  ASSERT_EQ(nelko_core_settings_set_int_value("k", 1), 0);
  std::promise<int> got;
  std::future<int> result = got.get_future();
  std::thread reader;
  int during = -1;
  {
    SystemCallRecorder recorder([&](SystemCall const& call) {
      if (call.name == "fsync" && !reader.joinable()) {
        reader = std::thread([&got] {
          int value = 0;
          got.set_value(nelko_core_settings_get_int_value("k", &value) == 0 ? value : -2);
        });
        // Left waiting, the reader gets its turn once the change has returned.
        during = result.wait_for(std::chrono::seconds(2)) == std::future_status::ready
                     ? result.get()
                     : -3;
      }
      return 0;
    });
    ASSERT_EQ(nelko_core_settings_set_int_value("k", 2), 0);
  }
  if (reader.joinable()) reader.join();
  EXPECT_EQ(during, 1) << "-3: the get waited for the write";
}

// Files that another user or another process put in the settings directory: the store neither
// writes through them nor adopts them, and refuses what it cannot safely use with a status and one
// log line.

using HostileFileTest = SettingsTest;

bool is_symlink_to(std::string const& path, std::string const& target) {
  std::error_code error;
  return std::filesystem::is_symlink(path, error) &&
         std::filesystem::read_symlink(path, error).string() == target;
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

// Init refuses a settings file that is a symbolic link or a FIFO (without waiting for a writer),
// and a lock that is a link (a dangling one must not create its target) or that another user could
// hold (set up as root).
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
  std::filesystem::remove(path_);
  std::filesystem::remove(lock);
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  EXPECT_EXIT(
      {
        alarm(5);
        _exit(nelko_core_settings_init(path_.c_str()));
      },
      ::testing::ExitedWithCode(NELKO_CORE_STATUS_IPC_FAILED), "it is not a regular file");
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
  // A change that brings the file just to the limit is written.
  ASSERT_EQ(nelko_core_settings_set_string_value("k", ""), 0);
  std::string const fill(nelko::core::settings::kMaxFileSize - read_file(path_).size(), 'x');
  EXPECT_EQ(nelko_core_settings_set_string_value("k", fill.c_str()), 0);
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

  // A lone surrogate written as an escape would become bytes that are not UTF-8, and a file that
  // could not be read back.
  EXPECT_EQ(nelko_core_settings_set_json_value("j", "\"\\udc00\""), 1);
  EXPECT_EQ(nelko_core_settings_set_json_value("j", "{\"\\ud800\": 1}"), 1);
  EXPECT_EQ(nelko_core_settings_set_json_value("j", "\"\\ud83d\\ude00\""), 0) << "a pair is fine";

  ASSERT_EQ(nelko_core_settings_deinit(), 0);
  for (char const* file :
       {"{\"version\": 0, \"values\": {\"s\": {\"type\": \"string\", \"value\": \"\xff\"}}}",
        "{\"version\": 0, \"values\": {\"s\": {\"type\": \"string\", \"value\": \"\\udc00\"}}}"}) {
    write_file(path_, file);
    EXPECT_EQ(nelko_core_settings_init(path_.c_str()), NELKO_CORE_STATUS_IPC_FAILED) << file;
  }
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
