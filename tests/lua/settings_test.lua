local support = require "support"

local m = require "nelko_api_stream_layout"
local settings = "nelko_core_settings_"

local function call(name, ...) return m[settings .. name](...) end

describe("settings from Lua", function()
  local directory, path

  before_each(function()
    directory = support.temporary_directory()
    path = directory .. "/settings.json"
    assert.are.equal(0, call("init", path))
  end)

  after_each(function()
    call("deinit")
    support.remove_tree(directory)
  end)

  -- kind, value set, value read back (nil: the same)
  local round_trips = {
    { "string", "h\195\169llo, world" },
    { "json", '{ "a": [1, 2] }', '{"a":[1,2]}' },
    { "int", 2 ^ 31, -2 ^ 31 },
    { "bool", true },
    { "double", -1e300 },
    { "arrayofstring", { "a", "", "c" } },
    { "arrayofint", { 1, 2.5, -2.9, 4294967295 }, { 1, 2, -2, -1 } },
    { "arrayofbool", { true, false, true } },
    { "arrayofdouble", { 0.5, -1e300 } },
  }

  for i, case in ipairs(round_trips) do
    local kind, value, expected = case[1], case[2], case[3]
    if expected == nil then expected = value end
    local is_array = kind:find("^arrayof") ~= nil
    it("keeps a " .. kind .. " value and default (case " .. i .. ")", function()
      assert.are.equal(0, call("set_" .. kind .. "_value", "key", value))
      assert.are.equal(0, call("set_default_" .. kind .. "_value", "key", value))
      local results = { call("get_" .. kind .. "_value", "key") }
      if is_array then
        assert.are.same({ 0, expected, #expected }, results)
      else
        assert.are.same({ 0, expected }, results)
      end
      local default = { call("get_default_" .. kind .. "_value", "key") }
      assert.are.same({ 0, expected }, { default[1], default[2] })
    end)
  end

  it("passes tables that cannot be converted as null arrays", function()
    local invalid = m.NELKO_CORE_STATUS_INVALID_PARAMS
    assert.are.equal(invalid, call("set_arrayofint_value", "k", { 1, "x" }))
    assert.are.equal(invalid, call("set_arrayofbool_value", "k", { 1, 0 }))
    assert.is_false(call("does_key_exist", "k"))
  end)

  it("answers a failed get with its status, nil texts and tables and zero numbers", function()
    assert.are.equal(0, call("set_string_value", "text", "x"))
    assert.are.same({ m.NELKO_CORE_STATUS_INCORRECT_SETTING_TYPE, 0 }, { call("get_int_value", "text") })
    local status, value = call("get_string_value", nil)
    assert.are.equal(m.NELKO_CORE_STATUS_INVALID_PARAMS, status)
    assert.is_nil(value)
    assert.are.same({ n = 3, m.NELKO_CORE_STATUS_SETTING_NOT_PRESENT, nil, 0 },
                    { n = select("#", call("get_arrayofdouble_value", "missing")),
                      call("get_arrayofdouble_value", "missing") })
  end)

  it("lists, types, copies and deletes keys", function()
    assert.are.equal(0, call("set_int_value", "b.count", 3))
    assert.are.equal(0, call("set_arrayofbool_value", "a.flags", { true }))
    assert.are.same({ "a.flags", "b.count" }, call("get_all_keys"))
    assert.are.same({ "b.count" }, call("get_keys_starting_with", "b."))
    assert.are.same({ 0, m.NELKO_CORE_SETTING_TYPE_ARRAYOFBOOL }, { call("get_type", "a.flags") })
    assert.are.equal(0, call("copy_int_key", "b.count", "c.count"))
    assert.are.same({ 0, 3 }, { call("get_int_value", "c.count") })
    assert.are.equal(0, call("delete_key", "c.count"))
    assert.are.same({ false }, { call("does_key_exist", "c.count") })
    assert.are.equal(path, m.nelko_core_debug_get_setting_path())
  end)
end)
