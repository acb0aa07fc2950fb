// call_cost_bench: what one call costs inside the process, without IPC.
//
//  - For each command, a request sent (_non_blocking_send) and its response received
//    (_receive): nanoseconds and allocations per pair, next to a floor that does the same text
//    work by hand (snprintf the request text; strtod every number of the response text).
//  - The Lua wrapper: nelko_api_stream_layout_get_initiator_version called through the module
//    from a Lua loop, next to the same C function called from a C loop and to a bare C function
//    of the same shape called from the same Lua loop (Lua's own cost of a call).
//
// This program defines the core library's initiator send, the installation of a channel's
// response sink and its look-up itself. The dynamic linker resolves the libraries' calls to them (an
// executable's definitions come first), so a request runs all of the library's and the
// interfaces library's code (identifier, request object, JSON text, response routing, JSON
// reading, results) but touches no socket: the send hands the simulated target's response
// straight to the channel's response router, as the core's I/O thread would.
//
// Allocations are counted by this program's malloc, calloc and realloc (operator new goes
// through malloc). Figures are per call; the harness's own work is subtracted.
#include <benchmark/benchmark.h>
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nelko_api_stream_layout.h"
#include "nelko_core.h"
#include "nelko_core_channel_events.h"

// ---- Counting allocations ------------------------------------------------------------------

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);

void* malloc(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}
}

// ---- A core that answers at once -----------------------------------------------------------

namespace {

constexpr char const* kTarget = "stream_layout";

struct Loopback {
  std::shared_ptr<nelko::core::ResponseSink> owner;  // the router of the channel
  nelko::core::ResponseSink* sink = nullptr;
  std::string const* response = nullptr;  // what answers the next request
} g_loopback;

}  // namespace

std::shared_ptr<nelko::core::ResponseSink> nelko::core::install_response_sink(
    void* ipc_handle, MakeResponseSink make) {
  if (!g_loopback.owner) {
    g_loopback.owner = make(ipc_handle);
    g_loopback.sink = g_loopback.owner.get();
  }
  return g_loopback.owner;
}

nelko::core::ResponseSink* nelko::core::response_sink(void*) { return g_loopback.sink; }

// Answers every request at once, on the sending thread, through the channel's router: a sync
// request's response waits there for its receive.
nelko_core_status nelko::core::send_command(void*, std::string_view target,
                                            std::string_view interface_name, std::string_view uuid,
                                            std::string_view, CommandRecord*) {
  if (g_loopback.sink == nullptr || g_loopback.response == nullptr) {
    return NELKO_CORE_STATUS_IPC_FAILED;
  }
  // Without a connection: the answer counts as that of a command outstanding.
  if (g_loopback.sink->on_response(target, interface_name, uuid, *g_loopback.response, nullptr,
                                   true) ==
      nelko::core::ResponseSink::Route::to_callbacks) {
    g_loopback.sink->after_callbacks(uuid);
  }
  return NELKO_CORE_STATUS_NO_ERROR;
}

extern "C" {

// The same for a caller of the core's C function.
nelko_core_status nelko_core_ipc_initiator_command_send(void* ipc_handle, char const* target,
                                                        char const* interface_name,
                                                        char const* uuid, char const* payload) {
  return nelko::core::send_command(ipc_handle, target, interface_name, uuid, payload);
}

}  // extern "C"

namespace {

// ---- The commands --------------------------------------------------------------------------

// A quad layout: four facets, each list four values long.
constexpr char const* kLayoutResponse =
    "{\"status\":0,\"source_upper_left_x_millipercent\":[0,50000,0,50000],"
    "\"source_upper_left_y_millipercent\":[0,0,50000,50000],"
    "\"source_width_millipercent\":[50000,50000,50000,50000],"
    "\"source_height_millipercent\":[50000,50000,50000,50000],\"destination_type\":[1,2,3,4],"
    "\"destination_upper_left_x_millipercent\":[0,50000,0,50000],"
    "\"destination_upper_left_y_millipercent\":[0,0,50000,50000],"
    "\"destination_width_millipercent\":[50000,50000,50000,50000],"
    "\"destination_height_millipercent\":[50000,50000,50000,50000]}";

// The nine layout lists of a set_stream_layout request.
struct LayoutLists {
  unsigned int** lists[9] = {};
  LayoutLists() {
    unsigned int const values[9][4] = {{0, 50000, 0, 50000},         {0, 0, 50000, 50000},
                                       {50000, 50000, 50000, 50000}, {50000, 50000, 50000, 50000},
                                       {1, 2, 3, 4},                 {0, 50000, 0, 50000},
                                       {0, 0, 50000, 50000},         {50000, 50000, 50000, 50000},
                                       {50000, 50000, 50000, 50000}};
    for (int i = 0; i < 9; ++i) {
      lists[i] = nelko_core_alloc_uint_array(4);
      for (int j = 0; j < 4; ++j) *lists[i][j] = values[i][j];
    }
  }
  ~LayoutLists() {
    for (auto* list : lists) nelko_core_free_uint_array(list);
  }
};

struct Command {
  char const* name;
  std::string response;
  // _non_blocking_send with typical inputs.
  std::function<nelko_core_status(void* handle, void** uuid)> build;
  // _receive polling (time-out 0); releases what it got. `uuid` is the library's on success.
  std::function<nelko_core_status(void* handle, void* uuid)> read;
  // The request text formatted by hand.
  std::function<int(char* out, std::size_t size)> floor_build;
};

int format_layout_request(char* out, std::size_t size, LayoutLists const& layout) {
  static char const* const kKeys[9] = {
      "source_upper_left_x_millipercent",      "source_upper_left_y_millipercent",
      "source_width_millipercent",             "source_height_millipercent",
      "destination_type",                      "destination_upper_left_x_millipercent",
      "destination_upper_left_y_millipercent", "destination_width_millipercent",
      "destination_height_millipercent"};
  int used = std::snprintf(out, size, "{\"command\":\"Set_stream_layout\",\"stream_index\":%u", 1u);
  for (int i = 0; i < 9; ++i) {
    used += std::snprintf(out + used, size - static_cast<std::size_t>(used), ",\"%s\":[", kKeys[i]);
    for (int j = 0; j < 4; ++j) {
      used += std::snprintf(out + used, size - static_cast<std::size_t>(used), j ? ",%u" : "%u",
                            *layout.lists[i][j]);
    }
    used += std::snprintf(out + used, size - static_cast<std::size_t>(used), "]");
  }
  return used + std::snprintf(out + used, size - static_cast<std::size_t>(used), "}");
}

void free_layout(unsigned int** (&lists)[9]) {
  for (auto*& list : lists) {
    nelko_core_free_uint_array(list);
    list = nullptr;
  }
}

std::vector<Command> commands(LayoutLists const& layout) {
  std::vector<Command> all;
  all.push_back({"__get_target_version__", "{\"status\":0,\"target_major\":0,\"target_minor\":9}",
                 [](void* h, void** uuid) {
                   return nelko_api_stream_layout___get_target_version___non_blocking_send(
                       h, kTarget, uuid);
                 },
                 [](void* h, void* uuid) {
                   unsigned int major, minor;
                   return nelko_api_stream_layout___get_target_version___receive(
                       h, 0, kTarget, uuid, &major, &minor);
                 },
                 [](char* out, std::size_t size) {
                   return std::snprintf(out, size,
                                        "{\"command\":\"__get_target_version__\","
                                        "\"initiator_major\":%u,\"initiator_minor\":%u}",
                                        0u, 9u);
                 }});
  all.push_back({"Get_stream_layout", kLayoutResponse,
                 [](void* h, void** uuid) {
                   return nelko_api_stream_layout_get_stream_layout_non_blocking_send(h, kTarget,
                                                                                      uuid, 1);
                 },
                 [](void* h, void* uuid) {
                   unsigned int** l[9] = {};
                   nelko_core_status status =
                       nelko_api_stream_layout_get_stream_layout_receive_with_timeout(
                           h, kTarget, 0, uuid, &l[0], &l[1], &l[2], &l[3], &l[4], &l[5], &l[6],
                           &l[7], &l[8]);
                   free_layout(l);
                   return status;
                 },
                 [](char* out, std::size_t size) {
                   return std::snprintf(out, size,
                                        "{\"command\":\"Get_stream_layout\",\"stream_index\":%u}",
                                        1u);
                 }});
  all.push_back({"Set_stream_layout", "{\"status\":0}",
                 [&layout](void* h, void** uuid) {
                   auto const& l = layout.lists;
                   return nelko_api_stream_layout_set_stream_layout_non_blocking_send(
                       h, kTarget, uuid, 1, l[0], l[1], l[2], l[3], l[4], l[5], l[6], l[7], l[8]);
                 },
                 [](void* h, void* uuid) {
                   return nelko_api_stream_layout_set_stream_layout_receive_with_timeout(
                       h, kTarget, 0, uuid);
                 },
                 [&layout](char* out, std::size_t size) {
                   return format_layout_request(out, size, layout);
                 }});
  all.push_back({"Stream_point_to_pan_tilt", "{\"status\":0,\"pan\":12.5,\"tilt\":-3.75}",
                 [](void* h, void** uuid) {
                   return nelko_api_stream_layout_stream_point_to_pan_tilt_non_blocking_send(
                       h, kTarget, uuid, 0, 25000.0, 75000.0);
                 },
                 [](void* h, void* uuid) {
                   double pan, tilt;
                   return nelko_api_stream_layout_stream_point_to_pan_tilt_receive_with_timeout(
                       h, kTarget, 0, uuid, &pan, &tilt);
                 },
                 [](char* out, std::size_t size) {
                   return std::snprintf(out, size,
                                        "{\"command\":\"Stream_point_to_pan_tilt\","
                                        "\"stream_index\":%u,\"x\":%.17g,\"y\":%.17g}",
                                        0u, 25000.0, 75000.0);
                 }});
  all.push_back({"Get_num_roi", "{\"status\":0,\"num\":4}",
                 [](void* h, void** uuid) {
                   return nelko_api_stream_layout_get_num_roi_non_blocking_send(h, kTarget, uuid);
                 },
                 [](void* h, void* uuid) {
                   unsigned int num;
                   return nelko_api_stream_layout_get_num_roi_receive_with_timeout(h, kTarget, 0,
                                                                                   uuid, &num);
                 },
                 [](char* out, std::size_t size) {
                   return std::snprintf(out, size, "{\"command\":\"Get_num_roi\"}");
                 }});
  all.push_back({"Get_roi", "{\"status\":0,\"pan\":10.5,\"tilt\":-3.25,\"roll\":0.0,\"vfov\":60.0}",
                 [](void* h, void** uuid) {
                   return nelko_api_stream_layout_get_roi_non_blocking_send(h, kTarget, uuid, 0, 1);
                 },
                 [](void* h, void* uuid) {
                   double pan, tilt, roll, vfov;
                   return nelko_api_stream_layout_get_roi_receive_with_timeout(
                       h, kTarget, 0, uuid, &pan, &tilt, &roll, &vfov);
                 },
                 [](char* out, std::size_t size) {
                   return std::snprintf(out, size,
                                        "{\"command\":\"Get_roi\",\"roi_index\":%u,\"roi_set\":%u}",
                                        0u, 1u);
                 }});
  all.push_back({"Set_roi", "{\"status\":0}",
                 [](void* h, void** uuid) {
                   return nelko_api_stream_layout_set_roi_non_blocking_send(h, kTarget, uuid, 0, 0,
                                                                            10.5, -3.25, 0.0, 60.0);
                 },
                 [](void* h, void* uuid) {
                   return nelko_api_stream_layout_set_roi_receive_with_timeout(h, kTarget, 0, uuid);
                 },
                 [](char* out, std::size_t size) {
                   return std::snprintf(out, size,
                                        "{\"command\":\"Set_roi\",\"roi_index\":%u,\"roi_set\":%u,"
                                        "\"pan\":%.17g,\"tilt\":%.17g,\"roll\":%.17g,\"vfov\":%.17g}",
                                        0u, 0u, 10.5, -3.25, 0.0, 60.0);
                 }});
  return all;
}

// Every number of a response text, read with strtod: the least that reading it can cost.
int floor_read(std::string const& text, double* values, int capacity) {
  int count = 0;
  char const* at = text.c_str();
  while (*at != '\0' && count < capacity) {
    if (*at == ':' || *at == '[' || *at == ',') {
      char* end = nullptr;
      double value = std::strtod(at + 1, &end);
      if (end != at + 1) {
        values[count++] = value;
        at = end;
        continue;
      }
    }
    ++at;
  }
  return count;
}

void fail(benchmark::State& state, char const* what, nelko_core_status status) {
  state.SkipWithError((std::string(what) + " failed with status " + std::to_string(status)).c_str());
}

// Allocations per call over the loop, less `harness` of the harness's own per call.
void count_allocations(benchmark::State& state, long before, long harness) {
  long const made = g_allocations.load(std::memory_order_relaxed) - before;
  state.counters["allocs"] = static_cast<double>(made) / static_cast<double>(state.iterations()) -
                             static_cast<double>(harness);
}

// ---- Lua -----------------------------------------------------------------------------------

// A C function shaped like the wrapper (a handle in; status, major, minor out) that does
// nothing: what a call from Lua into C costs by itself.
int bare_version(lua_State* lua) {
  lua_pushnumber(lua, 0);
  lua_pushnumber(lua, 0);
  lua_pushnumber(lua, 9);
  return 3;
}

constexpr char const* kLuaLoops = R"lua(
  package.cpath = ...
  local sl = require "nelko_api_stream_layout"
  local status, handle = sl.nelko_api_stream_layout_initiator_init(nil, nil, false, "bench")
  assert(status == 0, "initiator_init failed: " .. tostring(status))
  local version = sl.nelko_api_stream_layout_get_initiator_version
  local bare = bare_version
  function module_loop(n)
    for _ = 1, n do version(handle) end
  end
  function bare_loop(n)
    for _ = 1, n do bare(handle) end
  end
  function close_handle()
    sl.nelko_api_stream_layout_initiator_deinit(handle)
  end
)lua";

struct LuaBench {
  lua_State* lua = nullptr;
  bool ready = false;
  std::string error;

  LuaBench() {
    lua = luaL_newstate();
    luaL_openlibs(lua);
    lua_register(lua, "bare_version", bare_version);
    if (luaL_loadstring(lua, kLuaLoops) != 0) {
      error = lua_tostring(lua, -1);
      return;
    }
    lua_pushstring(lua, NELKO_LUA_MODULE_DIR "/?.so");
    if (lua_pcall(lua, 1, 0, 0) != 0) {
      error = lua_tostring(lua, -1);
      return;
    }
    ready = true;
  }
  ~LuaBench() {
    if (ready) call("close_handle", 0);
    lua_close(lua);
  }
  void call(char const* function, int count) {
    lua_getglobal(lua, function);
    lua_pushinteger(lua, count);
    lua_call(lua, 1, 0);
  }
};

// ---- The summary ---------------------------------------------------------------------------

// Keeps every run's time per call and counters for the table printed at the end; prints the
// usual per-benchmark lines too unless `quiet`.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  explicit SummaryReporter(bool quiet) : quiet_(quiet) {}
  bool ReportContext(Context const& context) override {
    return quiet_ || ConsoleReporter::ReportContext(context);
  }
  struct Figure {
    double ns;
    double allocations;
  };
  void ReportRuns(std::vector<Run> const& runs) override {
    for (Run const& run : runs) {
      if (run.error_occurred) continue;
      auto allocations = run.counters.find("allocs");
      figures_[run.benchmark_name()] = {
          run.GetAdjustedRealTime(),
          allocations == run.counters.end() ? 0.0 : static_cast<double>(allocations->second)};
    }
    if (!quiet_) ConsoleReporter::ReportRuns(runs);
  }
  Figure const* find(std::string const& name) const {
    auto found = figures_.find(name);
    return found == figures_.end() ? nullptr : &found->second;
  }

 private:
  bool quiet_;
  std::map<std::string, Figure> figures_;
};

// Prints the tables; returns how many commands had no figure (their benchmark failed).
int print_summary(SummaryReporter const& summary, std::vector<Command> const& all) {
  int failed = 0;
  std::printf("\n== Cost per request inside the process (no IPC): send and receive\n");
  std::printf("  %-26s %9s %7s %9s %6s\n", "command", "ns", "allocs", "floor ns", "ratio");
  for (Command const& command : all) {
    auto const* round = summary.find(std::string("round/") + command.name);
    auto const* floor = summary.find(std::string("floor/") + command.name);
    if (round == nullptr || floor == nullptr) {
      std::printf("  %-26s failed\n", command.name);
      ++failed;
      continue;
    }
    std::printf("  %-26s %9.0f %7.1f %9.0f %6.1f\n", command.name, round->ns, round->allocations,
                floor->ns, round->ns / floor->ns);
  }
  std::printf("  (floor: the same request text formatted with snprintf and every number of the\n"
              "   response text read with strtod)\n");
  auto const* direct = summary.find("version/c_direct");
  auto const* bare = summary.find("version/lua_bare_c_function");
  auto const* module = summary.find("version/lua_module");
  if (direct != nullptr && bare != nullptr && module != nullptr) {
    std::printf("\n== Lua wrapper: nelko_api_stream_layout_get_initiator_version per call\n");
    std::printf("  %-40s %8.1f ns\n", "C function called from C", direct->ns);
    std::printf("  %-40s %8.1f ns\n", "bare C function called from Lua", bare->ns);
    std::printf("  %-40s %8.1f ns   %.1f allocations\n", "module function called from Lua",
                module->ns, module->allocations);
    std::printf("  %-40s %8.1f ns   (%.1fx the C call)\n", "wrapper overhead (module - bare)",
                module->ns - bare->ns, module->ns / direct->ns);
  }
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // --summary: only the tables at the end.
  bool const quiet = argc > 1 && std::strcmp(argv[1], "--summary") == 0;
  int ipc_stand_in = 0;  // a borrowed channel that only the functions above ever see
  void* handle = nullptr;
  if (nelko_api_stream_layout_initiator_init(&ipc_stand_in, nullptr, &handle, 0, "bench") !=
      NELKO_CORE_STATUS_NO_ERROR) {
    std::fprintf(stderr, "initiator_init failed\n");
    return 1;
  }
  LayoutLists layout;
  std::vector<Command> const all = commands(layout);

  for (Command const& command : all) {
    benchmark::RegisterBenchmark(
        (std::string("round/") + command.name).c_str(), [&command, handle](benchmark::State& state) {
          g_loopback.response = &command.response;
          long const before = g_allocations.load(std::memory_order_relaxed);
          for (auto _ : state) {
            void* uuid = nullptr;
            nelko_core_status status = command.build(handle, &uuid);
            if (status != NELKO_CORE_STATUS_NO_ERROR) {
              g_loopback.response = nullptr;
              return fail(state, "send", status);
            }
            status = command.read(handle, uuid);  // releases the identifier on success
            if (status != NELKO_CORE_STATUS_NO_ERROR) {
              nelko_api_stream_layout_free_uuid(uuid);
              g_loopback.response = nullptr;
              return fail(state, "receive", status);
            }
          }
          count_allocations(state, before, 0);
          g_loopback.response = nullptr;
        });
    benchmark::RegisterBenchmark(
        (std::string("floor/") + command.name).c_str(), [&command](benchmark::State& state) {
          char text[2048];
          double values[64];
          for (auto _ : state) {
            benchmark::DoNotOptimize(command.floor_build(text, sizeof text));
            benchmark::DoNotOptimize(floor_read(command.response, values, 64));
            benchmark::ClobberMemory();
          }
        });
  }

  benchmark::RegisterBenchmark("version/c_direct", [handle](benchmark::State& state) {
    unsigned int major, minor;
    for (auto _ : state) {
      benchmark::DoNotOptimize(nelko_api_stream_layout_get_initiator_version(handle, &major, &minor));
      benchmark::ClobberMemory();
    }
  });
  LuaBench lua;
  if (!lua.ready) {
    std::fprintf(stderr, "the Lua module did not load: %s\n", lua.error.c_str());
  } else {
    constexpr int kBatch = 1000;
    auto lua_loop = [&lua](char const* function) {
      return [&lua, function](benchmark::State& state) {
        long const before = g_allocations.load(std::memory_order_relaxed);
        while (state.KeepRunningBatch(kBatch)) lua.call(function, kBatch);
        count_allocations(state, before, 0);
      };
    };
    benchmark::RegisterBenchmark("version/lua_bare_c_function", lua_loop("bare_loop"));
    benchmark::RegisterBenchmark("version/lua_module", lua_loop("module_loop"));
  }

  SummaryReporter summary(quiet);
  benchmark::RunSpecifiedBenchmarks(&summary);
  int const failed = print_summary(summary, all);
  benchmark::Shutdown();
  nelko_api_stream_layout_initiator_deinit(handle);
  return failed == 0 ? 0 : 1;
}
