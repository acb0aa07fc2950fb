#include "ipc_socket_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "nelko_core_logging.h"

namespace nelko::core {
namespace {

nelko_core_status make_directory(void* log, std::string const& directory, bool must_be_private) {
  if (::mkdir(directory.c_str(), 0700) == 0) return NELKO_CORE_STATUS_NO_ERROR;
  if (errno != EEXIST) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR, "cannot create IPC directory %s: %s",
                           directory.c_str(), std::generic_category().message(errno).c_str());
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
  struct stat info {};
  // lstat: a symbolic link planted in a shared directory must not redirect us.
  int result =
      must_be_private ? ::lstat(directory.c_str(), &info) : ::stat(directory.c_str(), &info);
  if (result != 0 || !S_ISDIR(info.st_mode)) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR, "IPC directory %s is not a directory",
                           directory.c_str());
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
  if (must_be_private && (info.st_uid != ::geteuid() || (info.st_mode & 077) != 0)) {
    nelko_core_logging_log(log, NELKO_CORE_LOG_PRIORITY_ERR,
                           "refusing IPC directory %s: it must be owned by uid %ld with mode 0700 "
                           "(owner %ld, mode %03o)",
                           directory.c_str(), static_cast<long>(::geteuid()),
                           static_cast<long>(info.st_uid),
                           static_cast<unsigned>(info.st_mode & 0777));
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
  return NELKO_CORE_STATUS_NO_ERROR;
}

}  // namespace

nelko_core_status resolve_socket_directory(void* log, std::string& directory) {
  char const* chosen = std::getenv("NELKO_IPC_DIR");
  if (chosen != nullptr && *chosen != '\0') {
    directory = chosen;
    return make_directory(log, directory, false);
  }
  char const* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') {
    directory = std::string(runtime) + "/nelko-ipc";
  } else {
    directory = "/tmp/nelko-ipc-" + std::to_string(static_cast<unsigned long>(::geteuid()));
  }
  return make_directory(log, directory, true);
}

bool valid_endpoint_name(char const* name) {
  if (name == nullptr || *name == '\0') return false;
  if (std::strchr(name, '/') != nullptr) return false;
  return std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
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
