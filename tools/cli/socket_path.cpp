#include "socket_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace nelko::cli {

std::string socket_directory() {
  char const* chosen = std::getenv("NELKO_IPC_DIR");
  if (chosen != nullptr && *chosen != '\0') return chosen;
  char const* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::string(runtime) + "/nelko-ipc";
  return "/tmp/nelko-ipc-" + std::to_string(static_cast<unsigned long>(::geteuid()));
}

std::string socket_path(std::string const& target) {
  return socket_directory() + "/" + target;
}

SocketState inspect_socket(std::string const& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return SocketState::kMissing;
  return S_ISSOCK(status.st_mode) ? SocketState::kPresent : SocketState::kNotASocket;
}

}  // namespace nelko::cli
