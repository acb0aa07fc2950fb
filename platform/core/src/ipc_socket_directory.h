#ifndef NELKO_CORE_IPC_SOCKET_DIRECTORY_H
#define NELKO_CORE_IPC_SOCKET_DIRECTORY_H

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <string>
#include <string_view>

#include "nelko_core_types.h"

namespace nelko::core {

// The directory that holds the sockets of targets, and who may be at the other end of them.
//
// Private mode (the default): the directory belongs to this user and nobody else may enter it
// (mode 0700), sockets are 0600, and a peer is admitted when it runs as this user or as root.
// Group-shared mode (NELKO_IPC_GROUP names a group): the directory belongs to this user or root
// and to that group, with mode 0770 (setgid and sticky bits allowed), sockets are 0660 and of
// that group, and members of the group are admitted as well.
struct SocketDirectory {
  std::string path;
  bool shared = false;
  gid_t group = 0;
};

// Finds and checks the directory: $NELKO_IPC_DIR, else $XDG_RUNTIME_DIR/nelko-ipc, else
// /tmp/nelko-ipc-<uid>, created when missing. Whichever it is, it must be a real directory (not
// a symbolic link) of the mode's owner and mode, since anyone who can place a socket there could
// impersonate a target: else IPC_FAILED with a log line.
nelko_core_status resolve_socket_directory(void* log, SocketDirectory& directory);

// Gives a socket file just bound in the directory its mode (and group) whatever the umask.
bool set_socket_file_access(SocketDirectory const& directory, char const* path);

// Who is at the other end of a connected Unix socket, as the kernel saw it at connect() (for the
// connecting side: at the target's listen()).
struct PeerCredentials {
  bool known = false;  // false when the kernel would not tell (such a peer is refused)
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

// True when the peer may be talked to (see SocketDirectory); `peer` gets its credentials.
bool peer_admitted(int descriptor, SocketDirectory const& directory, PeerCredentials& peer);

// The initiator's check of the target it connected to: false, with a log line naming the
// target's uid, when the target is not admitted.
bool target_admitted(void* log, int descriptor, SocketDirectory const& directory,
                     std::string_view target);

// A target name is one path component: not empty, no '/', not "." or "..".
bool valid_endpoint_name(char const* name);
// The same for a name of known length, which must hold no NUL byte either.
bool valid_endpoint_name(std::string_view name);

// An initiator name, which a target puts in front of "#<connection number>" in the reply address
// and in log lines: 1 to kMaxInitiatorName bytes, none of them a control byte, '#' or '/'.
constexpr std::size_t kMaxInitiatorName = 255;
bool valid_initiator_name(std::string_view name);

// Fills `address` with <directory>/<name>; false when the path does not fit.
bool make_socket_address(std::string const& directory, std::string_view name, sockaddr_un& address,
                         socklen_t& length);

}  // namespace nelko::core

#endif
