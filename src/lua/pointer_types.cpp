#include "pointer_types.h"

#include <cstring>

namespace nelko::lua {
namespace {

// The runtime's structures are read and written by SWIG-generated code: same fields, same order.
static_assert(offsetof(TypeRecord, casts) == 3 * sizeof(void*));
static_assert(offsetof(TypeRecord, owns_client_data) == 5 * sizeof(void*));
static_assert(offsetof(CastEntry, prev) == 3 * sizeof(void*));
static_assert(offsetof(TypeTable, next) == 2 * sizeof(void*) &&
              sizeof(std::size_t) == sizeof(void*));
static_assert(offsetof(TypeTable, client_data) == 5 * sizeof(void*));
static_assert(offsetof(PointerRecord, ptr) == 2 * sizeof(void*) ||
              (sizeof(void*) == 4 && offsetof(PointerRecord, ptr) == 8));

char const kRegistryKey[] = "swig_runtime_data_type_pointer4";

TypeRecord own_records[kPointerTypeCount] = {
    {"_p_double", "double *", nullptr, nullptr, nullptr, 0},
    {"_p_f_p_char_enum_nelko_core_status_double_double_double_double_p_void__void",
     "nelko_api_stream_layout_get_roi_method_callback_func_ptr|"
     "void (*)(char *,enum nelko_core_status,double,double,double,double,void *)",
     nullptr, nullptr, nullptr, 0},
    {"_p_f_p_char_enum_nelko_core_status_double_double_p_void__void",
     "nelko_api_stream_layout_stream_point_to_pan_tilt_method_callback_func_ptr|"
     "void (*)(char *,enum nelko_core_status,double,double,void *)",
     nullptr, nullptr, nullptr, 0},
    {"_p_f_p_char_enum_nelko_core_status_p_p_unsigned_int_p_p_unsigned_int_p_p_unsigned_int_p_p_"
     "unsigned_int_p_p_unsigned_int_p_p_unsigned_int_p_p_unsigned_int_p_p_unsigned_int_p_p_"
     "unsigned_int_p_void__void",
     "nelko_api_stream_layout_get_stream_layout_method_callback_func_ptr|"
     "void (*)(char *,enum nelko_core_status,unsigned int **,unsigned int **,unsigned int **,"
     "unsigned int **,unsigned int **,unsigned int **,unsigned int **,unsigned int **,"
     "unsigned int **,void *)",
     nullptr, nullptr, nullptr, 0},
    {"_p_f_p_char_enum_nelko_core_status_p_void__void",
     "nelko_api_stream_layout_set_stream_layout_method_callback_func_ptr|"
     "nelko_api_stream_layout_set_roi_method_callback_func_ptr|"
     "void (*)(char *,enum nelko_core_status,void *)",
     nullptr, nullptr, nullptr, 0},
    {"_p_f_p_char_enum_nelko_core_status_unsigned_int_p_void__void",
     "nelko_api_stream_layout_get_num_roi_method_callback_func_ptr|"
     "void (*)(char *,enum nelko_core_status,unsigned int,void *)",
     nullptr, nullptr, nullptr, 0},
    {"_p_f_p_char_enum_nelko_core_status_unsigned_int_unsigned_int_p_void__void",
     "nelko_api_stream_layout___get_target_version___method_callback_func_ptr|"
     "void (*)(char *,enum nelko_core_status,unsigned int,unsigned int,void *)",
     nullptr, nullptr, nullptr, 0},
    {"_p_f_p_p_char_p_p_char_p_p_char_p_p_char_p_void__void",
     "void (*)(char **,char **,char **,char **,void *)|initiator_response_receive_callback",
     nullptr, nullptr, nullptr, 0},
    {"_p_f_p_p_char_p_p_char_p_p_char_p_void__void",
     "void (*)(char **,char **,char **,void *)|initiator_event_receive_callback|"
     "target_command_receive_callback",
     nullptr, nullptr, nullptr, 0},
    {"_p_int", "int *", nullptr, nullptr, nullptr, 0},
    {"_p_nelko_core_log_priority", "enum nelko_core_log_priority *|nelko_core_log_priority *",
     nullptr, nullptr, nullptr, 0},
    {"_p_nelko_core_settings_type", "enum nelko_core_settings_type *|nelko_core_settings_type *",
     nullptr, nullptr, nullptr, 0},
    {"_p_nelko_core_status", "enum nelko_core_status *|nelko_core_status *", nullptr, nullptr,
     nullptr, 0},
    {"_p_p_char", "char **", nullptr, nullptr, nullptr, 0},
    {"_p_p_double", "double **", nullptr, nullptr, nullptr, 0},
    {"_p_p_int", "int **", nullptr, nullptr, nullptr, 0},
    {"_p_p_p_char", "char ***", nullptr, nullptr, nullptr, 0},
    {"_p_p_p_double", "double ***", nullptr, nullptr, nullptr, 0},
    {"_p_p_p_int", "int ***", nullptr, nullptr, nullptr, 0},
    {"_p_p_p_unsigned_char", "unsigned char ***", nullptr, nullptr, nullptr, 0},
    {"_p_p_p_unsigned_int", "unsigned int ***", nullptr, nullptr, nullptr, 0},
    {"_p_p_unsigned_char", "unsigned char **", nullptr, nullptr, nullptr, 0},
    {"_p_p_unsigned_int", "unsigned int **", nullptr, nullptr, nullptr, 0},
    {"_p_p_void", "void **", nullptr, nullptr, nullptr, 0},
    {"_p_unsigned_char", "unsigned char *", nullptr, nullptr, nullptr, 0},
    {"_p_unsigned_int", "unsigned int *", nullptr, nullptr, nullptr, 0},
    {"_p_void", "void *", nullptr, nullptr, nullptr, 0},
};

// Each type accepts only itself: one entry, then the terminator with a null type.
CastEntry own_casts[kPointerTypeCount][2];
TypeRecord* own_record_list[kPointerTypeCount];
CastEntry* own_cast_list[kPointerTypeCount];
TypeRecord* slots[kPointerTypeCount + 1];

TypeTable table = {slots, kPointerTypeCount, nullptr, own_record_list, own_cast_list, nullptr};

// Binary search of one table by mangled name, byte order.
TypeRecord* find_in_table(TypeTable const* t, char const* name) {
  std::size_t low = 0, high = t->size;
  while (low < high) {
    std::size_t mid = low + (high - low) / 2;
    TypeRecord* candidate = t->types[mid];
    if (!candidate || !candidate->name) return nullptr;
    int order = std::strcmp(name, candidate->name);
    if (order == 0) return candidate;
    if (order < 0) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  return nullptr;
}

// Searches the ring from `first` up to, not including, `end`.
TypeRecord* find_on_ring(TypeTable* first, TypeTable const* end, char const* name) {
  TypeTable* t = first;
  do {
    if (TypeRecord* found = find_in_table(t, name)) return found;
    t = t->next;
  } while (t != end);
  return nullptr;
}

bool lists_cast(TypeRecord const* type, char const* name) {
  for (CastEntry const* c = type->casts; c; c = c->next) {
    if (std::strcmp(c->type->name, name) == 0) return true;
  }
  return false;
}

void push_front(TypeRecord* type, CastEntry* entry) {
  entry->prev = nullptr;
  entry->next = type->casts;
  if (type->casts) type->casts->prev = entry;
  type->casts = entry;
}

TypeTable* registered_table(lua_State* L) {
  lua_pushstring(L, kRegistryKey);
  lua_rawget(L, LUA_REGISTRYINDEX);
  TypeTable* found =
      lua_islightuserdata(L, -1) ? static_cast<TypeTable*>(lua_touserdata(L, -1)) : nullptr;
  lua_pop(L, 1);
  return found;
}

// Uses the equivalent record of a module already on the ring where there is one, so that both
// modules hand out and accept the same record.
void resolve_types() {
  bool alone = table.next == &table;
  for (int i = 0; i < kPointerTypeCount; ++i) {
    TypeRecord* own = own_record_list[i];
    TypeRecord* type = alone ? nullptr : find_on_ring(table.next, &table, own->name);
    if (!type) type = own;
    for (CastEntry* cast = own_cast_list[i]; cast->type; ++cast) {
      TypeRecord* elsewhere = alone ? nullptr : find_on_ring(table.next, &table, cast->type->name);
      if (elsewhere) {
        if (type != own && lists_cast(type, elsewhere->name)) continue;
        cast->type = elsewhere;
      }
      push_front(type, cast);
    }
    slots[i] = type;
  }
  slots[kPointerTypeCount] = nullptr;
}

bool on_table(TypeTable const* t, TypeRecord const* type) {
  for (std::size_t i = 0; i < t->size; ++i) {
    if (t->types[i] == type) return true;
  }
  return false;
}

// Whether `type` is a record in use by a module on the state's ring. Compares addresses only, so
// that an arbitrary value is never dereferenced.
bool is_known_record(lua_State* L, TypeRecord const* type) {
  if (!type) return false;
  if (type == slots[kVoidPtr]) return true;  // handles and request identifiers: most calls
  if (on_table(&table, type)) return true;
  TypeTable* start = registered_table(L);
  if (!start) start = &table;
  TypeTable const* t = start;
  do {
    if (t != &table && on_table(t, type)) return true;
    t = t->next;
  } while (t && t != start);
  return false;
}

}  // namespace

void share_type_table(lua_State* L) {
  bool first = table.next == nullptr;
  if (first) {
    for (int i = 0; i < kPointerTypeCount; ++i) {
      own_casts[i][0] = {&own_records[i], nullptr, nullptr, nullptr};
      own_casts[i][1] = {nullptr, nullptr, nullptr, nullptr};
      own_record_list[i] = &own_records[i];
      own_cast_list[i] = own_casts[i];
    }
    table.next = &table;
  }
  TypeTable* head = registered_table(L);
  if (!head) {
    lua_pushstring(L, kRegistryKey);
    lua_pushlightuserdata(L, &table);
    lua_rawset(L, LUA_REGISTRYINDEX);
  } else {
    TypeTable* t = head;
    do {
      if (t == &table) return;
      t = t->next;
    } while (t != head);
    table.next = head->next;
    head->next = &table;
  }
  if (first) resolve_types();
}

TypeRecord* type_record(PointerType type) {
  return slots[type];
}

void push_pointer(lua_State* L, void* ptr, PointerType type, int owned) {
  if (!ptr) {
    lua_pushnil(L);
    return;
  }
  auto* record = static_cast<PointerRecord*>(lua_newuserdata(L, sizeof(PointerRecord)));
  record->type = slots[type];
  record->owned = owned;
  record->ptr = ptr;
}

PointerRecord const* to_pointer_record(lua_State* L, int idx) {
  return to_pointer_record(L, idx, lua_touserdata(L, idx));
}

// A light userdata's length is 0, so only a full userdata's block is read.
PointerRecord const* to_pointer_record(lua_State* L, int idx, void* block) {
  if (!block || lua_objlen(L, idx) < sizeof(PointerRecord)) return nullptr;
  auto const* record = static_cast<PointerRecord const*>(block);
  return is_known_record(L, record->type) ? record : nullptr;
}

bool convert_pointer(lua_State* L, int idx, void* block, PointerType expected, void** out) {
  if (!block || lua_objlen(L, idx) < sizeof(PointerRecord)) return false;
  auto const& record = *static_cast<PointerRecord const*>(block);
  TypeRecord const* want = slots[expected];
  if (record.type == want) {
    *out = record.ptr;
    return true;
  }
  for (CastEntry const* c = want->casts; c; c = c->next) {
    if (c->type == record.type) {
      int new_memory = 0;
      *out = c->converter ? c->converter(record.ptr, &new_memory) : record.ptr;
      return true;
    }
  }
  return false;
}

char const* display_type(lua_State* L, int idx) {
  if (lua_isuserdata(L, idx)) {
    PointerRecord const* record = to_pointer_record(L, idx);
    if (record && record->type->display) return record->type->display;
    return "userdata (unknown type)";
  }
  return lua_typename(L, lua_type(L, idx));
}

}  // namespace nelko::lua
