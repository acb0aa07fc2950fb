// Raw peers of the IPC wire for tests and benchmarks: blocking socket helpers and frames built
// by hand, so that a test can play a target or an initiator byte by byte and a benchmark can
// measure the socket without the library.
#ifndef NELKO_TEST_SUPPORT_RAW_WIRE_H
#define NELKO_TEST_SUPPORT_RAW_WIRE_H

#include <cstddef>
#include <string>
#include <vector>

namespace nelko {
namespace test {

// Blocking helpers for raw sockets; false on end of file or error.
bool write_all(int fd, char const* bytes, std::size_t size);
bool read_exact(int fd, char* bytes, std::size_t size);
// Sends all of `bytes` on a socket; a peer that closed fails it instead of raising SIGPIPE.
bool send_all(int socket, std::string const& bytes);

// One frame as the IPC channel carries it: u32 body length, kind byte, then u32-length texts,
// all big-endian (documented in nelko_core_ipc.h).
std::string wire_frame(unsigned char kind, std::vector<std::string> const& texts);
// Reads one whole frame (length field included) into `frame`; false past 1 MiB.
bool read_wire_frame(int fd, std::string& frame);

// A stream socket (close-on-exec) listening at, or connected to, a path; -1 on failure, also
// for a path too long for a socket address.
int listen_at(std::string const& path);
int connect_to(std::string const& path);

}  // namespace test
}  // namespace nelko

#endif
