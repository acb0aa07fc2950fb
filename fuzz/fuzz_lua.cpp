// The Lua binding's argument handling: a few calls per input of module functions, each under
// lua_pcall, with arguments of every kind (nil, booleans, numbers including NaN, infinities,
// huge and negative ones, numeric and other strings, tables flat, nested, holed and with
// metatables whose __index answers or raises, light userdata, foreign full userdata, functions,
// coroutines, and pointer userdata of the module's own types). A call may fail its checks or
// return any status; it must never crash, leak or hang.
//
// Pointer arguments get, besides wrong kinds, only objects a script could rightly pass there: a
// handle where a handle goes, a fresh object where the call destroys one. (A dangling or foreign
// pointer in an untyped slot is the script's undefined behaviour, as in C.) Arguments that would
// make a call wait are constrained: no blocking receive, time-outs of 0 to 3 ms, and array sizes
// of at most 64. Nothing listens in the private IPC directory, so every send fails at once.
// Log messages carry no '%': the text is the format of the core's printf-style log function.
#include <lua.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "nelko_api_stream_layout.h"
#include "nelko_core.h"
#include "pointer_types.h"
#include "scratch_directory.h"

extern "C" int luaopen_nelko_api_stream_layout(lua_State* L);

namespace {

using nelko::lua::PointerRecord;
using nelko::lua::TypeRecord;
using nelko::lua::TypeTable;

// ---- What each argument is for -------------------------------------------------------------
//   H handle (live)        D handle to destroy     U request identifier   A user data, any object
//   C IPC channel (live)   X channel to destroy    L log handle           Y log handle to destroy
//   S "void **" slot       N "unsigned int *"      B "unsigned char *"    Z "char **" to release
//   0-8 callback pointer of that pointer type (pointer_types.h numbering)
//   t text   F settings path   G configuration path   M log message   u unsigned   n array size
//   i int    w wait (0-3 ms)   r real   e enumeration   f flag   b flag, never true   T table
struct Signature {
  std::string name;
  std::string args;
};

std::vector<Signature> signatures() {
  std::vector<Signature> list;
  auto add = [&](std::string name, std::string args) { list.push_back({name, args}); };
  std::string const api = "nelko_api_stream_layout_";
  add(api + "initiator_init", "ALft");  // nil: a channel of its own
  add(api + "initiator_deinit", "D");
  add(api + "get_initiator_version", "A");
  add(api + "free_uuid", "U");
  struct Command {
    char const* prefix;
    char const* inputs;
    char callback;
    bool timed;
  };
  std::string const lists(9, 'T');
  Command const commands[] = {
      {"__get_target_version___", "", '6', false}, {"get_stream_layout_", "u", '3', true},
      {"set_stream_layout_", "uTTTTTTTTT", '4', true}, {"stream_point_to_pan_tilt_", "urr", '2', true},
      {"get_num_roi_", "", '5', true},           {"get_roi_", "uu", '1', true},
      {"set_roi_", "uurrrr", '4', true},
  };
  for (Command const& c : commands) {
    std::string prefix = api + c.prefix;
    add(prefix + "send", std::string("Ht") + c.inputs);
    if (c.timed) add(prefix + "send_with_timeout", std::string("Hti") + c.inputs);
    add(prefix + "non_blocking_send", std::string("Ht") + c.inputs);
    add(prefix + "receive", "HbtU");
    if (c.timed) add(prefix + "receive_with_timeout", "HtwU");
    add(prefix + "send_async", std::string("Ht") + c.inputs + c.callback + "A");
    add(prefix + "cancel_async", std::string("H") + c.callback + "A");
  }
  std::string const core = "nelko_core_";
  add(core + "status_to_string", "e");
  add(core + "init", "");
  add(core + "deinit", "");
  add(core + "ipc_initiator_init", "LtS");
  add(core + "ipc_target_init", "LtttS");
  add(core + "ipc_deinit", "X");
  add(core + "ipc_initiator_command_send", "Ctttt");
  add(core + "ipc_initiator_response_receive", "Cw");
  add(core + "ipc_initiator_response_receive_callback", "C7A");
  add(core + "ipc_initiator_event_receive_callback", "C8A");
  add(core + "ipc_initiator_event_subscribe", "Ct");
  add(core + "ipc_initiator_event_unsubscribe", "Ct");
  add(core + "ipc_target_command_receive", "Cu");
  add(core + "ipc_target_command_receive_callback", "C8A");
  add(core + "ipc_target_response_send", "Cttt");
  add(core + "ipc_target_event_send", "Ct");
  add(core + "logging_init", "tS");
  add(core + "logging_deinit", "Y");
  add(core + "logging_is_priority_active", "Le");
  add(core + "logging_log", "LeM");
  struct Kind {
    char const* name;
    char const* setter_argument;
  };
  Kind const kinds[] = {{"string", "t"},       {"json", "t"},        {"int", "i"},
                        {"bool", "f"},         {"double", "r"},      {"arrayofstring", "T"},
                        {"arrayofint", "T"},   {"arrayofbool", "T"}, {"arrayofdouble", "T"}};
  std::string const settings = core + "settings_";
  add(settings + "init", "F");
  add(settings + "deinit", "");
  for (char const* getter : {"get_default_", "get_"}) {
    for (Kind const& k : kinds) add(settings + getter + k.name + "_value", "t");
  }
  for (char const* setter : {"set_default_", "set_"}) {
    for (Kind const& k : kinds) add(settings + setter + k.name + "_value", std::string("t") + k.setter_argument);
  }
  for (Kind const& k : kinds) add(settings + "copy_" + k.name + "_key", "tt");
  add(settings + "get_all_keys", "");
  add(settings + "get_keys_starting_with", "t");
  add(settings + "get_type", "t");
  add(settings + "does_key_exist", "t");
  add(settings + "delete_key", "t");
  add(settings + "get_and_set_version", "Nu");
  add(settings + "get_versions", "NN");
  add(settings + "is_new_file", "B");
  add(core + "debug_settings_dump", "");
  add(core + "debug_get_setting_path", "");
  std::string const configuration = core + "configuration_";
  add(configuration + "init", "G");
  add(configuration + "deinit", "");
  for (Kind const& k : kinds) add(configuration + "get_" + k.name + "_value", "t");
  add(configuration + "get_all_keys", "");
  add(configuration + "get_type", "t");
  add(configuration + "does_key_exist", "t");
  for (char const* kind : {"bool", "uint", "int", "string", "double"}) {
    add(core + "alloc_" + kind + "_array", "n");
  }
  for (char const* kind : {"bool", "uint", "int", "double"}) add(core + "free_" + kind + "_array", "T");
  add(core + "free_string_array", "Z");
  return list;
}

// ---- The input as a stream of choices ---------------------------------------------------------
class Choices {
 public:
  Choices(std::uint8_t const* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  unsigned byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  unsigned below(unsigned n) { return n == 0 ? 0 : byte() % n; }
  double raw_double() {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | byte();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  std::string bytes(unsigned max) {
    unsigned n = below(max + 1);
    std::string text;
    for (unsigned i = 0; i < n && !empty(); ++i) text.push_back(static_cast<char>(byte()));
    return text;
  }

 private:
  std::uint8_t const* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// ---- Process-wide objects ----------------------------------------------------------------------
std::string g_dir;
void* g_channel = nullptr;
void* g_log = nullptr;
void* g_slot = nullptr;
unsigned int g_uint_cell = 0;
unsigned char g_flag_cell = 0;
char g_light[16];

// The handle that handle arguments get. Its pending asynchronous requests are withdrawn after
// every input: their callbacks and user pointers come from the small sets below.
void* g_handle = nullptr;

struct Fresh {
  char role;
  void* ptr;
};

// The record of a mangled type name on the state's ring of type tables, as another SWIG module
// of the state would find it.
TypeRecord* record_of(lua_State* L, char const* mangled) {
  lua_pushstring(L, "swig_runtime_data_type_pointer4");
  lua_rawget(L, LUA_REGISTRYINDEX);
  auto* first = static_cast<TypeTable*>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  if (first == nullptr) std::abort();
  TypeTable* table = first;
  do {
    for (std::size_t i = 0; i < table->size; ++i) {
      if (table->types[i] && std::strcmp(table->types[i]->name, mangled) == 0) return table->types[i];
    }
    table = table->next;
  } while (table != first);
  std::abort();
}

char const* const kMangled[] = {
    "_p_double",
    "_p_f_p_char_enum_nelko_core_status_double_double_double_double_p_void__void",
    "_p_f_p_char_enum_nelko_core_status_double_double_p_void__void",
    "_p_f_p_char_enum_nelko_core_status_p_p_unsigned_int_p_p_unsigned_int_p_p_unsigned_int_p_p_"
    "unsigned_int_p_p_unsigned_int_p_p_unsigned_int_p_p_unsigned_int_p_p_unsigned_int_p_p_"
    "unsigned_int_p_void__void",
    "_p_f_p_char_enum_nelko_core_status_p_void__void",
    "_p_f_p_char_enum_nelko_core_status_unsigned_int_p_void__void",
    "_p_f_p_char_enum_nelko_core_status_unsigned_int_unsigned_int_p_void__void",
    "_p_f_p_p_char_p_p_char_p_p_char_p_p_char_p_void__void",
    "_p_f_p_p_char_p_p_char_p_p_char_p_void__void",
};

void push_pointer(lua_State* L, char const* mangled, void* ptr) {
  TypeRecord* type = record_of(L, mangled);
  auto* record = static_cast<PointerRecord*>(lua_newuserdata(L, sizeof(PointerRecord)));
  *record = PointerRecord{type, 0, ptr};
}

// Completion functions of every callback type; they only look.
void on_roi(char*, nelko_core_status, double, double, double, double, void*) {}
void on_point(char*, nelko_core_status, double, double, void*) {}
void on_layout(char*, nelko_core_status, unsigned**, unsigned**, unsigned**, unsigned**, unsigned**,
               unsigned**, unsigned**, unsigned**, unsigned**, void*) {}
void on_done(char*, nelko_core_status, void*) {}
void on_num(char*, nelko_core_status, unsigned, void*) {}
void on_version(char*, nelko_core_status, unsigned, unsigned, void*) {}
void on_response(char**, char**, char**, char**, void*) {}
void on_event(char**, char**, char**, void*) {}

void* callback_for(int type) {
  switch (type) {
    case 1: return reinterpret_cast<void*>(&on_roi);
    case 2: return reinterpret_cast<void*>(&on_point);
    case 3: return reinterpret_cast<void*>(&on_layout);
    case 4: return reinterpret_cast<void*>(&on_done);
    case 5: return reinterpret_cast<void*>(&on_num);
    case 6: return reinterpret_cast<void*>(&on_version);
    case 7: return reinterpret_cast<void*>(&on_response);
    default: return reinterpret_cast<void*>(&on_event);
  }
}

int raise_error(lua_State* L) { return luaL_error(L, "raised by __index"); }
int answer_seven(lua_State* L) {
  lua_pushnumber(L, 7);
  return 1;
}
int plain_function(lua_State*) { return 0; }

inline unsigned low_32_bits(double n) {
  if (!std::isfinite(n)) return 0;
  double t = std::fmod(std::trunc(n), 4294967296.0);
  if (t < 0) t += 4294967296.0;
  return static_cast<unsigned>(t);
}

double special_number(Choices& in) {
  static double const kSpecial[] = {0.0,
                                    -0.0,
                                    1.0,
                                    -1.0,
                                    0.5,
                                    -0.5,
                                    2147483647.0,
                                    2147483648.0,
                                    -2147483648.0,
                                    -2147483649.0,
                                    4294967295.0,
                                    4294967296.0,
                                    4294967297.5,
                                    9007199254740993.0,
                                    1e300,
                                    -1e300,
                                    std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity(),
                                    std::numeric_limits<double>::quiet_NaN(),
                                    std::numeric_limits<double>::denorm_min(),
                                    100000.0,
                                    80.0};
  unsigned pick = in.below(sizeof kSpecial / sizeof kSpecial[0] + 2);
  if (pick < sizeof kSpecial / sizeof kSpecial[0]) return kSpecial[pick];
  if (pick == sizeof kSpecial / sizeof kSpecial[0]) return static_cast<double>(in.byte());
  return in.raw_double();
}

void push_number(lua_State* L, Choices& in) {
  if (in.below(8) == 0) {
    static char const* const kNumeric[] = {"12", " 7 ", "0x10", "1e999", "-3.5", "nan", "1e-400"};
    lua_pushstring(L, kNumeric[in.below(7)]);
  } else {
    lua_pushnumber(L, special_number(in));
  }
}

void push_text(lua_State* L, Choices& in, bool printf_safe) {
  std::string text = in.bytes(24);
  if (printf_safe) {
    for (char& c : text) {
      if (c == '%') c = '_';
    }
  }
  lua_pushlstring(L, text.data(), text.size());
}

void push_table(lua_State* L, Choices& in, int depth);

void push_scalar(lua_State* L, Choices& in, int depth) {
  switch (in.below(6)) {
    case 0: lua_pushnumber(L, special_number(in)); break;
    case 1: lua_pushnumber(L, in.byte()); break;
    case 2: push_text(L, in, false); break;
    case 3: lua_pushboolean(L, in.byte() & 1); break;
    case 4:
      if (depth < 2) {
        push_table(L, in, depth + 1);
      } else {
        lua_pushnil(L);
      }
      break;
    default: lua_pushnumber(L, -static_cast<double>(in.byte())); break;
  }
}

// Mostly proper sequences of one kind; also holes, extra keys, nested tables and metatables.
void push_table(lua_State* L, Choices& in, int depth) {
  unsigned shape = in.byte();
  int n = static_cast<int>(in.below(9));
  lua_createtable(L, n, 0);
  int kind = static_cast<int>(shape % 4);  // numbers, strings, booleans, mixed
  for (int i = 1; i <= n; ++i) {
    switch (kind) {
      case 0: lua_pushnumber(L, in.below(4) == 0 ? special_number(in) : in.byte()); break;
      case 1: push_text(L, in, false); break;
      case 2: lua_pushboolean(L, in.byte() & 1); break;
      default: push_scalar(L, in, depth); break;
    }
    lua_rawseti(L, -2, (shape & 0x10) && i == n ? n + 2 : i);  // a hole at the end
  }
  if (shape & 0x20) {  // a key that is not an index
    lua_pushstring(L, "key");
    lua_pushnumber(L, 1);
    lua_rawset(L, -3);
  }
  if (shape & 0x40) {
    lua_createtable(L, 0, 1);
    lua_pushstring(L, "__index");
    switch (in.below(3)) {
      case 0: lua_pushcfunction(L, raise_error); break;
      case 1: lua_pushcfunction(L, answer_seven); break;
      default:
        lua_createtable(L, 2, 0);
        lua_pushnumber(L, 3);
        lua_rawseti(L, -2, 1);
        break;
    }
    lua_rawset(L, -3);
    lua_setmetatable(L, -2);
  }
}

// A value that no pointer check accepts as an object of the module (for a typed slot, also a
// pointer userdata of another type).
void push_wrong_kind(lua_State* L, Choices& in, bool nil_allowed, bool typed) {
  switch (in.below(10)) {
    case 0:
      if (nil_allowed) {
        lua_pushnil(L);
      } else {
        lua_pushboolean(L, 0);
      }
      break;
    case 1: lua_pushboolean(L, in.byte() & 1); break;
    case 2: push_number(L, in); break;
    case 3: push_text(L, in, false); break;
    case 4: push_table(L, in, 0); break;
    case 5: lua_pushlightuserdata(L, g_light); break;
    case 6: {
      // Foreign full userdata: its bytes are never read as a record.
      std::string bytes = in.bytes(32);
      void* block = lua_newuserdata(L, bytes.size());
      if (!bytes.empty()) std::memcpy(block, bytes.data(), bytes.size());
      break;
    }
    case 7: lua_pushcfunction(L, plain_function); break;
    case 8: lua_newthread(L); break;
    default:
      if (typed) {
        push_pointer(L, in.byte() & 1 ? "_p_void" : "_p_p_unsigned_int", g_light);
      } else {
        lua_pushnumber(L, 0);
      }
      break;
  }
}

// ---- One call ------------------------------------------------------------------------------------
struct Call {
  std::vector<Fresh> fresh;  // objects made for this call, released unless the call consumed them
  std::vector<void*> users;  // user pointers passed to a registration
};

void* new_handle() {
  void* handle = nullptr;
  nelko_api_stream_layout_initiator_init(g_channel, g_log, &handle, 0, "fuzz");
  return handle;
}

void* fresh_uuid() { return ::strdup("00000000-0000-4000-8000-000000000000"); }

void push_argument(lua_State* L, Choices& in, char role, Call& call) {
  bool const wrong = in.below(7) == 0;
  switch (role) {
    case 'H':
      if (wrong) return push_wrong_kind(L, in, false, false);
      return push_pointer(L, "_p_void", g_handle);
    case 'D': {
      if (wrong) return push_wrong_kind(L, in, true, false);
      if (in.below(4) == 0) return lua_pushnil(L);
      void* handle = new_handle();
      call.fresh.push_back({'D', handle});
      return push_pointer(L, "_p_void", handle);
    }
    case 'U': {
      if (wrong) return push_wrong_kind(L, in, true, false);
      if (in.below(4) == 0) return lua_pushnil(L);
      void* uuid = fresh_uuid();
      call.fresh.push_back({'U', uuid});
      return push_pointer(L, "_p_void", uuid);
    }
    case 'A':
    case 'C':
    case 'L': {
      if (wrong) return push_wrong_kind(L, in, true, false);
      void* const objects[] = {nullptr, g_channel, g_log, g_handle, g_light};
      void* chosen = objects[in.below(5)];
      if (role == 'C' && chosen == nullptr) chosen = g_channel;
      if (role == 'A') call.users.push_back(chosen);
      if (chosen == nullptr) return lua_pushnil(L);
      return push_pointer(L, "_p_void", chosen);
    }
    case 'X':
    case 'Y': {
      if (wrong) return push_wrong_kind(L, in, true, false);
      unsigned pick = in.below(4);
      if (pick == 0) return lua_pushnil(L);
      if (pick == 1) return push_pointer(L, "_p_void", role == 'X' ? g_log : g_channel);
      void* made = nullptr;
      if (role == 'X') {
        nelko_core_ipc_initiator_init(nullptr, "fuzz-fresh", &made);
      } else {
        nelko_core_logging_init("fuzz-fresh", &made);
      }
      call.fresh.push_back({role, made});
      return push_pointer(L, "_p_void", made);
    }
    case 'S':
      if (wrong) return push_wrong_kind(L, in, true, true);
      g_slot = nullptr;
      return push_pointer(L, "_p_p_void", &g_slot);
    case 'N':
      if (wrong) return push_wrong_kind(L, in, true, true);
      return push_pointer(L, "_p_unsigned_int", &g_uint_cell);
    case 'B':
      if (wrong) return push_wrong_kind(L, in, true, true);
      return push_pointer(L, "_p_unsigned_char", &g_flag_cell);
    case 'Z': {
      if (wrong) return push_wrong_kind(L, in, true, true);
      unsigned n = in.below(4);
      char** array = nelko_core_alloc_string_array(n);
      for (unsigned i = 0; i < n; ++i) array[i] = ::strdup("s");
      call.fresh.push_back({'Z', array});
      return push_pointer(L, "_p_p_char", array);
    }
    case 't':
      if (wrong) return push_wrong_kind(L, in, true, false);
      if (in.below(6) == 0) return push_number(L, in);
      return push_text(L, in, false);
    case 'M':
      if (wrong) return push_wrong_kind(L, in, true, false);
      return push_text(L, in, true);
    case 'F':
    case 'G': {
      if (wrong) return push_wrong_kind(L, in, true, false);
      char const* const names[] = {"/a.json", "/b.json", "/config.json", "/broken.json",
                                   "/missing/x.json", ""};
      unsigned pick = in.below(7);
      if (pick == 6) return lua_pushstring(L, "");
      return lua_pushstring(L, (g_dir + names[pick]).c_str());
    }
    case 'u':
    case 'i':
    case 'r':
    case 'e':
      if (wrong) return push_wrong_kind(L, in, true, false);
      return push_number(L, in);
    case 'n': {
      if (wrong) {
        push_wrong_kind(L, in, true, false);
        // A wrong kind may still be a number or a numeric string, which is a size all the same:
        // kept within the limit, or an allocation of gigabytes ends the run as out of memory.
        if (lua_isnumber(L, -1) && !(lua_tonumber(L, -1) <= 64)) {
          lua_pop(L, 1);
          lua_pushnumber(L, 64);
        }
        return;
      }
      double n = special_number(in);
      if (n >= 0 && low_32_bits(n) > 64) n = std::fmod(low_32_bits(n), 65.0);
      return lua_pushnumber(L, n);
    }
    case 'w': {
      if (wrong) {
        // A number (or numeric text) is no wrong kind here but a time-out, and a negative one
        // waits without limit.
        push_wrong_kind(L, in, true, false);
        if (lua_isnumber(L, -1)) {
          lua_pop(L, 1);
          lua_pushnumber(L, 0);
        }
        return;
      }
      static double const kWaits[] = {0.0, 1.0, 2.9, 3.0, -0.0, 4294967296.0, 4294967298.5,
                                      std::numeric_limits<double>::quiet_NaN(), 0.5};
      if (in.below(5) == 0) return lua_pushstring(L, "2");
      return lua_pushnumber(L, kWaits[in.below(9)]);
    }
    case 'f':
      if (wrong) return push_wrong_kind(L, in, true, false);
      return lua_pushboolean(L, in.byte() & 1);
    case 'b':
      if (wrong) {
        push_wrong_kind(L, in, true, false);
        if (lua_isboolean(L, -1) && lua_toboolean(L, -1)) {
          lua_pop(L, 1);
          lua_pushboolean(L, 0);
        }
        return;
      }
      return lua_pushboolean(L, 0);
    case 'T':
      if (wrong) return push_wrong_kind(L, in, true, false);
      return push_table(L, in, 0);
    default:
      if (role >= '0' && role <= '8') {
        if (wrong) return push_wrong_kind(L, in, true, true);
        if (in.below(8) == 0) return lua_pushnil(L);
        return push_pointer(L, kMangled[role - '0'], callback_for(role - '0'));
      }
      std::abort();
  }
}

void* pointer_result(lua_State* L, int index) {
  if (!lua_isuserdata(L, index) || lua_islightuserdata(L, index)) return nullptr;
  return static_cast<PointerRecord*>(lua_touserdata(L, index))->ptr;
}

bool ends_with(std::string const& text, char const* end) {
  std::size_t n = std::strlen(end);
  return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
}

// Releases what the call made or handed out, and withdraws its registrations.
void settle(lua_State* L, Signature const& signature, Call& call, bool called, int base) {
  std::string const& name = signature.name;
  int const results = lua_gettop(L) - base;
  int const status =
      called && results > 0 && lua_isnumber(L, base + 1) ? static_cast<int>(lua_tonumber(L, base + 1)) : -1;

  for (Fresh const& fresh : call.fresh) {
    bool consumed = false;
    switch (fresh.role) {
      case 'D':
      case 'Z': consumed = called; break;
      case 'U': consumed = called && (name == "nelko_api_stream_layout_free_uuid" || status == 0); break;
      case 'X':
      case 'Y': consumed = called && status == 0; break;
    }
    if (consumed) continue;
    switch (fresh.role) {
      case 'D': nelko_api_stream_layout_initiator_deinit(fresh.ptr); break;
      case 'U': std::free(fresh.ptr); break;
      case 'X': nelko_core_ipc_deinit(fresh.ptr); break;
      case 'Y': nelko_core_logging_deinit(fresh.ptr); break;
      case 'Z': nelko_core_free_string_array(static_cast<char**>(fresh.ptr)); break;
    }
  }
  if (g_slot != nullptr) {
    if (name == "nelko_core_logging_init") {
      nelko_core_logging_deinit(g_slot);
    } else {
      nelko_core_ipc_deinit(g_slot);
    }
    g_slot = nullptr;
  }
  if (!called) return;
  if (name == "nelko_api_stream_layout_initiator_init" && results >= 2) {
    nelko_api_stream_layout_initiator_deinit(pointer_result(L, base + 2));
  } else if (ends_with(name, "_non_blocking_send") && results >= 2) {
    std::free(pointer_result(L, base + 2));
  } else if (name.rfind("nelko_core_alloc_", 0) == 0 && results >= 1) {
    void* array = pointer_result(L, base + 1);
    if (name == "nelko_core_alloc_bool_array") nelko_core_free_bool_array(static_cast<unsigned char**>(array));
    if (name == "nelko_core_alloc_uint_array") nelko_core_free_uint_array(static_cast<unsigned**>(array));
    if (name == "nelko_core_alloc_int_array") nelko_core_free_int_array(static_cast<int**>(array));
    if (name == "nelko_core_alloc_double_array") nelko_core_free_double_array(static_cast<double**>(array));
  } else if (name == "nelko_core_ipc_initiator_response_receive_callback") {
    for (void* user : call.users) nelko_core_ipc_initiator_response_receive_callback(g_channel, nullptr, user);
  } else if (name == "nelko_core_ipc_initiator_event_receive_callback") {
    for (void* user : call.users) nelko_core_ipc_initiator_event_receive_callback(g_channel, nullptr, user);
  }
}

// Every (callback, user pointer) pair that an input can leave pending on g_handle.
void withdraw_pending() {
  void* const users[] = {nullptr, g_channel, g_log, g_handle, g_light};
  for (void* user : users) {
    nelko_api_stream_layout___get_target_version___cancel_async(g_handle, on_version, user);
    nelko_api_stream_layout___get_target_version___cancel_async(g_handle, nullptr, user);
    nelko_api_stream_layout_get_stream_layout_cancel_async(g_handle, on_layout, user);
    nelko_api_stream_layout_get_stream_layout_cancel_async(g_handle, nullptr, user);
    nelko_api_stream_layout_set_stream_layout_cancel_async(g_handle, on_done, user);
    nelko_api_stream_layout_set_stream_layout_cancel_async(g_handle, nullptr, user);
    nelko_api_stream_layout_stream_point_to_pan_tilt_cancel_async(g_handle, on_point, user);
    nelko_api_stream_layout_stream_point_to_pan_tilt_cancel_async(g_handle, nullptr, user);
    nelko_api_stream_layout_get_num_roi_cancel_async(g_handle, on_num, user);
    nelko_api_stream_layout_get_num_roi_cancel_async(g_handle, nullptr, user);
    nelko_api_stream_layout_get_roi_cancel_async(g_handle, on_roi, user);
    nelko_api_stream_layout_get_roi_cancel_async(g_handle, nullptr, user);
    nelko_api_stream_layout_set_roi_cancel_async(g_handle, on_done, user);
    nelko_api_stream_layout_set_roi_cancel_async(g_handle, nullptr, user);
  }
}

std::vector<Signature> const& all_signatures() {
  static std::vector<Signature> const list = signatures();
  return list;
}

lua_State* open_module() {
  lua_State* L = luaL_newstate();
  if (L == nullptr) std::abort();
  lua_pushcfunction(L, luaopen_nelko_api_stream_layout);
  lua_call(L, 0, 1);
  lua_setglobal(L, "sl");
  return L;
}

void write_file(std::string const& path, char const* text) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) std::abort();
  std::fputs(text, file);
  std::fclose(file);
}

// The state every input starts from: no settings or configuration open, no stray files.
void reset_files() {
  nelko_core_settings_deinit();
  nelko_core_configuration_deinit();
  for (char const* name : {"/a.json", "/a.json.tmp", "/b.json", "/b.json.tmp"}) {
    ::unlink((g_dir + name).c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("NELKO_LOG_LEVEL", "0", 0);
  static nelko::test::ScratchDirectory const scratch(
      "nelko-fuzz-lua", nelko::test::ScratchDirectory::Where::kMemoryIfPossible);
  g_dir = scratch.path();
  ::mkdir((g_dir + "/ipc").c_str(), 0700);
  ::setenv("NELKO_IPC_DIR", (g_dir + "/ipc").c_str(), 1);
  write_file(g_dir + "/config.json", "{\"n\":3,\"s\":\"x\",\"b\":true,\"d\":1.5,\"ai\":[1,2],"
                                     "\"as\":[\"a\"],\"ab\":[false],\"ad\":[0.5],\"j\":{\"k\":null}}");
  write_file(g_dir + "/broken.json", "{\"n\":");
  if (nelko_core_ipc_initiator_init(nullptr, "fuzz", &g_channel) != 0) std::abort();
  if (nelko_core_logging_init("fuzz", &g_log) != 0) std::abort();
  g_handle = new_handle();

  // Every module function has a signature here, and every signature a function.
  lua_State* L = open_module();
  lua_getglobal(L, "sl");
  std::size_t functions = 0;
  lua_pushnil(L);
  while (lua_next(L, -2)) {
    if (lua_isfunction(L, -1)) ++functions;
    lua_pop(L, 1);
  }
  for (Signature const& signature : all_signatures()) {
    lua_getfield(L, -1, signature.name.c_str());
    if (!lua_isfunction(L, -1)) {
      std::fprintf(stderr, "no module function %s\n", signature.name.c_str());
      std::abort();
    }
    lua_pop(L, 1);
  }
  if (all_signatures().size() != 152 || functions != 152) {
    std::fprintf(stderr, "%zu signatures, %zu functions\n", all_signatures().size(), functions);
    std::abort();
  }
  lua_close(L);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  Choices in(data, size);
  lua_State* L = open_module();
  auto const& list = all_signatures();
  unsigned const calls = 1 + in.below(4);
  for (unsigned c = 0; c < calls && !in.empty(); ++c) {
    Signature const& signature = list[(in.byte() << 8 | in.byte()) % list.size()];
    int base = lua_gettop(L);
    lua_getglobal(L, "sl");
    lua_getfield(L, -1, signature.name.c_str());
    lua_remove(L, -2);
    Call call;
    int count = static_cast<int>(signature.args.size());
    bool const miscounted = in.below(12) == 0;
    if (miscounted) count = static_cast<int>(in.below(static_cast<unsigned>(count) + 3));
    for (int i = 0; i < count; ++i) {
      char role = i < static_cast<int>(signature.args.size()) ? signature.args[i] : 't';
      push_argument(L, in, role, call);
    }
    bool const called = lua_pcall(L, count, LUA_MULTRET, 0) == 0;
    settle(L, signature, call, called, base);
    lua_settop(L, base);
  }
  lua_close(L);
  withdraw_pending();
  reset_files();
  return 0;
}
