local support = require "support"
local signatures = require "wrapper_signatures"

local m = require "nelko_api_stream_layout"
local raises = support.raises

local function pack(...) return { n = select("#", ...), ... } end

-- Harmless values of each argument kind; texts name a file in a directory that does not exist,
-- so that the settings and configuration functions open nothing.
local function arguments_for(kinds)
  local values = { t = "/nonexistent/lua-suite", u = 0, i = 0, r = 1.5, f = false, e = 7, T = {} }
  local args = { n = #kinds }
  for i = 1, #kinds do args[i] = values[kinds:sub(i, i)] end
  return args
end

-- The arity check is generated alike for every wrapper; a sample of them is enough.
describe("the sampled wrappers", function()
  for _, s in ipairs(signatures) do
    local n = #s.args
    it(s.name .. " takes exactly " .. n .. " arguments", function()
      local args = arguments_for(s.args .. "h")
      local message = "Error in %s expected %d..%d args, got %d"
      raises(message:format(s.name, n, n, n + 1), m[s.name], unpack(args, 1, n + 1))
      if n > 0 then raises(message:format(s.name, n, n, n - 1), m[s.name], unpack(args, 1, n - 1)) end
    end)

    if s.name:find("^nelko_core_") then
      it(s.name .. " returns " .. s.results .. " values", function()
        local args = arguments_for(s.args)
        -- a capacity that cannot be allocated keeps the alloc functions from leaking
        if s.name:find("^nelko_core_alloc_") then args[1] = 4294967295 end
        assert.are.equal(s.results, (support.results(m[s.name](unpack(args, 1, args.n)))))
      end)
    end
  end
end)

describe("the module and its argument kinds", function()
  local handle
  local nine = function() return {}, {}, {}, {}, {}, {}, {}, {}, {} end

  setup(function()
    local status
    status, handle = m.nelko_api_stream_layout_initiator_init(nil, nil, false, "lua-module")
    assert.are.equal(0, status)
  end)
  teardown(function() m.nelko_api_stream_layout_initiator_deinit(handle) end)

  it("is what require returns and the global holds: 152 functions and 89 numbers", function()
    assert.are.equal(m, nelko_api_stream_layout)
    local count = { ["function"] = 0, number = 0 }
    for _, v in pairs(m) do count[type(v)] = (count[type(v)] or 0) + 1 end
    assert.are.same({ ["function"] = 152, number = 89 }, count)
  end)

  it("gives each constant of a family its own value", function()
    local families = { "^NELKO_CORE_LOG_PRIORITY_", "^NELKO_CORE_SETTING_TYPE_",
                       "^NELKO_CORE_STATUS_", "^kRoi", "^kStreamLayoutFacet" }
    local seen, named = {}, 0
    for name, value in pairs(m) do
      for _, family in ipairs(families) do
        if type(value) == "number" and name:find(family) then
          local key = family .. value
          assert(not seen[key], name .. " has the value of " .. tostring(seen[key]))
          seen[key], named = name, named + 1
        end
      end
    end
    assert.are.equal(89, named)
  end)

  it("opened again is a new table that knows the pointers made and released before", function()
    local _, id = m.nelko_api_stream_layout_get_num_roi_non_blocking_send(handle, "nobody")
    m.nelko_api_stream_layout_free_uuid(id)
    local open = assert(package.loadlib(support.module_path(), "luaopen_nelko_api_stream_layout"))
    local again = open()
    assert.are_not.equal(m, again)
    assert.are.equal(again, nelko_api_stream_layout)
    assert.are.same({ 0, 0, 9 }, { again.nelko_api_stream_layout_get_initiator_version(handle) })
    raises("Error in nelko_core_ipc_initiator_init (arg 3), expected 'void **' got 'void *'",
           again.nelko_core_ipc_initiator_init, nil, "x", handle)
    raises("Error in nelko_api_stream_layout_free_uuid (arg 1), request identifier already released",
           again.nelko_api_stream_layout_free_uuid, id)
    nelko_api_stream_layout = m
  end)

  it("convert numbers as the 32-bit device does", function()
    assert.are.same({ false }, { m.nelko_core_settings_does_key_exist(5) })  -- text from a number
    assert.is_nil(m.nelko_core_alloc_uint_array("4294967295"))               -- numeric string
    assert.is_nil(m.nelko_core_alloc_uint_array(2 ^ 33 - 1))                 -- the low 32 bits
    assert.are.equal("NELKO_CORE_STATUS_IPC_FAILED", m.nelko_core_status_to_string(4.9))
    assert.are.equal("NELKO_CORE_STATUS_IPC_FAILED", m.nelko_core_status_to_string(2 ^ 32 + 4))
    assert.are.equal("NELKO_CORE_STATUS_UNKNOWN", m.nelko_core_status_to_string(-1))
    assert.are.equal("NELKO_CORE_STATUS_NO_ERROR", m.nelko_core_status_to_string(0))
  end)

  it("refuse negative unsigned numbers and NaN with their own message", function()
    raises("number must not be negative", m.nelko_core_alloc_uint_array, -1)
    raises("number must not be negative", m.nelko_core_alloc_uint_array, 0 / 0)
    raises("number must not be negative", m.nelko_api_stream_layout_get_roi_send, handle, "x", -1, 0)
  end)

  it("name the expected type and the one given", function()
    local set_type = "'nelko_api_stream_layout_set_stream_layout_method_callback_func_ptr|" ..
                     "nelko_api_stream_layout_set_roi_method_callback_func_ptr|" ..
                     "void (*)(char *,enum nelko_core_status,void *)'"
    local cases = {
      { "char const *' got 'table", "nelko_core_settings_does_key_exist", 1, pack({}) },
      { "char const *' got 'boolean", "nelko_core_settings_does_key_exist", 1, pack(true) },
      { "unsigned int' got 'string", "nelko_core_alloc_uint_array", 1, pack("five") },
      { "nelko_core_log_priority' got 'string", "nelko_core_logging_log", 2, pack(nil, "x", "t") },
      { "double' got 'nil", "nelko_api_stream_layout_set_roi_send", 5,
        pack(handle, "x", 0, 0, nil, 0, 0, 0) },
      -- flags are tested in the second pass, after every first-pass test
      { "unsigned char' got 'number", "nelko_core_settings_set_bool_value", 2, pack("k", 1) },
      -- the position is the Lua argument's, not the C parameter's (an out-parameter comes first)
      { "unsigned char' got 'number", "nelko_api_stream_layout_initiator_init", 3,
        pack(nil, nil, 1, "x") },
      { "void *' got 'string", "nelko_core_ipc_deinit", 1, pack("handle") },
      -- typed pointers: the C type in the first pass, the display string in the second
      { "void **' got 'table", "nelko_core_ipc_initiator_init", 3, pack(nil, "x", {}) },
      { "void **' got 'void *", "nelko_core_ipc_initiator_init", 3, pack(nil, "x", handle) },
      { "nelko_api_stream_layout_get_num_roi_method_callback_func_ptr' got 'function",
        "nelko_api_stream_layout_get_num_roi_send_async", 3, pack(handle, "x", print, nil) },
      { set_type:sub(2) .. " got 'void *", "nelko_api_stream_layout_set_roi_cancel_async", 2,
        pack(handle, handle, nil) },
      { "unsigned char *' got 'userdata (unknown type)", "nelko_core_settings_is_new_file", 1,
        pack(io.stdout) },
      { "table' got 'number", "nelko_core_settings_set_arrayofint_value", 2, pack("k", 5) },
      -- tables are converted at their place; a later argument can still fail
      { set_type:sub(2) .. " got 'void *", "nelko_api_stream_layout_set_stream_layout_send_async",
        13, pack(handle, "x", 0, {}, {}, {}, {}, {}, {}, {}, {}, {}, handle, nil) },
    }
    for _, c in ipairs(cases) do
      raises(("Error in %s (arg %d), expected '%s'"):format(c[2], c[3], c[1]), m[c[2]],
             unpack(c[4], 1, c[4].n))
    end
  end)

  it("refuse a userdata that is not a pointer userdata without reading it", function()
    local message = "Error in nelko_core_ipc_deinit, expected a void* at argument number 1\n"
    raises(message, m.nelko_core_ipc_deinit, io.stdout)
    raises(message, m.nelko_core_ipc_deinit, debug.getregistry().swig_runtime_data_type_pointer4)
  end)

  it("take nil for pointers and pass a table that cannot be converted as null", function()
    assert.are.same({ 0, 0, 9 }, { m.nelko_api_stream_layout_get_initiator_version(nil) })
    assert.are.same({ 0 }, { m.nelko_api_stream_layout_set_roi_cancel_async(handle, nil, nil) })
    local a, b, c, d, _, f, g, h, i = nine()
    -- a numeric string is no number in a list of numbers either
    for _, cells in ipairs({ { 1, "x" }, { 1, "2" } }) do
      assert.are.same({ m.NELKO_CORE_STATUS_INVALID_PARAMS },
        { m.nelko_api_stream_layout_set_stream_layout_send(handle, "x", 0, a, b, c, d, cells,
                                                            f, g, h, i) })
    end
  end)

  it("swig_equals compares the pointers that userdata hold, not their types", function()
    local _, first = m.nelko_api_stream_layout_get_num_roi_non_blocking_send(handle, "nobody")
    local _, second = m.nelko_api_stream_layout_get_num_roi_non_blocking_send(handle, "nobody")
    local equal = { swig_equals(first, second), swig_equals(first, first) }
    m.nelko_api_stream_layout_free_uuid(first)
    m.nelko_api_stream_layout_free_uuid(second)
    assert.are.same({ false, true }, equal)
  end)

  it("pass on an error raised by a metamethod while a table is read", function()
    local hole = setmetatable({ [2] = 5 }, { __index = function() error("no such cell", 0) end })
    assert.are.equal("no such cell", (support.error_of(m.nelko_core_free_int_array, hole)))
  end)
end)
