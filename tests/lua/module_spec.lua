local support = require "support"

describe("opening the module", function()
  local m = require "nelko_api_stream_layout"

  it("returns the table that the global holds", function()
    assert.are.equal(m, nelko_api_stream_layout)
    assert.are.equal("function", type(swig_type))
    assert.are.equal("function", type(swig_equals))
  end)

  it("holds the 152 functions of the signature list and 89 numbers", function()
    local functions, numbers, others = 0, 0, 0
    for _, v in pairs(m) do
      if type(v) == "function" then
        functions = functions + 1
      elseif type(v) == "number" then
        numbers = numbers + 1
      else
        others = others + 1
      end
    end
    assert.are.same({ 152, 89, 0 }, { functions, numbers, others })
    for _, s in ipairs(require "wrapper_signatures") do
      assert.is_function(m[s.name], s.name)
    end
  end)

  it("carries the enumerations' values", function()
    local expected = {
      NELKO_CORE_STATUS_NO_ERROR = 0, NELKO_CORE_STATUS_DISABLED_TARGET = 10,
      NELKO_CORE_LOG_PRIORITY_EMERG = 0, NELKO_CORE_LOG_PRIORITY_NOTSET = 9,
      NELKO_CORE_SETTING_TYPE_STRING = 0, NELKO_CORE_SETTING_TYPE_UNKNOWN = 9,
      kStreamLayoutFacetFullFrame = 0, kStreamLayoutFacetCubeFaceDown = 6,
      kStreamLayoutFacetGridXY00 = 7, kStreamLayoutFacetGridXY33 = 22,
      kStreamLayoutFacetEquirect0 = 48, kStreamLayoutFacetEquirectF = 63,
      kStreamLayoutFacetImmersive0 = 64, kStreamLayoutFacetImmersiveA = 74,
      kStreamLayoutFacetImmersiveF = 79, kStreamLayoutFacetMetadata = 80,
      kRoiPendingSet = 0, kRoiActiveSet = 1,
    }
    for name, value in pairs(expected) do assert.are.equal(value, m[name], name) end
  end)

  it("reads unknown names as nil and takes new fields", function()
    assert.is_nil(m.no_such_name)
    local mt = getmetatable(m)
    assert.are.same({}, mt[".get"])
    assert.are.same({}, mt[".set"])
    assert.are.same({}, mt[".fn"])
    m.added_by_a_script = 5
    assert.are.equal(5, rawget(m, "added_by_a_script"))
    m.added_by_a_script = nil
  end)

  it("builds a new table when opened again; pointers made before stay usable", function()
    local status, handle = m.nelko_api_stream_layout_initiator_init(nil, nil, false, "lua-reopen")
    assert.are.equal(0, status)
    local open = assert(package.loadlib(support.module_path(), "luaopen_nelko_api_stream_layout"))
    local again = open()
    assert.are_not.equal(m, again)
    assert.are.equal(again, nelko_api_stream_layout)
    assert.are.equal("void *", swig_type(handle))
    assert.are.same({ 0, 0, 9 }, { again.nelko_api_stream_layout_get_initiator_version(handle) })
    assert.are.equal(0, again.nelko_api_stream_layout_initiator_deinit(handle))
    nelko_api_stream_layout = m
  end)
end)

describe("swig_type and swig_equals", function()
  local m = require "nelko_api_stream_layout"
  local handle, other

  setup(function()
    local _
    _, handle = m.nelko_api_stream_layout_initiator_init(nil, nil, false, "lua-swig-type")
    _, other = m.nelko_api_stream_layout_initiator_init(nil, nil, false, "lua-swig-type")
  end)
  teardown(function()
    m.nelko_api_stream_layout_initiator_deinit(handle)
    m.nelko_api_stream_layout_initiator_deinit(other)
  end)

  it("name pointer userdata by their display string and other values by their Lua type", function()
    assert.are.equal("void *", swig_type(handle))
    assert.are.equal("number", swig_type(42))
    assert.are.equal("nil", swig_type(nil))
    assert.are.equal("table", swig_type({}))
    assert.are.equal("userdata (unknown type)", swig_type(io.stdout))
    assert.are.equal("userdata (unknown type)", swig_type(newproxy()))
    assert.are.equal("userdata (unknown type)",
                     swig_type(debug.getregistry().swig_runtime_data_type_pointer4))
  end)

  it("compare the C pointers of two pointer userdata", function()
    assert.is_true(swig_equals(handle, handle))
    assert.is_false(swig_equals(handle, other))
    assert.are.equal(0, select("#", swig_equals(1, 2)))
    assert.are.equal(0, select("#", swig_equals(handle, "x")))
    assert.is_false(swig_equals(handle, io.stdout))
    assert.is_true(swig_equals(io.stdout, io.stdout))
  end)
end)
