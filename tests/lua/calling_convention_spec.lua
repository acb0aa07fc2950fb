local support = require "support"
local signatures = require "wrapper_signatures"

local m = require "nelko_api_stream_layout"
local raises = support.raises

local function arguments_for(kinds)
  local values = { h = nil, p = nil, t = "k", u = 0, i = 0, r = 1.5, f = false, e = 7, T = {} }
  local args = { n = #kinds }
  for i = 1, #kinds do args[i] = values[kinds:sub(i, i)] end
  return args
end

describe("argument counts", function()
  for _, s in ipairs(signatures) do
    local n = #s.args
    it("of " .. s.name .. " are exactly " .. n, function()
      local f = m[s.name]
      local too_many = arguments_for(s.args .. "h")
      raises(("Error in %s expected %d..%d args, got %d"):format(s.name, n, n, n + 1), f,
             unpack(too_many, 1, n + 1))
      if n > 0 then
        raises(("Error in %s expected %d..%d args, got %d"):format(s.name, n, n, n - 1), f,
               unpack(too_many, 1, n - 1))
      end
    end)
  end
end)

describe("result counts of the core functions", function()
  -- A capacity that cannot be allocated keeps these from leaking arrays.
  local capacity = { u = 4294967295 }
  for _, s in ipairs(signatures) do
    if s.name:find("^nelko_core_") then
      it("of " .. s.name .. " are " .. s.results, function()
        local args = arguments_for(s.args)
        if s.name:find("^nelko_core_alloc_") then args[1] = capacity.u end
        local count = support.results(m[s.name](unpack(args, 1, args.n)))
        assert.are.equal(s.results, count)
      end)
    end
  end
end)

describe("argument kinds", function()
  local handle

  setup(function()
    local status
    status, handle = m.nelko_api_stream_layout_initiator_init(nil, nil, false, "lua-kinds")
    assert.are.equal(0, status)
  end)
  teardown(function() m.nelko_api_stream_layout_initiator_deinit(handle) end)

  describe("text", function()
    it("takes a number as its decimal text and nil as null", function()
      assert.are.same({ false }, { m.nelko_core_settings_does_key_exist(5) })
      assert.are.same({ false }, { m.nelko_core_settings_does_key_exist(nil) })
    end)
    it("refuses other values", function()
      raises("Error in nelko_core_settings_does_key_exist (arg 1), expected 'char const *' got 'table'",
             m.nelko_core_settings_does_key_exist, {})
      raises("Error in nelko_core_settings_does_key_exist (arg 1), expected 'char const *' got 'boolean'",
             m.nelko_core_settings_does_key_exist, true)
    end)
  end)

  describe("unsigned", function()
    it("takes numeric strings and truncates toward zero to 32 bits", function()
      assert.is_nil(m.nelko_core_alloc_uint_array("4294967295"))
      assert.is_nil(m.nelko_core_alloc_uint_array(4294967295.9))
      -- 2^33 - 1 wraps to 2^32 - 1, which cannot be allocated either
      assert.is_nil(m.nelko_core_alloc_uint_array(2 ^ 33 - 1))
    end)
    it("refuses values below zero and NaN with its own message", function()
      raises("number must not be negative", m.nelko_core_alloc_uint_array, -1)
      raises("number must not be negative", m.nelko_core_alloc_uint_array, -0.5)
      raises("number must not be negative", m.nelko_core_alloc_uint_array, 0 / 0)
      raises("number must not be negative", m.nelko_api_stream_layout_get_roi_send, handle, "x", -1, 0)
    end)
    it("refuses non-numbers in the first pass", function()
      raises("Error in nelko_core_alloc_uint_array (arg 1), expected 'unsigned int' got 'table'",
             m.nelko_core_alloc_uint_array, {})
      raises("Error in nelko_core_alloc_uint_array (arg 1), expected 'unsigned int' got 'string'",
             m.nelko_core_alloc_uint_array, "five")
    end)
  end)

  describe("signed integer and enumeration", function()
    it("truncate toward zero and keep the low 32 bits", function()
      assert.are.equal("NELKO_CORE_STATUS_IPC_FAILED", m.nelko_core_status_to_string(4.9))
      assert.are.equal("NELKO_CORE_STATUS_IPC_FAILED", m.nelko_core_status_to_string(2 ^ 32 + 4))
      assert.are.equal("NELKO_CORE_STATUS_IPC_FAILED", m.nelko_core_status_to_string("4"))
    end)
    it("name their type in messages", function()
      raises("Error in nelko_core_status_to_string (arg 1), expected 'nelko_core_status' got 'nil'",
             m.nelko_core_status_to_string, nil)
      raises("Error in nelko_core_logging_log (arg 2), expected 'nelko_core_log_priority' got 'string'",
             m.nelko_core_logging_log, nil, "x", "text")
      raises("Error in nelko_core_settings_set_int_value (arg 2), expected 'int const' got 'string'",
             m.nelko_core_settings_set_int_value, "k", "x")
      raises("Error in nelko_api_stream_layout_get_num_roi_send_with_timeout (arg 3), expected 'int' got 'boolean'",
             m.nelko_api_stream_layout_get_num_roi_send_with_timeout, handle, "x", true)
      raises("Error in nelko_core_settings_set_double_value (arg 2), expected 'double const' got 'table'",
             m.nelko_core_settings_set_double_value, "k", {})
      raises("Error in nelko_api_stream_layout_set_roi_send (arg 5), expected 'double' got 'nil'",
             m.nelko_api_stream_layout_set_roi_send, handle, "x", 0, 0, nil, 0, 0, 0)
    end)
  end)

  describe("flag", function()
    it("must be a boolean, checked in the second pass", function()
      raises("Error in nelko_core_settings_set_bool_value (arg 2), expected 'unsigned char' got 'number'",
             m.nelko_core_settings_set_bool_value, "k", 1)
      raises("Error in nelko_api_stream_layout_get_num_roi_receive (arg 2), expected 'unsigned char' got 'number'",
             m.nelko_api_stream_layout_get_num_roi_receive, handle, 1, "x", nil)
      -- the first pass of argument 3 fails before the flag of argument 2 is looked at
      raises("Error in nelko_api_stream_layout_get_num_roi_receive (arg 3), expected 'char const *' got 'table'",
             m.nelko_api_stream_layout_get_num_roi_receive, handle, 1, {}, nil)
    end)
  end)

  describe("untyped pointer", function()
    it("takes any pointer userdata and nil", function()
      assert.are.same({ 0, 0, 9 }, { m.nelko_api_stream_layout_get_initiator_version(handle) })
      assert.are.same({ 0, 0, 9 }, { m.nelko_api_stream_layout_get_initiator_version(nil) })
    end)
    it("refuses a userdata that is not a pointer userdata without reading it", function()
      local message = "Error in nelko_core_ipc_deinit, expected a void* at argument number 1\n"
      raises(message, m.nelko_core_ipc_deinit, io.stdout)
      raises(message, m.nelko_core_ipc_deinit, newproxy())
      raises(message, m.nelko_core_ipc_deinit, newproxy(true))
      raises(message, m.nelko_core_ipc_deinit, debug.getregistry().swig_runtime_data_type_pointer4)
    end)
    it("refuses other values in the first pass", function()
      raises("Error in nelko_core_ipc_deinit (arg 1), expected 'void *' got 'string'",
             m.nelko_core_ipc_deinit, "handle")
    end)
  end)

  describe("typed pointer", function()
    it("names the C type in the first pass", function()
      raises("Error in nelko_core_ipc_initiator_init (arg 3), expected 'void **' got 'table'",
             m.nelko_core_ipc_initiator_init, nil, "x", {})
      raises("Error in nelko_api_stream_layout_get_num_roi_send_async (arg 3), expected " ..
             "'nelko_api_stream_layout_get_num_roi_method_callback_func_ptr' got 'function'",
             m.nelko_api_stream_layout_get_num_roi_send_async, handle, "x", print, nil)
      raises("Error in nelko_core_ipc_target_command_receive_callback (arg 2), expected " ..
             "'target_command_receive_callback' got 'number'",
             m.nelko_core_ipc_target_command_receive_callback, nil, 1, nil)
    end)
    it("names the display string of the expected type in the second pass", function()
      raises("Error in nelko_core_ipc_initiator_init (arg 3), expected 'void **' got 'void *'",
             m.nelko_core_ipc_initiator_init, nil, "x", handle)
      raises("Error in nelko_api_stream_layout_set_roi_cancel_async (arg 2), expected " ..
             "'nelko_api_stream_layout_set_stream_layout_method_callback_func_ptr|" ..
             "nelko_api_stream_layout_set_roi_method_callback_func_ptr|" ..
             "void (*)(char *,enum nelko_core_status,void *)' got 'void *'",
             m.nelko_api_stream_layout_set_roi_cancel_async, handle, handle, nil)
      raises("Error in nelko_core_settings_is_new_file (arg 1), expected 'unsigned char *' " ..
             "got 'userdata (unknown type)'", m.nelko_core_settings_is_new_file, io.stdout)
    end)
    it("takes nil as a null pointer", function()
      assert.are.same({ 0 }, { m.nelko_api_stream_layout_set_roi_cancel_async(handle, nil, nil) })
    end)
  end)

  describe("table", function()
    it("refuses a value that is not a table", function()
      raises("Error in nelko_core_settings_set_arrayofint_value (arg 2), expected 'table' got 'number'",
             m.nelko_core_settings_set_arrayofint_value, "k", 5)
      raises("Error in nelko_core_free_uint_array (arg 1), expected 'table' got 'nil'",
             m.nelko_core_free_uint_array, nil)
    end)
    it("is converted at its place: a later argument can still fail", function()
      local lists = { {}, {}, {}, {}, {}, {}, {}, {}, {} }
      raises("Error in nelko_api_stream_layout_set_stream_layout_send_async (arg 13), expected " ..
             "'nelko_api_stream_layout_set_stream_layout_method_callback_func_ptr|" ..
             "nelko_api_stream_layout_set_roi_method_callback_func_ptr|" ..
             "void (*)(char *,enum nelko_core_status,void *)' got 'void *'",
             m.nelko_api_stream_layout_set_stream_layout_send_async, handle, "x", 0,
             lists[1], lists[2], lists[3], lists[4], lists[5], lists[6], lists[7], lists[8],
             lists[9], handle, nil)
    end)
    it("that cannot be converted reaches the C function as null", function()
      local bad = { 1, "x" }
      assert.are.same({ 1 }, { m.nelko_api_stream_layout_set_stream_layout_send(handle, "x", 0,
        {}, {}, {}, {}, bad, {}, {}, {}, {}) })
    end)
    it("passes an error raised by a metamethod on to the script", function()
      local hole = setmetatable({ [2] = 5 }, { __index = function() error("no such cell", 0) end })
      local err = support.error_of(m.nelko_core_free_int_array, hole)
      assert.are.equal("no such cell", err)
    end)
    it("release functions take a table and return nothing", function()
      assert.are.equal(0, support.results(m.nelko_core_free_uint_array({ 1, 2 })))
      assert.are.equal(0, support.results(m.nelko_core_free_bool_array({ true })))
      assert.are.equal(0, support.results(m.nelko_core_free_string_array(nil)))
    end)
  end)
end)

describe("results", function()
  it("push a null pointer as nil and a fresh string array as a table", function()
    assert.are.same({ n = 1 }, { n = select("#", m.nelko_core_alloc_double_array(4294967295)) })
    assert.are.same({}, m.nelko_core_alloc_string_array(3))
  end)
  it("push an unsigned out-value as a non-negative number", function()
    local status, active = m.nelko_core_logging_is_priority_active(nil, 3)
    assert.are.equal(0, status)
    assert.are.equal(1, active)
  end)
end)
