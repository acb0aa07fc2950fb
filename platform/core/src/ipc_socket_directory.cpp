#include "ipc_socket_directory.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "nelko_core_logging.h"

namespace nelko::core {
namespace {

constexpr mode_t kPrivateDirectoryMode = 0700;
constexpr mode_t kSharedDirectoryMode = 0770;
constexpr mode_t kPrivateSocketMode = 0600;
constexpr mode_t kSharedSocketMode = 0660;

std::string error_text(int error_number) {
  return std::generic_category().message(error_number);
}

// NELKO_IPC_GROUP: a group name or number. False (logged) when it names no group.
bool resolve_group(void* log, SocketDirectory& directory) {
  char const* chosen = std::getenv("NELKO_IPC_GROUP");
  if (chosen == nullptr || *chosen == '\0') return true;
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(4096);
  int result;
  while ((result = ::getgrnam_r(chosen, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found != nullptr) {
    directory.group = found->gr_gid;
  } else {
    char* end = nullptr;
    errno = 0;
    unsigned long number = std::strtoul(chosen, &end, 10);
    if (*end != '\0' || errno != 0 || *chosen < '0' || *chosen > '9' ||
        number != static_cast<gid_t>(number)) {
      nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR,
                             "NELKO_IPC_GROUP: no group '%s' on this system", chosen);
      return false;
    }
    directory.group = static_cast<gid_t>(number);
  }
  directory.shared = true;
  return true;
}

// Creates the directory with its mode's owner and mode; an existing one is left as it is.
bool create_directory(void* log, SocketDirectory const& directory) {
  char const* path = directory.path.c_str();
  if (::mkdir(path, kPrivateDirectoryMode) != 0) {
    if (errno == EEXIST) return true;
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR, "cannot create IPC directory %s: %s",
                           path, error_text(errno).c_str());
    return false;
  }
  // Made private first, then opened to the group: nobody else can enter it meanwhile.
  if (directory.shared && (::lchown(path, static_cast<uid_t>(-1), directory.group) != 0 ||
                           ::chmod(path, S_ISGID | kSharedDirectoryMode) != 0)) {
    int const error_number = errno;
    ::rmdir(path);  // else the next attempt would find it private and refuse it
    nelko_core_logging_log(
        log, NELKO_CORE_LOG_PRIORITY_ERR, "cannot give IPC directory %s to group %lu: %s", path,
        static_cast<unsigned long>(directory.group), error_text(error_number).c_str());
    return false;
  }
  return true;
}

// lstat: a symbolic link, also one planted in a shared parent such as /tmp, must not redirect us.
bool check_directory(void* log, SocketDirectory const& directory) {
  char const* path = directory.path.c_str();
  struct stat info {};
  if (::lstat(path, &info) != 0 || !S_ISDIR(info.st_mode)) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR,
                           "refusing IPC directory %s: it is not a directory (a link?)", path);
    return false;
  }
  uid_t const me = ::geteuid();
  mode_t const mode = info.st_mode & 0777;
  bool safe;
  if (directory.shared) {
    safe = (info.st_uid == me || info.st_uid == 0) && info.st_gid == directory.group &&
           mode == kSharedDirectoryMode;
  } else {
    safe = info.st_uid == me && (mode & 077) == 0;
  }
  if (!safe) {
    if (directory.shared) {
      nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR,
                             "refusing IPC directory %s: it must be owned by uid %lu or root and "
                             "group %lu with mode 0770 (owner %lu, group %lu, mode %03o)",
                             path, static_cast<unsigned long>(me),
                             static_cast<unsigned long>(directory.group),
                             static_cast<unsigned long>(info.st_uid),
                             static_cast<unsigned long>(info.st_gid), static_cast<unsigned>(mode));
    } else {
      nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR,
                             "refusing IPC directory %s: it must be owned by uid %lu with mode "
                             "0700 (owner %lu, mode %03o)",
                             path, static_cast<unsigned long>(me),
                             static_cast<unsigned long>(info.st_uid), static_cast<unsigned>(mode));
    }
    return false;
  }
  return true;
}

bool in_group(int descriptor, gid_t primary, gid_t wanted) {
  if (primary == wanted) return true;
#ifdef SO_PEERGROUPS
  std::vector<gid_t> groups(32);
  for (;;) {
    auto size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(descriptor, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
      groups.resize(size / sizeof(gid_t));
      return std::find(groups.begin(), groups.end(), wanted) != groups.end();
    }
    // ERANGE tells the size needed; other errors (an old kernel) leave the primary group only.
    if (errno != ERANGE || size / sizeof(gid_t) <= groups.size()) return false;
    groups.resize(size / sizeof(gid_t));
  }
#else
  (void)descriptor;
  return false;
#endif
}

}  // namespace

nelko_core_status resolve_socket_directory(void* log, SocketDirectory& directory) {
  if (!resolve_group(log, directory)) return NELKO_CORE_STATUS_IPC_FAILED;
  char const* chosen = std::getenv("NELKO_IPC_DIR");
  char const* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (chosen != nullptr && *chosen != '\0') {
    directory.path = chosen;
  } else if (runtime != nullptr && *runtime != '\0') {
    directory.path = std::string(runtime) + "/nelko-ipc";
  } else {
    directory.path = "/tmp/nelko-ipc-" + std::to_string(static_cast<unsigned long>(::geteuid()));
  }
  if (!create_directory(log, directory) || !check_directory(log, directory)) {
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
  return NELKO_CORE_STATUS_NO_ERROR;
}

bool set_socket_file_access(SocketDirectory const& directory, char const* path) {
  if (!directory.shared) return ::chmod(path, kPrivateSocketMode) == 0;
  return ::lchown(path, static_cast<uid_t>(-1), directory.group) == 0 &&
         ::chmod(path, kSharedSocketMode) == 0;
}

bool peer_admitted(int descriptor, SocketDirectory const& directory, PeerCredentials& peer) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    peer.known = false;
    return false;
  }
  peer = {true, credentials.pid, credentials.uid, credentials.gid};
  if (peer.uid == ::geteuid() || peer.uid == 0) return true;
  return directory.shared && in_group(descriptor, peer.gid, directory.group);
}

bool target_admitted(void* log, int descriptor, SocketDirectory const& directory,
                     std::string_view target) {
  PeerCredentials peer;
  if (peer_admitted(descriptor, directory, peer)) return true;
  if (!peer.known) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR,
                           "IPC: refusing target '%.*s': its credentials cannot be read",
                           static_cast<int>(target.size()), target.data());
  } else {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR,
                           "IPC: refusing target '%.*s': it runs as uid %lu (pid %ld), which is "
                           "neither this user, root nor a member of the IPC group",
                           static_cast<int>(target.size()), target.data(),
                           static_cast<unsigned long>(peer.uid), static_cast<long>(peer.pid));
  }
  return false;
}

bool valid_endpoint_name(char const* name) {
  return name != nullptr && valid_endpoint_name(std::string_view(name));
}

bool valid_endpoint_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::memchr(name.data(), '/', name.size()) == nullptr &&
         std::memchr(name.data(), '\0', name.size()) == nullptr;
}

bool valid_initiator_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxInitiatorName) return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f || byte == '#' || byte == '/';
  });
}

bool make_socket_address(std::string const& directory, std::string_view name, sockaddr_un& address,
                         socklen_t& length) {
  std::size_t needed = directory.size() + 1 + name.size();
  if (needed >= sizeof address.sun_path) return false;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, directory.data(), directory.size());
  address.sun_path[directory.size()] = '/';
  std::memcpy(address.sun_path + directory.size() + 1, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + needed + 1);
  return true;
}

}  // namespace nelko::core
