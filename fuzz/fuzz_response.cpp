// Response texts from a hostile or broken target, through the real interfaces stand-in and the
// initiator: json::Read, the strict completion of each of the seven commands and the lenient
// synchronous read of each (a receive form that claims the response from the channel's stash).
//
// The handle borrows a dummy channel (a zeroed block, which the core refuses as a handle), so
// nothing is sent and nothing blocks: responses are handed to initiatorResponseCallback as the
// core's I/O thread would hand them, and completions are also dispatched directly.
//
// Input: one byte of choices, then the response text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "i_stream_layout_initiator.h"
#include "json/text.h"
#include "nelko_api_stream_layout.h"
#include "nelko_core.h"

namespace {

using namespace nelko::stream_layout;

// Checks a property; a violation is a crash that libFuzzer records.
void require(bool condition, char const* what) {
  if (condition) return;
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

std::size_t listLength(unsigned int** list) {
  std::size_t n = 0;
  for (unsigned int** cell = list; cell != nullptr && *cell != nullptr; ++cell) {
    volatile unsigned int value = **cell;  // every cell must be readable
    (void)value;
    ++n;
  }
  return n;
}

// What the completion functions saw.
struct Seen {
  int calls = 0;
};

Seen* seen(void* user) { return static_cast<Seen*>(user); }

// A failed status carries no results.
void onVersion(char*, nelko_core_status status, unsigned int major, unsigned int minor, void* u) {
  require(status == 0 || (major == 0 && minor == 0), "version results with a failed status");
  ++seen(u)->calls;
}
void onLayout(char*, nelko_core_status status, unsigned int** l1, unsigned int** l2,
              unsigned int** l3, unsigned int** l4, unsigned int** l5, unsigned int** l6,
              unsigned int** l7, unsigned int** l8, unsigned int** l9, void* u) {
  for (unsigned int** list : {l1, l2, l3, l4, l5, l6, l7, l8, l9}) {
    require(status == 0 ? list != nullptr : list == nullptr, "layout lists and status disagree");
    listLength(list);
  }
  ++seen(u)->calls;
}
void onDone(char*, nelko_core_status, void* u) { ++seen(u)->calls; }
void onPoint(char*, nelko_core_status status, double pan, double tilt, void* u) {
  require(status == 0 || (pan == 0 && tilt == 0), "pan and tilt with a failed status");
  ++seen(u)->calls;
}
void onNum(char*, nelko_core_status status, unsigned int num, void* u) {
  require(status == 0 || num == 0, "num with a failed status");
  ++seen(u)->calls;
}
void onRoi(char*, nelko_core_status status, double a, double b, double c, double d, void* u) {
  require(status == 0 || (a == 0 && b == 0 && c == 0 && d == 0), "ROI with a failed status");
  ++seen(u)->calls;
}

template <typename Command>
typename Command::Callback callbackOf();
template <>
GetTargetVersion::Callback callbackOf<GetTargetVersion>() { return onVersion; }
template <>
GetStreamLayout::Callback callbackOf<GetStreamLayout>() { return onLayout; }
template <>
SetStreamLayout::Callback callbackOf<SetStreamLayout>() { return onDone; }
template <>
StreamPointToPanTilt::Callback callbackOf<StreamPointToPanTilt>() { return onPoint; }
template <>
GetNumRoi::Callback callbackOf<GetNumRoi>() { return onNum; }
template <>
GetRoi::Callback callbackOf<GetRoi>() { return onRoi; }
template <>
SetRoi::Callback callbackOf<SetRoi>() { return onDone; }

// A fresh request identifier in the library's form (36 characters).
std::string nextUuid() {
  static unsigned long long counter = 0;
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012llx", ++counter);
  return text;
}

struct Fixture {
  alignas(16) unsigned char dummyChannel[64] = {};
  IStream_layoutInitiator* object = nullptr;

  Fixture() {
    void* handle = nullptr;
    if (nelko_api_stream_layout_initiator_init(dummyChannel, nullptr, &handle, 0, "fuzz") != 0) {
      std::abort();
    }
    object = static_cast<IStream_layoutInitiator*>(handle);
  }
};

Fixture& fixture() {
  static Fixture* made = new Fixture();
  return *made;
}

// Hands the payload to the object as the core's I/O thread would; the router keeps a copy for a
// receive form to claim. What the interfaces library throws the trampoline would swallow.
void deliver(IStream_layoutInitiator& object, std::string const& uuid, std::string const& payload) {
  std::string first = "stream_layout";
  std::string interface_name = kInterfaceName;
  char* texts[4] = {first.data(), interface_name.data(), const_cast<char*>(uuid.c_str()),
                    const_cast<char*>(payload.c_str())};
  try {
    object.initiatorResponseCallback(&texts[0], &texts[1], &texts[2], &texts[3]);
  } catch (...) {
  }
}

// Strict: a pending request of Command completes with this response.
template <typename Command>
void completeStrictly(IStream_layoutInitiator& object, json::Object& response) {
  Seen calls;
  std::string uuid = nextUuid();
  auto& pending = object.registry<Command>();
  {
    std::lock_guard<std::mutex> lock(pending.mutex);
    pending.entries[uuid] = {callbackOf<Command>(), &calls};
  }
  object.subclassResponseDispatch(Command::kName, const_cast<char*>("stream_layout"),
                                  const_cast<char*>(uuid.c_str()), response);
  require(calls.calls <= 1, "a completion ran twice for one response");
  std::lock_guard<std::mutex> lock(pending.mutex);
  pending.entries.erase(uuid);
}

// Lenient: the response is delivered, then claimed by the command's receive form. On 0 the
// identifier is released by the call, otherwise it is still ours; lists written are ours.
void freeLists(unsigned int** (&lists)[9]) {
  for (auto& list : lists) {
    nelko_core_free_uint_array(list);
    list = nullptr;
  }
}

template <typename Receive>
void readLeniently(IStream_layoutInitiator& object, std::string const& payload, Receive receive) {
  std::string uuid = nextUuid();
  deliver(object, uuid, payload);
  char* owned = ::strdup(uuid.c_str());
  nelko_core_status status = receive(static_cast<void*>(&object), owned);
  if (status != NELKO_CORE_STATUS_NO_ERROR) std::free(owned);
}

void readAllLeniently(IStream_layoutInitiator& object, std::string const& payload) {
  unsigned int major = 0, minor = 0, num = 0;
  double a = 0, b = 0, c = 0, d = 0;
  readLeniently(object, payload, [&](void* h, char* uuid) {
    return nelko_api_stream_layout___get_target_version___receive(h, 0, "t", uuid, &major, &minor);
  });
  readLeniently(object, payload, [&](void* h, char* uuid) {
    unsigned int** lists[9] = {};
    nelko_core_status status = nelko_api_stream_layout_get_stream_layout_receive_with_timeout(
        h, "t", 0, uuid, &lists[0], &lists[1], &lists[2], &lists[3], &lists[4], &lists[5],
        &lists[6], &lists[7], &lists[8]);
    if (status == NELKO_CORE_STATUS_NO_ERROR) {
      for (auto* list : lists) require(list != nullptr, "a read layout lacks a list");
    }
    for (auto* list : lists) listLength(list);
    freeLists(lists);
    return status;
  });
  readLeniently(object, payload, [&](void* h, char* uuid) {
    return nelko_api_stream_layout_set_stream_layout_receive_with_timeout(h, "t", 0, uuid);
  });
  readLeniently(object, payload, [&](void* h, char* uuid) {
    return nelko_api_stream_layout_stream_point_to_pan_tilt_receive_with_timeout(h, "t", 0, uuid,
                                                                                 &a, &b);
  });
  readLeniently(object, payload, [&](void* h, char* uuid) {
    return nelko_api_stream_layout_get_num_roi_receive(h, 0, "t", uuid, &num);
  });
  readLeniently(object, payload, [&](void* h, char* uuid) {
    return nelko_api_stream_layout_get_roi_receive_with_timeout(h, "t", 0, uuid, &a, &b, &c, &d);
  });
  readLeniently(object, payload, [&](void* h, char* uuid) {
    return nelko_api_stream_layout_set_roi_receive(h, 0, "t", uuid);
  });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("NELKO_LOG_LEVEL", "0", 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0) return 0;
  unsigned const choices = data[0];
  std::string const payload(reinterpret_cast<char const*>(data + 1), size - 1);
  IStream_layoutInitiator& object = *fixture().object;

  // The asynchronous path as the interfaces library takes it: unknown sender, so the command
  // comes from the response itself. The copy it keeps is claimed again, so that every input
  // leaves the router as it found it.
  if (choices & 1) {
    readLeniently(object, payload, [](void* h, char* uuid) {
      return nelko_api_stream_layout_set_roi_receive(h, 0, "t", uuid);
    });
  }

  json::Object response;
  try {
    json::Read(response, payload);
  } catch (json::Exception const&) {
    readAllLeniently(object, payload);  // a text that does not parse must fail every read
    return 0;
  }
  // Strict reads never change the response: every completion sees the same object.
  json::Object const before = response;
  completeStrictly<GetTargetVersion>(object, response);
  completeStrictly<GetStreamLayout>(object, response);
  completeStrictly<SetStreamLayout>(object, response);
  completeStrictly<StreamPointToPanTilt>(object, response);
  completeStrictly<GetNumRoi>(object, response);
  completeStrictly<GetRoi>(object, response);
  completeStrictly<SetRoi>(object, response);
  require(json::Write(before) == json::Write(response), "a completion modified the response");
  // An unknown command name is ignored.
  object.subclassResponseDispatch(payload.c_str(), nullptr, nullptr, response);

  readAllLeniently(object, payload);
  return 0;
}
