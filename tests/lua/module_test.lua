local support = require "support"

describe("the module", function()
  local m = require "nelko_api_stream_layout"
  local handle

  setup(function()
    local _
    _, handle = m.nelko_api_stream_layout_initiator_init(nil, nil, false, "lua-module")
  end)
  teardown(function()
    m.nelko_api_stream_layout_initiator_deinit(handle)
  end)

  it("is what require returns and the global holds: 152 functions and 89 numbers", function()
    assert.are.equal(m, nelko_api_stream_layout)
    local count = { ["function"] = 0, number = 0 }
    for _, v in pairs(m) do count[type(v)] = (count[type(v)] or 0) + 1 end
    assert.are.same({ ["function"] = 152, number = 89 }, count)
  end)

  it("opened again is a new table that takes the pointers made before", function()
    local open = assert(package.loadlib(support.module_path(), "luaopen_nelko_api_stream_layout"))
    local again = open()
    assert.are_not.equal(m, again)
    assert.are.equal(again, nelko_api_stream_layout)
    assert.are.same({ 0, 0, 9 }, { again.nelko_api_stream_layout_get_initiator_version(handle) })
    support.raises("Error in nelko_core_ipc_initiator_init (arg 3), expected 'void **' got 'void *'",
                   again.nelko_core_ipc_initiator_init, nil, "x", handle)
    nelko_api_stream_layout = m
  end)
end)
