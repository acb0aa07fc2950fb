-- The Lua-side signature of every module function, restated independently of the binding:
-- argument kinds, one letter per argument, and the number of results.
--   h untyped pointer   p typed pointer   t text   u unsigned   i int   r real
--   f flag (boolean)    e enumeration     T table
local signatures = {}

local function add(name, args, results)
  signatures[#signatures + 1] = { name = name, args = args, results = results }
end

local lists = string.rep("T", 9)
local api = "nelko_api_stream_layout_"

add(api .. "initiator_init", "hhft", 2)
add(api .. "initiator_deinit", "h", 1)
add(api .. "get_initiator_version", "h", 3)
add(api .. "free_uuid", "h", 0)

-- Per command: inputs P, the number of outputs R, and whether it has the _with_timeout forms.
local commands = {
  { "__get_target_version___", "", 2, false },
  { "get_stream_layout_", "u", 9, true },
  { "set_stream_layout_", "u" .. lists, 0, true },
  { "stream_point_to_pan_tilt_", "urr", 2, true },
  { "get_num_roi_", "", 1, true },
  { "get_roi_", "uu", 4, true },
  { "set_roi_", "uurrrr", 0, true },
}
for _, c in ipairs(commands) do
  local prefix, inputs, outputs, timed = api .. c[1], c[2], c[3], c[4]
  add(prefix .. "send", "ht" .. inputs, 1 + outputs)
  if timed then add(prefix .. "send_with_timeout", "hti" .. inputs, 1 + outputs) end
  add(prefix .. "non_blocking_send", "ht" .. inputs, 2)
  add(prefix .. "receive", "hfth", 1 + outputs)
  if timed then add(prefix .. "receive_with_timeout", "htih", 1 + outputs) end
  add(prefix .. "send_async", "ht" .. inputs .. "ph", 1)
  add(prefix .. "cancel_async", "hph", 1)
end

local core = "nelko_core_"
add(core .. "status_to_string", "e", 1)
add(core .. "init", "", 1)
add(core .. "deinit", "", 1)

add(core .. "ipc_initiator_init", "htp", 1)
add(core .. "ipc_target_init", "htttp", 1)
add(core .. "ipc_deinit", "h", 1)
add(core .. "ipc_initiator_command_send", "htttt", 1)
add(core .. "ipc_initiator_response_receive", "hi", 5)
add(core .. "ipc_initiator_response_receive_callback", "hph", 1)
add(core .. "ipc_initiator_event_receive_callback", "hph", 1)
add(core .. "ipc_initiator_event_subscribe", "ht", 1)
add(core .. "ipc_initiator_event_unsubscribe", "ht", 1)
add(core .. "ipc_target_command_receive", "hu", 4)
add(core .. "ipc_target_command_receive_callback", "hph", 1)
add(core .. "ipc_target_response_send", "httt", 1)
add(core .. "ipc_target_event_send", "ht", 1)

add(core .. "logging_init", "tp", 1)
add(core .. "logging_deinit", "h", 1)
add(core .. "logging_is_priority_active", "he", 2)
add(core .. "logging_log", "het", 1)

local value_kinds = {
  -- kind, argument of the setters, number of results of the getters after the status
  { "string", "t", 1 }, { "json", "t", 1 }, { "int", "i", 1 }, { "bool", "f", 1 },
  { "double", "r", 1 }, { "arrayofstring", "T", 2 }, { "arrayofint", "T", 2 },
  { "arrayofbool", "T", 2 }, { "arrayofdouble", "T", 2 },
}
local settings = core .. "settings_"
add(settings .. "init", "t", 1)
add(settings .. "deinit", "", 1)
for _, getter in ipairs({ "get_default_", "get_" }) do
  for _, k in ipairs(value_kinds) do add(settings .. getter .. k[1] .. "_value", "t", 1 + k[3]) end
end
for _, setter in ipairs({ "set_default_", "set_" }) do
  for _, k in ipairs(value_kinds) do add(settings .. setter .. k[1] .. "_value", "t" .. k[2], 1) end
end
for _, k in ipairs(value_kinds) do add(settings .. "copy_" .. k[1] .. "_key", "tt", 1) end
add(settings .. "get_all_keys", "", 1)
add(settings .. "get_keys_starting_with", "t", 1)
add(settings .. "get_type", "t", 2)
add(settings .. "does_key_exist", "t", 1)
add(settings .. "delete_key", "t", 1)
add(settings .. "get_and_set_version", "pu", 1)
add(settings .. "get_versions", "pp", 1)
add(settings .. "is_new_file", "p", 1)

add(core .. "debug_settings_dump", "", 0)
add(core .. "debug_get_setting_path", "", 1)

local configuration = core .. "configuration_"
add(configuration .. "init", "t", 1)
add(configuration .. "deinit", "", 1)
for _, k in ipairs(value_kinds) do add(configuration .. "get_" .. k[1] .. "_value", "t", 1 + k[3]) end
add(configuration .. "get_all_keys", "", 1)
add(configuration .. "get_type", "t", 2)
add(configuration .. "does_key_exist", "t", 1)

for _, kind in ipairs({ "bool", "uint", "int", "string", "double" }) do
  add(core .. "alloc_" .. kind .. "_array", "u", 1)
end
for _, kind in ipairs({ "bool", "uint", "int", "double" }) do
  add(core .. "free_" .. kind .. "_array", "T", 0)
end
add(core .. "free_string_array", "p", 0)

return signatures
