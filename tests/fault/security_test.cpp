// What another local user or a hostile peer could try: reach the sockets, make the process
// allocate what a frame header claims, or guess request identifiers.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fault_fixture.h"
#include "hostile_target.h"

namespace fault {
namespace {

using std::chrono::milliseconds;
constexpr auto kOk = NELKO_CORE_STATUS_NO_ERROR;

mode_t mode_of(std::string const& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 07777;
  return info.st_mode & 0777;
}

using Security = FaultTest;

TEST_F(Security, SocketDirectoriesAndSocketsAreTheOwnersOnlyWhateverTheUmask) {
  mode_t const old_mask = ::umask(0);
  // A directory named by NELKO_IPC_DIR that does not exist yet.
  std::string const chosen = directory_ + "/chosen";
  ::setenv("NELKO_IPC_DIR", chosen.c_str(), 1);
  void* target = nullptr;
  ASSERT_EQ(nelko_core_ipc_target_init(nullptr, "stream_layout", "stream_layout", "0.9", &target), kOk);
  EXPECT_EQ(mode_of(chosen), 0700u);
  EXPECT_EQ(mode_of(chosen + "/stream_layout"), 0600u);
  nelko_core_ipc_deinit(target);

  // The default directory, made by a handle that opens its own channel.
  ::unsetenv("NELKO_IPC_DIR");
  ::setenv("XDG_RUNTIME_DIR", directory_.c_str(), 1);
  void* handle = nullptr;
  ASSERT_EQ(nelko_api_stream_layout_initiator_init(nullptr, nullptr, &handle, 0, "me"), kOk);
  EXPECT_EQ(mode_of(directory_ + "/nelko-ipc"), 0700u);
  nelko_api_stream_layout_initiator_deinit(handle);
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("NELKO_IPC_DIR", directory_.c_str(), 1);
  ::umask(old_mask);
}

// A target that answers with a frame header claiming `length` bytes, then a little of them, and
// keeps the connection open: the initiator must drop it without reserving the claimed size.
TEST_F(Security, AFrameHeaderCannotMakeTheInitiatorAllocateBeyondTheCap) {
  for (std::uint32_t claimed : {0x7fffffffu, 0x80000000u, 0xffffffffu, (1u << 20) + 1}) {
    SCOPED_TRACE(claimed);
    std::string header;
    for (int shift = 24; shift >= 0; shift -= 8) header.push_back(static_cast<char>(claimed >> shift));
    HostileTarget target(directory_, "claims", [&](Command const&) {
      return std::vector<Reply>{Reply{milliseconds(0), header + std::string(4096, 'x')}};
    });
    void* handle = open_handle();
    CapturedStderr quiet;
    long const before = rss_kib();
    unsigned int num = 0;
    EXPECT_EQ(nelko_api_stream_layout_get_num_roi_send_with_timeout(handle, "claims", 300, &num),
              NELKO_CORE_STATUS_IPC_FAILED);
    EXPECT_TRUE(eventually([&] { return target.hang_ups_seen() == 1; }, 2000))
        << "the connection was kept";
    EXPECT_LT(rss_kib() - before, 16 * 1024);
    nelko_api_stream_layout_initiator_deinit(handle);
  }
}

// Identifiers as a non-blocking send hands them out (nothing listens: the send fails, the
// identifier is handed out all the same).
std::vector<std::string> identifiers(void* handle, int count) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    void* uuid = nullptr;
    nelko_api_stream_layout_get_num_roi_non_blocking_send(handle, "nobody", &uuid);
    out.emplace_back(static_cast<char const*>(uuid));
    nelko_api_stream_layout_free_uuid(uuid);
  }
  return out;
}

TEST_F(Security, RequestIdentifiersAreRandomAndNotSharedBetweenHandles) {
  void* channel = nullptr;
  ASSERT_EQ(nelko_core_ipc_initiator_init(nullptr, "client", &channel), kOk);
  CapturedStderr quiet;
  // Handles made at the same moment on two threads, and a row of handles made one after another.
  constexpr int kHandles = 8;
  std::vector<void*> handles(kHandles, nullptr);
  std::atomic<int> ready{0};
  std::thread twin([&] {
    ++ready;
    while (ready.load() < 2) {
    }
    nelko_api_stream_layout_initiator_init(channel, nullptr, &handles[0], 0, "a");
  });
  ++ready;
  while (ready.load() < 2) {
  }
  nelko_api_stream_layout_initiator_init(channel, nullptr, &handles[1], 0, "b");
  twin.join();
  for (int i = 2; i < kHandles; ++i) {
    nelko_api_stream_layout_initiator_init(channel, nullptr, &handles[i], 0, "c");
  }
  for (void* handle : handles) ASSERT_NE(handle, nullptr);
  // Drawn on threads at once, two threads each on the first handles.
  std::vector<std::vector<std::string>> drawn(kHandles + 3);
  std::vector<std::thread> drawers;
  for (int i = 0; i < kHandles + 3; ++i) {
    drawers.emplace_back([&, i] { drawn[i] = identifiers(handles[i % kHandles], 200); });
  }
  for (std::thread& drawer : drawers) drawer.join();
  std::regex const version4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> all;
  std::size_t total = 0;
  for (auto const& row : drawn) {
    for (std::string const& uuid : row) {
      EXPECT_TRUE(std::regex_match(uuid, version4)) << uuid;
      all.insert(uuid);
      ++total;
    }
  }
  EXPECT_EQ(all.size(), total) << "a generator is shared, seeded alike or raced";
  // Consecutive identifiers of one handle share no prefix to speak of.
  std::vector<std::string> row = identifiers(handles[0], 50);
  int same_start = 0;
  for (std::size_t i = 1; i < row.size(); ++i) same_start += row[i].compare(0, 4, row[i - 1], 0, 4) == 0;
  EXPECT_LE(same_start, 2);
  for (void* handle : handles) nelko_api_stream_layout_initiator_deinit(handle);
  nelko_core_ipc_deinit(channel);
}

}  // namespace
}  // namespace fault
