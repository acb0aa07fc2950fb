#include "fault_fixture.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace fault {

long ms_since(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

long rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

bool eventually(std::function<bool()> const& condition, long limit_ms) {
  Clock::time_point const start = Clock::now();
  while (!condition()) {
    if (ms_since(start) > limit_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

CapturedStderr::CapturedStderr() {
  char name[] = "/tmp/nelko-fault-stderr-XXXXXX";
  file_ = ::mkstemp(name);
  ::unlink(name);
  saved_ = ::dup(STDERR_FILENO);
  ::dup2(file_, STDERR_FILENO);
}

CapturedStderr::~CapturedStderr() {
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
  ::close(file_);
}

std::string CapturedStderr::text() const {
  std::string out;
  char buffer[4096];
  ssize_t n;
  for (off_t offset = 0; (n = ::pread(file_, buffer, sizeof buffer, offset)) > 0; offset += n) {
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

void FaultTest::SetUp() {
  char name[] = "/tmp/nelko-fault-XXXXXX";
  ASSERT_NE(::mkdtemp(name), nullptr);
  directory_ = name;
  ::setenv("NELKO_IPC_DIR", directory_.c_str(), 1);
}

void FaultTest::TearDown() {
  nelko_api_stream_layout_initiator_deinit(handle_);
  handle_ = nullptr;
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void* FaultTest::open_handle() {
  void* handle = nullptr;
  EXPECT_EQ(nelko_api_stream_layout_initiator_init(nullptr, nullptr, &handle, 0, "fault"),
            NELKO_CORE_STATUS_NO_ERROR);
  return handle;
}

}  // namespace fault
