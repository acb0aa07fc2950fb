#include "raw_wire.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace nelko {
namespace test {

namespace {

// Calls `step` with the number of bytes done so far until all `size` are done; false on end of
// file or error. A call that a signal interrupted is made again.
template <class Step>
bool whole(std::size_t size, Step step) {
  for (std::size_t done = 0; done < size;) {
    ssize_t got = step(done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

void append_be32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

// An unbound stream socket (close-on-exec) and the address of `path` in `address`; -1 when the
// path does not fit an address.
int unix_socket(std::string const& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

}  // namespace

bool write_all(int fd, char const* bytes, std::size_t size) {
  return whole(size, [&](std::size_t done) { return ::write(fd, bytes + done, size - done); });
}

bool read_exact(int fd, char* bytes, std::size_t size) {
  return whole(size, [&](std::size_t done) { return ::read(fd, bytes + done, size - done); });
}

bool send_all(int socket, std::string const& bytes) {
  return whole(bytes.size(), [&](std::size_t done) {
    return ::send(socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
  });
}

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
  int fd = unix_socket(path, address);
  if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                  ::listen(fd, 16) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int connect_to(std::string const& path) {
  sockaddr_un address;
  int fd = unix_socket(path, address);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace test
}  // namespace nelko
