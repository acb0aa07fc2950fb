-- The Lua-side signature of a sample of the module's functions, restated independently of the
-- binding: each family of functions once, and every function whose signature is unusual (flags,
-- pointers to fill, several results or none). Argument kinds, one letter per argument:
--   h untyped pointer   p typed pointer   t text   u unsigned   i int   r real
--   f flag (boolean)    e enumeration     T table
local api = "nelko_api_stream_layout_"
local core = "nelko_core_"
local lists = string.rep("T", 9)

local signatures = {
  -- name, arguments, number of results
  { api .. "initiator_init", "hhft", 2 },
  { api .. "get_initiator_version", "h", 3 },
  { api .. "free_uuid", "h", 0 },
  { api .. "__get_target_version___receive", "hfth", 3 },
  { api .. "get_stream_layout_send", "htu", 10 },
  { api .. "set_stream_layout_send_async", "htu" .. lists .. "ph", 1 },
  { api .. "stream_point_to_pan_tilt_send_with_timeout", "htiurr", 3 },
  { api .. "get_roi_receive_with_timeout", "htih", 5 },
  { api .. "set_roi_non_blocking_send", "htuurrrr", 2 },
  { api .. "get_num_roi_cancel_async", "hph", 1 },
  { core .. "status_to_string", "e", 1 },
  { core .. "init", "", 1 },
  { core .. "ipc_target_init", "htttp", 1 },
  { core .. "ipc_initiator_response_receive", "hi", 5 },
  { core .. "ipc_target_command_receive", "hu", 4 },
  { core .. "logging_is_priority_active", "he", 2 },
  { core .. "settings_set_bool_value", "tf", 1 },
  { core .. "settings_get_default_json_value", "t", 2 },
  { core .. "settings_get_arrayofdouble_value", "t", 3 },
  { core .. "settings_get_type", "t", 2 },
  { core .. "settings_get_and_set_version", "pu", 1 },
  { core .. "settings_get_versions", "pp", 1 },
  { core .. "debug_settings_dump", "", 0 },
  { core .. "configuration_get_arrayofstring_value", "t", 3 },
  { core .. "alloc_double_array", "u", 1 },
  { core .. "free_bool_array", "T", 0 },
  { core .. "free_string_array", "p", 0 },
}
for i, s in ipairs(signatures) do
  signatures[i] = { name = s[1], args = s[2], results = s[3] }
end
return signatures
