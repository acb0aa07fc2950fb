#include "raw_wire.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace nelko {
namespace test {

bool write_all(int fd, char const* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool read_exact(int fd, char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t got = ::read(fd, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool send_all(int socket, std::string const& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    ssize_t got = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    sent += static_cast<std::size_t>(got);
  }
  return true;
}

namespace {

void append_be32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

bool socket_address(std::string const& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

std::string wire_frame(unsigned char kind, std::vector<std::string> const& texts) {
  std::string body(1, static_cast<char>(kind));
  for (std::string const& text : texts) {
    append_be32(body, static_cast<std::uint32_t>(text.size()));
    body += text;
  }
  std::string frame;
  append_be32(frame, static_cast<std::uint32_t>(body.size()));
  return frame + body;
}

bool read_wire_frame(int fd, std::string& frame) {
  char length[4];
  if (!read_exact(fd, length, sizeof length)) return false;
  std::uint32_t size = 0;
  for (char byte : length) size = (size << 8) | static_cast<unsigned char>(byte);
  if (size == 0 || size > (1u << 20)) return false;
  frame.assign(length, sizeof length);
  frame.resize(sizeof length + size);
  return read_exact(fd, frame.data() + sizeof length, size);
}

int listen_at(std::string const& path) {
  sockaddr_un address;
  if (!socket_address(path, address)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int connect_to(std::string const& path) {
  sockaddr_un address;
  if (!socket_address(path, address)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace test
}  // namespace nelko
