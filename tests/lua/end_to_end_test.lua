-- Every command in every call form, from Lua, against stream-layout-target in another process; and
-- the handles and request identifiers the module hands out: one used after its end, or in place of
-- the other, raises a Lua error and never reaches the C functions.
local support = require "support"

local m = require "nelko_api_stream_layout"
local raises = support.raises
local peer_directory = os.getenv("NELKO_SWIG_PEER_DIR")
local peer
if peer_directory then
  package.cpath = peer_directory .. "/?.so;" .. package.cpath
  peer = require "nelko_swig_peer"
end

local api = "nelko_api_stream_layout_"
local T = "lua-e2e"  -- the target's name, the `target` text of every call
-- Nobody serves this target: a send to it fails, and its identifier stays the script's.
local NOBODY = "lua-e2e-nobody"
local WAIT = 5000

-- All results of a call, checked to number `count`.
local function results(count, name, ...)
  local n, values = support.results(m[api .. name](...))
  assert.are.equal(count, n, name .. " returned " .. n .. " values")
  return values
end

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

describe("driving stream-layout-target", function()
  if not support.target_program then
    pending("needs stream-layout-target (NELKO_TARGET)")
    return
  end

  local target, handle

  setup(function()
    -- Get_num_roi and version answers come late enough for a poll right after the send to find
    -- nothing.
    target = support.start_target(T, "--streams 2 --rois 3 --delay Get_num_roi=300 " ..
                                     "--delay __get_target_version__=300")
    local made = results(2, "initiator_init", nil, nil, false, "lua-e2e-initiator")
    assert.are.equal(0, made[1])
    handle = made[2]
  end)

  teardown(function()
    if handle then m[api .. "initiator_deinit"](handle) end
    if target then support.stop_target(target) end
  end)

  local full_frame = { { 0 }, { 0 }, { 100000 }, { 100000 }, { 0 }, { 0 }, { 0 }, { 100000 }, { 100000 } }
  local two_cells = {
    { 0, 50000 }, { 0, 0 }, { 50000, 50000 }, { 100000, 100000 },
    { m.kStreamLayoutFacetGridXY00, m.kStreamLayoutFacetMetadata },
    { 0, 50000 }, { 0, 0 }, { 50000, 50000 }, { 100000, 100000 },
  }
  local function with_status(status, lists) return { status, unpack(lists, 1, 9) } end

  -- command, inputs, expected results; run in this order, so that each get reads the set before.
  local exchanges = {
    { "__get_target_version__", {}, { 0, 0, 9 }, untimed = true },
    { "get_num_roi", {}, { 0, 3 } },
    { "set_roi", { 1, m.kRoiActiveSet, 10.5, -20.25, 3, 60 }, { 0 } },
    { "get_roi", { 1, m.kRoiActiveSet }, { 0, 10.5, -20.25, 3, 60 } },
    { "get_stream_layout", { 1 }, with_status(0, full_frame) },
    { "set_stream_layout", { 0, unpack(two_cells) }, { 0 } },
    { "get_stream_layout", { 0 }, with_status(0, two_cells) },
    { "stream_point_to_pan_tilt", { 1, 75000, 75000 }, { 0, 90, -45 } },
  }
  for _, e in ipairs(exchanges) do
    local command, inputs, expected = e[1], e[2], e[3]
    local n, count = #inputs, #expected
    it(command .. " answers every synchronous and deferred form", function()
      assert.are.same(expected, results(count, command .. "_send", handle, T, unpack(inputs, 1, n)))
      local receives = { "receive" }
      if not e.untimed then
        assert.are.same(expected, results(count, command .. "_send_with_timeout", handle, T, WAIT,
                                          unpack(inputs, 1, n)))
        receives[2] = "receive_with_timeout"
      end
      for _, receive in ipairs(receives) do
        local sent = results(2, command .. "_non_blocking_send", handle, T, unpack(inputs, 1, n))
        assert.are.same({ 0, "void *" }, { sent[1], swig_type(sent[2]) })
        local got = receive == "receive" and results(count, command .. "_receive", handle, true, T, sent[2])
                    or results(count, command .. "_receive_with_timeout", handle, T, WAIT, sent[2])
        assert.are.same(expected, got)
      end
    end)

    it(command .. " sends asynchronously and withdraws", function()
      local args = { unpack(inputs, 1, n) }
      args[n + 1], args[n + 2] = nil, handle
      assert.are.same({ 0 }, results(1, command .. "_send_async", handle, T, unpack(args, 1, n + 2)))
      assert.are.same({ 0 }, results(1, command .. "_cancel_async", handle, nil, handle))
    end)
  end

  it("answers nil lists for a stream that does not exist, and refuses a negative cell", function()
    local answer = results(10, "get_stream_layout_send", handle, T, 7)
    assert.are.equal(m.NELKO_CORE_STATUS_INVALID_PARAMS, answer[1])
    assert.is_nil(next(answer, 1))
    local negative = { { -1 }, { 0 }, { 1 }, { 1 }, { 0 }, { 0 }, { 0 }, { 1 }, { 1 } }
    assert.are.same({ m.NELKO_CORE_STATUS_INVALID_PARAMS },
                    results(1, "set_stream_layout_send", handle, T, 1, unpack(negative, 1, 9)))
  end)

  describe("handles and request identifiers", function()
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
      -- neither is taken for the other
      raises(wrong_use("free_uuid", 1, "request identifier", "handle"), m[api .. "free_uuid"], handle)
      raises(wrong_use("initiator_deinit", 1, "handle", "request identifier"),
             m[api .. "initiator_deinit"], id)
      assert.are.equal(0, (support.results(m[api .. "free_uuid"](id))))
      raises(released("free_uuid", 1), m[api .. "free_uuid"], id)
      raises(released("get_num_roi_receive", 4), m[api .. "get_num_roi_receive"], handle, false,
             NOBODY, id)
    end)

    it("a destroyed handle is refused, by deinit too", function()
      local status, other = m[api .. "initiator_init"](nil, nil, false, "lua-e2e-other")
      assert.are.equal(0, status)
      local _, id = sent("get_num_roi", other, NOBODY)
      assert.are.equal(0, m[api .. "initiator_deinit"](other))
      raises(destroyed("initiator_deinit"), m[api .. "initiator_deinit"], other)
      raises(destroyed("get_num_roi_send"), m[api .. "get_num_roi_send"], other, T)
      raises(destroyed("get_num_roi_receive"), m[api .. "get_num_roi_receive"], other, false, T, id)
      -- the identifier outlives the handle that sent it
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

    if peer then
      it("a pointer made by another module is passed on as before", function()
        assert.are.same({ 0, 0, 9 }, { m[api .. "get_initiator_version"](peer.peer_slot()) })
      end)
    end
  end)

  describe("with the C completion functions of a SWIG module", function()
    if not peer then
      pending("needs the SWIG peer module")
      return
    end

    it("delivers a response on the core's thread with its user data", function()
      local before = peer.peer_wait_calls(0, 0)
      assert.are.same({ 0 }, results(1, "get_num_roi_send_async", handle, T,
                                     peer.peer_get_num_roi_done, handle))
      assert.are.equal(before + 1, peer.peer_wait_calls(before + 1, WAIT))
      assert.are.same({ 0, 3 }, { peer.peer_last_status_value(), peer.peer_last_num_value() })
      assert.is_true(swig_equals(handle, peer.peer_last_user_data_value()))
      assert.are.same({ 0 }, results(1, "get_num_roi_cancel_async", handle,
                                     peer.peer_get_num_roi_done, handle))
    end)

    it("takes one completion type for set_roi and set_stream_layout", function()
      local done, before = peer.peer_set_done, peer.peer_wait_calls(0, 0)
      assert.are.same({ 0 }, results(1, "set_roi_send_async", handle, T, 0, 0, 1, 1, 1, 1, done, nil))
      local lists = { unpack(full_frame, 1, 9) }
      lists[10] = done
      assert.are.same({ 0 }, results(1, "set_stream_layout_send_async", handle, T, 1,
                                     unpack(lists, 1, 11)))
      assert.are.equal(before + 2, peer.peer_wait_calls(before + 2, WAIT))
      assert.are.same({ 0 }, results(1, "set_roi_cancel_async", handle, done, nil))
      assert.are.same({ 0 }, results(1, "set_stream_layout_cancel_async", handle, done, nil))
    end)
  end)
end)
