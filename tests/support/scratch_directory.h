// A fresh private directory for a test, a fuzzer, a benchmark or the soak run, removed with all
// its contents when the object goes.
#ifndef NELKO_TEST_SUPPORT_SCRATCH_DIRECTORY_H
#define NELKO_TEST_SUPPORT_SCRATCH_DIRECTORY_H

#include <string>
#include <vector>

namespace nelko {
namespace test {

class ScratchDirectory {
 public:
  enum class Where {
    kTemporary,         // under $TMPDIR, else /tmp
    kMemoryIfPossible,  // under /dev/shm when it is writable (for fuzzers that write every input)
  };

  // Made with mkdtemp (mode 0700) as <base>/<prefix>-XXXXXX; throws std::runtime_error when it
  // cannot be made.
  explicit ScratchDirectory(std::string const& prefix = "nelko-test",
                            Where where = Where::kTemporary);
  ~ScratchDirectory();
  ScratchDirectory(ScratchDirectory const&) = delete;
  ScratchDirectory& operator=(ScratchDirectory const&) = delete;

  std::string const& path() const { return path_; }
  // The path of `name` in this directory.
  std::string file(std::string const& name) const;
  // Writes `content` to the file `name` in this directory and returns its path.
  std::string write(std::string const& name, std::string const& content) const;
  // The names of the entries in this directory.
  std::vector<std::string> names() const;

 private:
  std::string path_;
};

// A scratch directory exported as NELKO_IPC_DIR, for this process and the children it starts,
// while the object lives; the variable is unset again when it goes.
class IpcDirectory : public ScratchDirectory {
 public:
  explicit IpcDirectory(std::string const& prefix = "nelko-ipc");
  ~IpcDirectory();
};

// The whole content of a file; empty when it cannot be read.
std::string read_file(std::string const& path);
void write_file(std::string const& path, std::string const& content);

}  // namespace test
}  // namespace nelko

#endif
