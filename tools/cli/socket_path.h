// Where the core library's IPC looks for a target, as nelko_core_ipc.h documents it: the
// directory $NELKO_IPC_DIR, else $XDG_RUNTIME_DIR/nelko-ipc, else /tmp/nelko-ipc-<uid>, and in
// it a socket named after the target. The library only answers "IPC failed"; looking at the
// socket file lets a message say whether nothing was there to talk to.
#ifndef STREAM_LAYOUT_CLI_SOCKET_PATH_H
#define STREAM_LAYOUT_CLI_SOCKET_PATH_H

#include <cstddef>
#include <string>

namespace nelko::cli {

// The longest path a Unix-domain socket address holds (sun_path less its terminating NUL).
constexpr std::size_t kMaxSocketPathBytes = 107;

std::string socket_directory();
std::string socket_path(std::string const& target);

enum class SocketState { kMissing, kNotASocket, kPresent };
SocketState inspect_socket(std::string const& path);

}  // namespace nelko::cli

#endif
