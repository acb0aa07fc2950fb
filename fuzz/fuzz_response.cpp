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

std::size_t list_length(unsigned int** list) {
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
void on_version(char*, nelko_core_status status, unsigned int major, unsigned int minor, void* u) {
  require(status == 0 || (major == 0 && minor == 0), "version results with a failed status");
  ++seen(u)->calls;
}
void on_layout(char*, nelko_core_status status, unsigned int** l1, unsigned int** l2,
              unsigned int** l3, unsigned int** l4, unsigned int** l5, unsigned int** l6,
              unsigned int** l7, unsigned int** l8, unsigned int** l9, void* u) {
  for (unsigned int** list : {l1, l2, l3, l4, l5, l6, l7, l8, l9}) {
    require(status == 0 ? list != nullptr : list == nullptr, "layout lists and status disagree");
    list_length(list);
  }
  ++seen(u)->calls;
}
void on_done(char*, nelko_core_status, void* u) { ++seen(u)->calls; }
void on_point(char*, nelko_core_status status, double pan, double tilt, void* u) {
  require(status == 0 || (pan == 0 && tilt == 0), "pan and tilt with a failed status");
  ++seen(u)->calls;
}
void on_num(char*, nelko_core_status status, unsigned int num, void* u) {
  require(status == 0 || num == 0, "num with a failed status");
  ++seen(u)->calls;
}
void on_roi(char*, nelko_core_status status, double a, double b, double c, double d, void* u) {
  require(status == 0 || (a == 0 && b == 0 && c == 0 && d == 0), "ROI with a failed status");
  ++seen(u)->calls;
}

template <typename Command>
typename Command::Callback callback_of();
template <>
GetTargetVersion::Callback callback_of<GetTargetVersion>() { return on_version; }
template <>
GetStreamLayout::Callback callback_of<GetStreamLayout>() { return on_layout; }
template <>
SetStreamLayout::Callback callback_of<SetStreamLayout>() { return on_done; }
template <>
StreamPointToPanTilt::Callback callback_of<StreamPointToPanTilt>() { return on_point; }
template <>
GetNumRoi::Callback callback_of<GetNumRoi>() { return on_num; }
template <>
GetRoi::Callback callback_of<GetRoi>() { return on_roi; }
template <>
SetRoi::Callback callback_of<SetRoi>() { return on_done; }

// A fresh request identifier in the library's form (36 characters).
std::string next_uuid() {
  static unsigned long long counter = 0;
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012llx", ++counter);
  return text;
}

struct Fixture {
  alignas(16) unsigned char dummy_channel[64] = {};
  IStream_layoutInitiator* object = nullptr;

  Fixture() {
    void* handle = nullptr;
    if (nelko_api_stream_layout_initiator_init(dummy_channel, nullptr, &handle, 0, "fuzz") != 0) {
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
void complete_strictly(IStream_layoutInitiator& object, json::Object& response) {
  Seen calls;
  std::string uuid = next_uuid();
  auto& pending = object.registry<Command>();
  {
    std::lock_guard<std::mutex> lock(pending.mutex);
    pending.add(uuid, callback_of<Command>(), &calls);
  }
  object.subclassResponseDispatch(Command::kName, const_cast<char*>("stream_layout"),
                                  const_cast<char*>(uuid.c_str()), response);
  require(calls.calls <= 1, "a completion ran twice for one response");
  std::unique_lock<std::mutex> lock(pending.mutex);
  pending.withdraw(callback_of<Command>(), &calls, lock);
}

// Lenient: the response is delivered, then claimed by the command's receive form. On 0 the
// identifier is released by the call, otherwise it is still ours; lists written are ours.
void free_lists(unsigned int** (&lists)[9]) {
  for (auto& list : lists) {
    nelko_core_free_uint_array(list);
    list = nullptr;
  }
}

template <typename Receive>
void read_leniently(IStream_layoutInitiator& object, std::string const& payload, Receive receive) {
  std::string uuid = next_uuid();
  deliver(object, uuid, payload);
  char* owned = ::strdup(uuid.c_str());
  nelko_core_status status = receive(static_cast<void*>(&object), owned);
  if (status != NELKO_CORE_STATUS_NO_ERROR) std::free(owned);
}

void read_all_leniently(IStream_layoutInitiator& object, std::string const& payload) {
  unsigned int major = 0, minor = 0, num = 0;
  double a = 0, b = 0, c = 0, d = 0;
  read_leniently(object, payload, [&](void* h, char* uuid) {
    return nelko_api_stream_layout___get_target_version___receive(h, 0, "t", uuid, &major, &minor);
  });
  read_leniently(object, payload, [&](void* h, char* uuid) {
    unsigned int** lists[9] = {};
    nelko_core_status status = nelko_api_stream_layout_get_stream_layout_receive_with_timeout(
        h, "t", 0, uuid, &lists[0], &lists[1], &lists[2], &lists[3], &lists[4], &lists[5],
        &lists[6], &lists[7], &lists[8]);
    if (status == NELKO_CORE_STATUS_NO_ERROR) {
      for (auto* list : lists) require(list != nullptr, "a read layout lacks a list");
    }
    for (auto* list : lists) list_length(list);
    free_lists(lists);
    return status;
  });
  read_leniently(object, payload, [&](void* h, char* uuid) {
    return nelko_api_stream_layout_set_stream_layout_receive_with_timeout(h, "t", 0, uuid);
  });
  read_leniently(object, payload, [&](void* h, char* uuid) {
    return nelko_api_stream_layout_stream_point_to_pan_tilt_receive_with_timeout(h, "t", 0, uuid,
                                                                                 &a, &b);
  });
  read_leniently(object, payload, [&](void* h, char* uuid) {
    return nelko_api_stream_layout_get_num_roi_receive(h, 0, "t", uuid, &num);
  });
  read_leniently(object, payload, [&](void* h, char* uuid) {
    return nelko_api_stream_layout_get_roi_receive_with_timeout(h, "t", 0, uuid, &a, &b, &c, &d);
  });
  read_leniently(object, payload, [&](void* h, char* uuid) {
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
    read_leniently(object, payload, [](void* h, char* uuid) {
      return nelko_api_stream_layout_set_roi_receive(h, 0, "t", uuid);
    });
  }

  json::Object response;
  try {
    json::Read(response, payload);
  } catch (json::Exception const&) {
    read_all_leniently(object, payload);  // a text that does not parse must fail every read
    return 0;
  }
  // Strict reads never change the response: every completion sees the same object.
  json::Object const before = response;
  complete_strictly<GetTargetVersion>(object, response);
  complete_strictly<GetStreamLayout>(object, response);
  complete_strictly<SetStreamLayout>(object, response);
  complete_strictly<StreamPointToPanTilt>(object, response);
  complete_strictly<GetNumRoi>(object, response);
  complete_strictly<GetRoi>(object, response);
  complete_strictly<SetRoi>(object, response);
  require(json::Write(before) == json::Write(response), "a completion modified the response");
  // An unknown command name is ignored.
  object.subclassResponseDispatch(payload.c_str(), nullptr, nullptr, response);

  read_all_leniently(object, payload);
  return 0;
}
