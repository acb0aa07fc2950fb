#include "stream_layout_client.h"

#include <nelko_api_stream_layout.h>
#include <nelko_core.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <vector>

#include "cli_errors.h"
#include "socket_path.h"

namespace nelko::cli {
namespace {

constexpr char kInitiatorName[] = "stream-layout";

// One layout list (a core array of unsigned ints), released with the core library's function.
class UintList {
 public:
  UintList() = default;
  explicit UintList(std::vector<std::uint32_t> const& values)
      : list_(nelko_core_alloc_uint_array(static_cast<unsigned int>(values.size()))) {
    if (list_ == nullptr)
      throw StatusError(NELKO_CORE_STATUS_ALLOC_FAILED, "cannot allocate a layout list");
    for (std::size_t i = 0; i < values.size(); ++i) *list_[i] = values[i];
  }
  ~UintList() { nelko_core_free_uint_array(list_); }
  UintList(UintList&& other) noexcept : list_(other.list_) { other.list_ = nullptr; }
  UintList(UintList const&) = delete;
  UintList& operator=(UintList const&) = delete;

  unsigned int** get() const { return list_; }
  // For an out-parameter of the library; the list it writes is released here.
  unsigned int*** out() { return &list_; }

  std::size_t size() const {
    std::size_t n = 0;
    while (list_ != nullptr && list_[n] != nullptr) ++n;
    return n;
  }
  std::uint32_t operator[](std::size_t i) const { return *list_[i]; }

 private:
  unsigned int** list_ = nullptr;
};

// Waits for the completion of an asynchronous "__get_target_version__": that command has no
// form with a caller's time-out, and its callback lets the wait end at the time-out exactly.
struct VersionWait {
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
  unsigned int status = 0;
  unsigned int major = 0;
  unsigned int minor = 0;

  static void completed(char* /*first_text*/, nelko_core_status status, unsigned int major,
                        unsigned int minor, void* user_data) {
    auto* wait = static_cast<VersionWait*>(user_data);
    std::lock_guard<std::mutex> lock(wait->mutex);
    wait->done = true;
    wait->status = status;
    wait->major = major;
    wait->minor = minor;
    wait->done_changed.notify_all();
  }
};

}  // namespace

std::string describe_status(unsigned int status, std::string const& action,
                            std::string const& target, int timeout_ms, long long elapsed_ms,
                            SocketState socket_before) {
  std::string const socket = socket_path(target);
  std::string meaning;
  switch (status) {
    case NELKO_CORE_STATUS_INVALID_PARAMS:
      if (socket.size() > kMaxSocketPathBytes) {
        meaning = "nothing was sent: the socket path " + shorten(socket) + " is " +
                  std::to_string(socket.size()) + " bytes, more than the " +
                  std::to_string(kMaxSocketPathBytes) +
                  " a socket path may have (use a shorter NELKO_IPC_DIR or target name)";
      } else {
        meaning = "target '" + target + "' refused the request (no such stream or ROI, or a " +
                  "value it does not accept)";
      }
      break;
    case NELKO_CORE_STATUS_ALLOC_FAILED:
      meaning = "the IPC channel could not be opened in " + shorten(socket_directory()) +
                " (is NELKO_IPC_DIR usable?) or memory ran out";
      break;
    case NELKO_CORE_STATUS_IPC_FAILED:
      // The library does not say why; the time taken and the socket file do.
      if (timeout_ms > 0 && elapsed_ms >= timeout_ms) {
        meaning = "target '" + target + "' did not answer within " + std::to_string(timeout_ms) +
                  " ms (socket " + shorten(socket) + ")";
      } else if (timeout_ms == 0) {
        meaning = "target '" + target + "' had no answer ready (--timeout 0 polls; socket " +
                  shorten(socket) + ")";
      } else {
        switch (socket_before) {
          case SocketState::kMissing:
            meaning = "nothing was sent: no target listens at " + shorten(socket) +
                      " (is it running, with the same NELKO_IPC_DIR?)";
            break;
          case SocketState::kNotASocket:
            meaning = "nothing was sent: " + shorten(socket) + " is not a socket";
            break;
          case SocketState::kPresent:
            meaning = "the connection to target '" + target + "' at " + shorten(socket) +
                      " was refused or closed before an answer came (did the target stop?)";
            break;
        }
      }
      break;
    case NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION:
      meaning = "target '" + target + "' does not know this command";
      break;
    case NELKO_CORE_STATUS_REMOTE_FUNCTION_FAILURE:
      meaning = "target '" + target + "' failed to carry it out";
      break;
    case NELKO_CORE_STATUS_DISABLED_TARGET:
      meaning = "target '" + target + "' is disabled";
      break;
    default:
      meaning = "failed";
  }
  return action + ": " + meaning + " [status " + std::to_string(status) + ", " +
         nelko_core_status_to_string(static_cast<nelko_core_status>(status)) + "]";
}

StreamLayoutClient::StreamLayoutClient(std::string target, int timeout_ms)
    : target_(std::move(target)), timeout_ms_(timeout_ms) {
  // Without a log handle the library uses the default logger; not worth failing for.
  if (nelko_core_logging_init(kInitiatorName, &log_) != NELKO_CORE_STATUS_NO_ERROR) log_ = nullptr;
  start();
  unsigned int status =
      nelko_api_stream_layout_initiator_init(nullptr, log_, &handle_, 0, kInitiatorName);
  if (status != NELKO_CORE_STATUS_NO_ERROR) {
    if (log_ != nullptr) nelko_core_logging_deinit(log_);
    check(status, "connecting");
  }
}

StreamLayoutClient::~StreamLayoutClient() {
  nelko_api_stream_layout_initiator_deinit(handle_);
  if (log_ != nullptr) nelko_core_logging_deinit(log_);
}

void StreamLayoutClient::start() {
  started_ = std::chrono::steady_clock::now();
  socket_before_ = inspect_socket(socket_path(target_));
}

void StreamLayoutClient::check(unsigned int status, std::string const& action) const {
  if (status == NELKO_CORE_STATUS_NO_ERROR) return;
  auto const elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started_);
  throw StatusError(status, describe_status(status, action, target_, timeout_ms_, elapsed.count(),
                                            socket_before_));
}

Versions StreamLayoutClient::get_versions() {
  Versions versions;
  versions.target = target_;
  check(nelko_api_stream_layout_get_initiator_version(handle_, &versions.library_major,
                                                      &versions.library_minor),
        "version");
  VersionWait wait;
  start();
  unsigned int status = nelko_api_stream_layout___get_target_version___send_async(
      handle_, target_.c_str(), &VersionWait::completed, &wait);
  if (status == NELKO_CORE_STATUS_NO_ERROR) {
    std::unique_lock<std::mutex> lock(wait.mutex);
    wait.done_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms_),
                               [&] { return wait.done; });
  }
  // The request stays registered even when sending failed; after this no callback runs, so
  // `wait` may go out of scope.
  nelko_api_stream_layout___get_target_version___cancel_async(handle_, &VersionWait::completed,
                                                              &wait);
  std::lock_guard<std::mutex> lock(wait.mutex);
  if (status == NELKO_CORE_STATUS_NO_ERROR)
    status = wait.done ? wait.status : static_cast<unsigned int>(NELKO_CORE_STATUS_IPC_FAILED);
  check(status, "version");
  versions.target_major = wait.major;
  versions.target_minor = wait.minor;
  return versions;
}

Layout StreamLayoutClient::get_layout(std::uint32_t stream) {
  std::array<UintList, 9> lists;
  start();
  check(nelko_api_stream_layout_get_stream_layout_send_with_timeout(
            handle_, target_.c_str(), timeout_ms_, stream, lists[0].out(), lists[1].out(),
            lists[2].out(), lists[3].out(), lists[4].out(), lists[5].out(), lists[6].out(),
            lists[7].out(), lists[8].out()),
        "layout get " + std::to_string(stream));
  std::size_t count = lists[0].size();
  bool uneven = false;
  for (UintList const& list : lists) {
    uneven = uneven || list.size() != count;
    count = std::min(count, list.size());
  }
  // Each placement needs all nine values; a target that sends lists of different lengths is
  // broken, but what it did send in full is still worth showing.
  if (uneven)
    std::cerr << "stream-layout: warning: target '" << target_
              << "' sent layout lists of different lengths; using the first " << count
              << " placements\n";
  Layout layout;
  layout.stream = stream;
  for (std::size_t i = 0; i < count; ++i) {
    Placement p;
    p.source = {lists[0][i], lists[1][i], lists[2][i], lists[3][i]};
    p.facet = lists[4][i];
    p.destination = {lists[5][i], lists[6][i], lists[7][i], lists[8][i]};
    layout.placements.push_back(p);
  }
  return layout;
}

void StreamLayoutClient::set_layout(std::uint32_t stream, Layout const& layout) {
  std::array<std::vector<std::uint32_t>, 9> values;
  for (Placement const& p : layout.placements) {
    std::array<std::uint32_t, 9> row = {
        p.source.x,      p.source.y,      p.source.width,      p.source.height,     p.facet,
        p.destination.x, p.destination.y, p.destination.width, p.destination.height};
    for (std::size_t k = 0; k < row.size(); ++k) values[k].push_back(row[k]);
  }
  std::vector<UintList> l;
  for (std::vector<std::uint32_t> const& list : values) l.emplace_back(list);
  start();
  check(nelko_api_stream_layout_set_stream_layout_send_with_timeout(
            handle_, target_.c_str(), timeout_ms_, stream, l[0].get(), l[1].get(), l[2].get(),
            l[3].get(), l[4].get(), l[5].get(), l[6].get(), l[7].get(), l[8].get()),
        "layout set " + std::to_string(stream));
}

std::uint32_t StreamLayoutClient::get_roi_count() {
  unsigned int count = 0;
  start();
  check(nelko_api_stream_layout_get_num_roi_send_with_timeout(handle_, target_.c_str(), timeout_ms_,
                                                              &count),
        "roi count");
  return count;
}

Roi StreamLayoutClient::get_roi(std::uint32_t index, std::uint32_t roi_set) {
  Roi roi;
  start();
  check(nelko_api_stream_layout_get_roi_send_with_timeout(handle_, target_.c_str(), timeout_ms_,
                                                          index, roi_set, &roi.pan, &roi.tilt,
                                                          &roi.roll, &roi.vfov),
        "roi get " + std::to_string(index));
  return roi;
}

void StreamLayoutClient::set_roi(std::uint32_t index, std::uint32_t roi_set, Roi const& roi) {
  start();
  check(nelko_api_stream_layout_set_roi_send_with_timeout(handle_, target_.c_str(), timeout_ms_,
                                                          index, roi_set, roi.pan, roi.tilt,
                                                          roi.roll, roi.vfov),
        "roi set " + std::to_string(index));
}

PanTilt StreamLayoutClient::point_to_pan_tilt(std::uint32_t stream, double x, double y) {
  PanTilt result;
  start();
  check(nelko_api_stream_layout_stream_point_to_pan_tilt_send_with_timeout(
            handle_, target_.c_str(), timeout_ms_, stream, x, y, &result.pan, &result.tilt),
        "point");
  return result;
}

}  // namespace nelko::cli
