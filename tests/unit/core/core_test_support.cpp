#include "core_test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>

namespace core_test {

CapturedStderr::CapturedStderr() {
  char name[] = "/tmp/nelko-core-stderr-XXXXXX";
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
  std::string all;
  char buffer[4096];
  off_t offset = 0;
  for (ssize_t n; (n = ::pread(file_, buffer, sizeof buffer, offset)) > 0; offset += n) {
    all.append(buffer, static_cast<std::size_t>(n));
  }
  return all;
}

void IpcTest::SetUp() {
  scratch_ = std::make_unique<nelko::test::IpcDirectory>("nelko-core-ipc");
  directory_ = scratch_->path();
}

void IpcTest::TearDown() { scratch_.reset(); }

Channel IpcTest::open_target(std::string const& name, char const* interface) {
  void* handle = nullptr;
  EXPECT_EQ(nelko_core_ipc_target_init(nullptr, name.c_str(), interface, "1.0", &handle),
            NELKO_CORE_STATUS_NO_ERROR);
  return Channel(handle);
}

Channel IpcTest::open_initiator(std::string const& name) {
  void* handle = nullptr;
  EXPECT_EQ(nelko_core_ipc_initiator_init(nullptr, name.c_str(), &handle),
            NELKO_CORE_STATUS_NO_ERROR);
  return Channel(handle);
}

namespace {
void take(char* text, std::string& into) {
  if (text != nullptr) into = text;
  std::free(text);
}
}  // namespace

Pulled pull_response(void* ipc, int timeout_ms) {
  char* texts[4] = {};
  Pulled pulled;
  pulled.status = nelko_core_ipc_initiator_response_receive(ipc, timeout_ms, &texts[0], &texts[1],
                                                            &texts[2], &texts[3]);
  for (int i = 0; i < 4; ++i) take(texts[i], pulled.texts[i]);
  return pulled;
}

Pulled pull_command(void* ipc, unsigned timeout_ms) {
  char* texts[3] = {};
  Pulled pulled;
  pulled.status =
      nelko_core_ipc_target_command_receive(ipc, timeout_ms, &texts[0], &texts[1], &texts[2]);
  for (int i = 0; i < 3; ++i) take(texts[i], pulled.texts[i]);
  return pulled;
}

bool eventually(std::function<bool()> const& condition, long limit_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

long rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace core_test
