#include "hostile_target.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <stdexcept>

#include "core_test_support.h"
#include "json/text.h"

namespace fault {
namespace {

std::uint32_t be32(char const* bytes) {
  auto const* b = reinterpret_cast<unsigned char const*>(bytes);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
         b[3];
}

}  // namespace

HostileTarget::HostileTarget(std::string const& directory, std::string const& name,
                             Behaviour behaviour)
    : path_(directory + "/" + name), behaviour_(std::move(behaviour)) {
  ::unlink(path_.c_str());
  listener_ = nelko::test::listen_at(path_);
  if (listener_ < 0 || ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error("cannot listen at " + path_);
  }
  thread_ = std::thread([this] { run(); });
}

HostileTarget::~HostileTarget() { die(); }

void HostileTarget::die() {
  if (!stopping_.exchange(true)) {
    char byte = 0;
    (void)::write(wake_[1], &byte, 1);
    thread_.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
    ::unlink(path_.c_str());
  }
}

void HostileTarget::pause(bool paused) {
  paused_ = paused;
  char byte = 0;
  (void)::write(wake_[1], &byte, 1);
}

std::string HostileTarget::response(std::string const& uuid, std::string const& payload) {
  return core_test::wire_frame(3, {"stream_layout", uuid, payload});
}

std::string HostileTarget::answer(Command const& command, unsigned number) {
  std::string payload = "{\"status\":0";
  if (command.name == "Get_num_roi") payload += ",\"num\":" + std::to_string(number);
  return response(command.uuid, payload + "}");
}

std::vector<Reply> answer_at_once(Command const& command) {
  return at_once(HostileTarget::answer(command));
}

void HostileTarget::run() {
  using Clock = std::chrono::steady_clock;
  while (!stopping_.load()) {
    std::vector<pollfd> watched{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    if (!paused_.load()) {
      for (auto const& entry : peers_) {
        if (!entry.second.deaf) watched.push_back({entry.first, POLLIN, 0});
      }
    }
    int wait_ms = 100;
    if (!pending_.empty()) {
      auto next = std::min_element(pending_.begin(), pending_.end(),
                                   [](Pending const& a, Pending const& b) { return a.due < b.due; });
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next->due - Clock::now());
      wait_ms = static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), 100)));
    }
    ::poll(watched.data(), watched.size(), wait_ms);
    if (stopping_.load()) break;
    if (watched[0].revents & POLLIN) {
      char drained[16];
      while (::read(wake_[0], drained, sizeof drained) > 0) {
      }
    }
    if (watched[1].revents & POLLIN) {
      int descriptor = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (descriptor >= 0) {
        // A reply that the library does not read fails after this long instead of blocking
        // this thread, and with it the test's teardown, for good.
        timeval const send_limit{10, 0};
        ::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);
        peers_[descriptor] = Peer{descriptor, {}};
        ++connections_;
      }
    }
    for (std::size_t i = 2; i < watched.size(); ++i) {
      if (watched[i].revents == 0) continue;
      auto peer = peers_.find(watched[i].fd);
      if (peer != peers_.end()) read_from(peer->second);
    }
    // Replies that are due, in the order they were scheduled.
    auto const now = Clock::now();
    auto const first_due = std::stable_partition(pending_.begin(), pending_.end(),
                                                 [now](Pending const& p) { return p.due > now; });
    std::vector<Pending> due(std::make_move_iterator(first_due),
                             std::make_move_iterator(pending_.end()));
    pending_.erase(first_due, pending_.end());
    for (Pending const& reply : due) {
      if (peers_.count(reply.descriptor) == 0) continue;
      // Shut before the reply goes: what the initiator sends once it has the reply then fails.
      if (reply.reply.stop_reading) {
        ::shutdown(reply.descriptor, SHUT_RD);
        peers_.at(reply.descriptor).deaf = true;
      }
      nelko::test::send_all(reply.descriptor, reply.reply.bytes);  // false: the peer went
      if (reply.reply.hang_up) close_peer(reply.descriptor);
    }
  }
  for (auto const& entry : peers_) ::close(entry.first);
  peers_.clear();
  pending_.clear();
}

void HostileTarget::read_from(Peer& peer) {
  char buffer[65536];
  ssize_t n = ::recv(peer.descriptor, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    ++hang_ups_;
    close_peer(peer.descriptor);
    return;
  }
  if (n < 0) return;
  peer.input.append(buffer, static_cast<std::size_t>(n));
  int const descriptor = peer.descriptor;
  while (peer.input.size() >= 4) {
    std::uint32_t length = be32(peer.input.data());
    if (peer.input.size() < 4 + std::size_t{length}) break;
    std::string body = peer.input.substr(4, length);
    peer.input.erase(0, 4 + std::size_t{length});
    if (body.empty() || body[0] != 2) continue;  // hello and the like
    // command: interface, uuid, payload
    std::vector<std::string> texts;
    std::size_t pos = 1;
    while (pos + 4 <= body.size() && texts.size() < 3) {
      std::uint32_t size = be32(body.data() + pos);
      texts.push_back(body.substr(pos + 4, size));
      pos += 4 + size;
    }
    if (texts.size() != 3) continue;
    Command command;
    command.uuid = texts[1];
    command.payload = texts[2];
    try {
      json::Read(command.request, texts[2]);
      auto name = command.request.Find("command");
      if (name != command.request.end() && name->element.Is<json::String>()) {
        command.name = static_cast<json::String const&>(name->element);
      }
    } catch (json::Exception const&) {
    }
    ++commands_;
    auto const now = std::chrono::steady_clock::now();
    for (Reply& reply : behaviour_(command)) {
      pending_.push_back(Pending{now + reply.delay, descriptor, std::move(reply)});
    }
    if (peers_.count(descriptor) == 0) return;
  }
}

void HostileTarget::close_peer(int descriptor) {
  ::close(descriptor);
  peers_.erase(descriptor);
  pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                [descriptor](Pending const& p) { return p.descriptor == descriptor; }),
                 pending_.end());
}

}  // namespace fault
