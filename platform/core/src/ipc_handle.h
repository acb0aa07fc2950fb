#ifndef NELKO_CORE_IPC_HANDLE_H
#define NELKO_CORE_IPC_HANDLE_H

#include <atomic>
#include <cstdint>

namespace nelko::core {

// What an IPC handle points to: the first base of each channel class. The kind word tells the
// two channel kinds apart and turns a handle of the wrong kind (or a log handle passed by
// mistake, as scripts can do) into INVALID_PARAMS instead of a crash.
struct IpcHandle {
  enum class Kind : std::uint32_t { closed = 0, initiator = 0x6e6b4931, target = 0x6e6b5431 };
  explicit IpcHandle(Kind handle_kind) : kind(handle_kind) {}
  // Atomic: deinit marks the handle closed while the I/O thread may still check it.
  std::atomic<Kind> kind;
};

template <typename Channel>
Channel* channel_from_handle(void* handle) {
  if (handle == nullptr) return nullptr;
  auto* base = static_cast<IpcHandle*>(handle);
  return base->kind.load(std::memory_order_relaxed) == Channel::kKind ? static_cast<Channel*>(base)
                                                                      : nullptr;
}

}  // namespace nelko::core

#endif
