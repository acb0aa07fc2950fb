#ifndef NELKO_CORE_IPC_SOCKET_DIRECTORY_H
#define NELKO_CORE_IPC_SOCKET_DIRECTORY_H

#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <string_view>

#include "nelko_core_types.h"

namespace nelko::core {

// Finds the directory that holds the sockets of targets: $NELKO_IPC_DIR, else the user's
// private runtime directory, created with mode 0700 when missing. A default directory that
// another user owns or others may enter is refused (logged, IPC_FAILED), since anyone who can
// place a socket there could impersonate a target.
nelko_core_status resolve_socket_directory(void* log, std::string& directory);

// A target name is one path component: not empty, no '/', not "." or "..".
bool valid_endpoint_name(char const* name);

// Fills `address` with <directory>/<name>; false when the path does not fit.
bool make_socket_address(std::string const& directory, std::string_view name, sockaddr_un& address,
                         socklen_t& length);

}  // namespace nelko::core

#endif
