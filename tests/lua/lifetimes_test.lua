-- Handles and request identifiers from Lua: one used after its end, or in place of the other,
-- raises a Lua error and never reaches the C functions (which would free or read freed memory);
-- used as intended, each call does what it does from C.
local support = require "support"

local m = require "nelko_api_stream_layout"
local raises = support.raises

local api = "nelko_api_stream_layout_"
local T = "lua-lifetimes"
-- Nobody serves this target: a send to it fails, and its identifier stays the script's.
local NOBODY = "lua-lifetimes-nobody"
local WAIT = 5000
local peer_directory = os.getenv("NELKO_SWIG_PEER_DIR")

local function released(name, arg)
  return ("Error in %s (arg %d), request identifier already released"):format(api .. name, arg)
end
local function destroyed(name)
  return ("Error in %s (arg 1), handle already destroyed"):format(api .. name)
end
local function wrong_use(name, arg, expected, given)
  return ("Error in %s (arg %d), expected '%s' got '%s'"):format(api .. name, arg, expected, given)
end

local function sent(name, handle, target)
  local status, id = m[api .. name .. "_non_blocking_send"](handle, target)
  assert.is_not_nil(id)
  return status, id
end

describe("handles and request identifiers", function()
  if not support.target_program then
    pending("needs stream-layout-target (NELKO_TARGET)")
    return
  end

  local target, handle

  setup(function()
    -- Answers come late enough for a poll right after the send to find nothing.
    target = support.start_target(T, "--rois 3 --delay-ms 300")
    local status
    status, handle = m[api .. "initiator_init"](nil, nil, false, "lua-lifetimes-initiator")
    assert.are.equal(0, status)
  end)

  teardown(function()
    if handle then m[api .. "initiator_deinit"](handle) end
    if target then support.stop_target(target) end
  end)

  -- command, how its receive is called with an identifier, the results of a success
  local receives = {
    { "get_num_roi", "receive", function(id) return handle, true, T, id end, { 0, 3 } },
    { "get_num_roi", "receive_with_timeout", function(id) return handle, T, WAIT, id end, { 0, 3 } },
    { "__get_target_version__", "receive", function(id) return handle, true, T, id end, { 0, 0, 9 } },
  }
  for _, r in ipairs(receives) do
    local command, form, args, success = r[1], r[2], r[3], r[4]
    local receive = command .. "_" .. form

    it(receive .. " releases its identifier by returning 0, and only then", function()
      local status, id = sent(command, handle, T)
      assert.are.equal(0, status)
      assert.are.equal(m.NELKO_CORE_STATUS_IPC_FAILED,
                       (m[api .. command .. "_receive"](handle, false, T, id)))
      assert.are.same(success, { m[api .. receive](args(id)) })
      raises(released(receive, 4), m[api .. receive], args(id))
      raises(released("free_uuid", 1), m[api .. "free_uuid"], id)
    end)
  end

  it("free_uuid releases an identifier whatever became of its request, once", function()
    local status, id = sent("get_num_roi", handle, NOBODY)
    assert.are.equal(m.NELKO_CORE_STATUS_IPC_FAILED, status)
    assert.are.equal(m.NELKO_CORE_STATUS_IPC_FAILED,
                     (m[api .. "get_num_roi_receive_with_timeout"](handle, NOBODY, 0, id)))
    assert.are.equal(0, (support.results(m[api .. "free_uuid"](id))))
    raises(released("free_uuid", 1), m[api .. "free_uuid"], id)
    raises(released("get_num_roi_receive", 4), m[api .. "get_num_roi_receive"], handle, false,
           NOBODY, id)
  end)

  it("a destroyed handle is refused, by deinit too", function()
    local status, other = m[api .. "initiator_init"](nil, nil, false, "lua-lifetimes-other")
    assert.are.equal(0, status)
    local _, id = sent("get_num_roi", other, NOBODY)
    assert.are.equal(0, m[api .. "initiator_deinit"](other))
    raises(destroyed("initiator_deinit"), m[api .. "initiator_deinit"], other)
    raises(destroyed("get_num_roi_send"), m[api .. "get_num_roi_send"], other, T)
    raises(destroyed("get_num_roi_receive"), m[api .. "get_num_roi_receive"], other, false, T, id)
    -- the identifier outlives the handle that sent it
    m[api .. "free_uuid"](id)
  end)

  it("a handle is not taken for an identifier, nor an identifier for a handle", function()
    local _, id = sent("get_num_roi", handle, NOBODY)
    raises(wrong_use("free_uuid", 1, "request identifier", "handle"), m[api .. "free_uuid"], handle)
    raises(wrong_use("initiator_deinit", 1, "handle", "request identifier"),
           m[api .. "initiator_deinit"], id)
    m[api .. "free_uuid"](id)
  end)

  it("nil and user data are passed on as before", function()
    assert.are.same({ m.NELKO_CORE_STATUS_INVALID_PARAMS, 0 },
                    { m[api .. "get_num_roi_send"](nil, T) })
    assert.are.same({ m.NELKO_CORE_STATUS_INVALID_PARAMS, 0 },
                    { m[api .. "get_num_roi_receive"](handle, false, T, nil) })
    assert.are.same({ 0 }, { m[api .. "initiator_deinit"](nil) })
    assert.are.equal(0, (support.results(m[api .. "free_uuid"](nil))))
    -- user data is only compared, so an ended identifier is a valid one
    local _, id = sent("get_num_roi", handle, NOBODY)
    m[api .. "free_uuid"](id)
    assert.are.same({ 0 }, { m[api .. "get_num_roi_cancel_async"](handle, nil, id) })
  end)

  if peer_directory then
    it("a pointer made by another module is passed on as before", function()
      package.cpath = peer_directory .. "/?.so;" .. package.cpath
      local peer = require "nelko_swig_peer"
      assert.are.same({ 0, 0, 9 }, { m[api .. "get_initiator_version"](peer.peer_slot()) })
    end)
  end
end)
