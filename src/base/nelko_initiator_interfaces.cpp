#include "nelko_initiator_interfaces.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "flat_index.h"
#include "nelko_core_ipc.h"
#include "nelko_core_logging.h"

namespace {

constexpr std::uint32_t kMessagePoolCount = 10;

// Every object, and the calls from other threads that may still be running on one when it is
// destroyed: a callback may deinit its own handle while another thread's _cancel_async waits
// for that callback. The object goes only once such calls have returned; later ones are refused.
class Objects {
 public:
  // Never destroyed: I/O threads may still finish deliveries while the process exits.
  static Objects& all() {
    static auto* objects = new Objects();
    return *objects;
  }

  void add(void const* object) {
    auto record = std::make_unique<Record>(object);
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.insert(record.get());
    record.release();
  }
  void forget(void const* object) noexcept {
    std::unique_ptr<Record> record;
    std::lock_guard<std::mutex> lock(mutex_);
    record.reset(calls_.take(object));
  }
  // Counts a call on `object`: its record, which stays until the object is forgotten; null,
  // with nothing counted, when the object is being destroyed or is not one.
  std::atomic<std::uint32_t>* enter(void const* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    Record* const found = calls_.find(object);
    // end() sets kEnding under the mutex, so no call is counted after it.
    if (found == nullptr || (found->calls.load() & kEnding) != 0) return nullptr;
    found->calls.fetch_add(1);
    return &found->calls;
  }
  // Without the mutex: one step takes the call off and tells whether end() waits for it, and
  // nothing of the record is touched after it, since end() may let the object go at once.
  void leave(std::atomic<std::uint32_t>* calls) noexcept {
    if (calls->fetch_sub(1) != (kEnding | 1)) return;
    std::lock_guard<std::mutex> lock(mutex_);  // end() checks its condition under it
    ended_.notify_all();
  }
  // Refuses further calls on `object` and waits for those running.
  void end(void const* object) noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    Record* const found = calls_.find(object);
    if (found == nullptr) return;
    std::atomic<std::uint32_t>& state = found->calls;  // stays while others come and go
    state.fetch_or(kEnding);
    ended_.wait(lock, [&state] { return state.load() == kEnding; });
  }

 private:
  static constexpr std::uint32_t kEnding = 0x80000000u;
  std::mutex mutex_;
  std::condition_variable ended_;
  // Per object, the calls running on it, and kEnding once it is being destroyed. A record stays
  // where it is while other objects come and go.
  struct Record {
    explicit Record(void const* of) : object(of) {}
    void const* const object;
    std::atomic<std::uint32_t> calls{0};
  };
  struct ObjectOf {
    void const* operator()(Record const& record) const noexcept { return record.object; }
  };
  nelko::base::FlatIndex<Record, ObjectOf, std::hash<void const*>> calls_;
};

void delete_when_calls_end(nelkoInitiatorInterfaces* object) {
  Objects::all().end(object);
  delete object;
}

// One response being delivered to an object on this thread, from the core library's response
// function until the interfaces library and the derived class are done with it. The deliveries
// of a thread form a stack, innermost first, so that deinit can tell whether it runs inside a
// delivery to the very object it destroys (from one of the object's own callbacks).
class Delivery {
 public:
  explicit Delivery(nelkoInitiatorInterfaces* object) noexcept
      : object_(object), outer_(innermost_) {
    innermost_ = this;
  }
  // Destroys a doomed object once everything of its delivery has returned. The delivery stays
  // on the stack meanwhile: the object's destructor sees that it runs on its own I/O thread.
  ~Delivery() {
    if (doomed_) delete_when_calls_end(object_);
    innermost_ = outer_;
  }
  Delivery(Delivery const&) = delete;
  Delivery& operator=(Delivery const&) = delete;

  // The outermost delivery to `object` on this thread, or null.
  static Delivery* of(nelkoInitiatorInterfaces const* object) noexcept {
    Delivery* outermost = nullptr;
    for (Delivery* delivery = innermost_; delivery != nullptr; delivery = delivery->outer_) {
      if (delivery->object_ == object) outermost = delivery;
    }
    return outermost;
  }

  void doom() noexcept { doomed_ = true; }
  bool doomed() const noexcept { return doomed_; }

 private:
  // Initial-exec: asked on every delivery and registration, and reached so without a call into
  // the dynamic linker.
  __attribute__((tls_model("initial-exec"))) static thread_local Delivery* innermost_;

  nelkoInitiatorInterfaces* const object_;
  Delivery* const outer_;
  bool doomed_ = false;
};

__attribute__((tls_model("initial-exec"))) thread_local Delivery* Delivery::innermost_ = nullptr;

// The core library's response function: hands the response to the object it was registered for.
// Nothing may propagate into the core library's thread.
void initiator_response_trampoline(char** first, char** second, char** third, char** fourth,
                                 void* user) {
  auto* object = static_cast<nelkoInitiatorInterfaces*>(user);
  Delivery delivery(object);
  try {
    object->initiatorResponseCallback(first, second, third, fourth);
  } catch (...) {
  }
}

void log_error(void* log_handle, char const* format, ...) __attribute__((format(printf, 2, 3)));
void log_error(void* log_handle, char const* format, ...) {
  va_list args;
  va_start(args, format);
  nelko_core_logging_logv(log_handle, NELKO_CORE_LOG_PRIORITY_ERR, format, args);
  va_end(args);
}

// A failing close is logged and otherwise ignored: the handle is gone either way.
void close_channel(void* ipc_handle, void* log_handle) {
  nelko_core_status status = nelko_core_ipc_deinit(ipc_handle);
  if (status != NELKO_CORE_STATUS_NO_ERROR) {
    log_error(log_handle, "%s: failed call to initiator deinit (%d)",
              "~nelkoInitiatorInterfaces", static_cast<int>(status));
  }
}

// A channel's own I/O thread cannot close it (it would have to join itself): a short-lived thread
// closes it, which waits for the I/O thread to leave the delivery in progress.
void close_channel_from_another_thread(void* ipc_handle, void* log_handle) {
  try {
    std::thread(close_channel, ipc_handle, log_handle).detach();
  } catch (...) {
    close_channel(ipc_handle, log_handle);  // refused and logged; the channel is left open
  }
}

}  // namespace

nelkoInitiatorInterfaces::nelkoInitiatorInterfaces(void* ipc_handle, void* log_handle,
                                                   char const* initiator_name,
                                                   std::uint32_t version_major,
                                                   std::uint32_t version_minor)
    : nelkoInterfaces(log_handle, version_major, version_minor),
      m_ipcHandle(ipc_handle),
      m_ownsChannel(false),
      m_firstPool(log_handle, kMessagePoolCount),
      m_secondPool(log_handle, kMessagePoolCount) {
  Objects::all().add(this);
  if (ipc_handle != nullptr) return;
  m_ownsChannel = true;
  nelko_core_status status = nelko_core_ipc_initiator_init(log_handle, initiator_name, &m_ipcHandle);
  if (status != NELKO_CORE_STATUS_NO_ERROR) {
    std::string text = "nelkoInitiatorInterfaces: failed call to initiator init (" +
                       std::to_string(static_cast<int>(status)) + ")";
    IPC_LOG_ERR("%s", text.c_str());
    m_ipcHandle = nullptr;
    Objects::all().forget(this);
    throw std::runtime_error(text);
  }
}

nelkoInitiatorInterfaces::~nelkoInitiatorInterfaces() {
  Objects::all().forget(this);
  if (m_ownsChannel) {
    // Destroyed at the end of a delivery to this object, this thread is the channel's I/O thread.
    if (Delivery::of(this) != nullptr) {
      close_channel_from_another_thread(m_ipcHandle, m_logHandle);
    } else {
      close_channel(m_ipcHandle, m_logHandle);
    }
  }
  m_ipcHandle = nullptr;
}

void nelkoInitiatorInterfaces::destroy(nelkoInitiatorInterfaces* object) {
  if (object == nullptr) return;
  if (Delivery* delivery = Delivery::of(object)) {
    object->unregisterResponseFunction();
    delivery->doom();
    return;
  }
  delete_when_calls_end(object);
}

nelko::base::CallOnObject::CallOnObject(nelkoInitiatorInterfaces const* object)
    : calls_(Objects::all().enter(object)) {}

nelko::base::CallOnObject::~CallOnObject() {
  if (calls_ != nullptr) Objects::all().leave(calls_);
}

void nelkoInitiatorInterfaces::subclassResponseDispatch(char const*, char*, char*, json::Object&) {}

void nelkoInitiatorInterfaces::subclassEventDispatch(char const*, char const*, json::Object&) {}

nelko_core_status nelkoInitiatorInterfaces::registerResponseFunction() {
  Delivery const* delivery = Delivery::of(this);
  if (delivery != nullptr && delivery->doomed()) return NELKO_CORE_STATUS_INVALID_PARAMS;
  return nelko_core_ipc_initiator_response_receive_callback(m_ipcHandle,
                                                            initiator_response_trampoline, this);
}

void nelkoInitiatorInterfaces::unregisterResponseFunction() {
  nelko_core_ipc_initiator_response_receive_callback(m_ipcHandle, nullptr, this);
}
