-- Every command in every call form, from Lua, against stream-layout-target in another process.
local support = require "support"

local m = require "nelko_api_stream_layout"
-- The command that starts stream-layout-target (it may begin with an emulator).
local target_program = os.getenv("NELKO_TARGET")
local peer_directory = os.getenv("NELKO_SWIG_PEER_DIR")
local peer
if peer_directory then
  package.cpath = peer_directory .. "/?.so;" .. package.cpath
  peer = require "nelko_swig_peer"
end

local api = "nelko_api_stream_layout_"
local T = "lua-e2e"  -- the target's name, the `target` text of every call
local WAIT = 5000

local function call(name, ...) return m[api .. name](...) end

-- All results of a call, checked to number `count`.
local function results(count, name, ...)
  local n, values = support.results(call(name, ...))
  assert.are.equal(count, n, name .. " returned " .. n .. " values")
  return values
end

local function start_target()
  local pipe = assert(io.popen(("echo $$; exec %s --name %s --streams 2 --rois 3"):format(
    target_program, T)))
  local pid = assert(pipe:read("*l"), "no pid")
  local line = pipe:read("*l")
  assert(line == "ready", "stream-layout-target did not start: " .. tostring(line))
  return { pipe = pipe, pid = pid }
end

local function stop_target(target)
  os.execute("kill " .. target.pid)
  target.pipe:close()
end

describe("driving stream-layout-target", function()
  if not target_program then
    pending("needs stream-layout-target (NELKO_TARGET)")
    return
  end

  local target, handle

  setup(function()
    target = start_target()
    local status
    status, handle = call("initiator_init", nil, nil, false, "lua-e2e-initiator")
    assert.are.equal(0, status)
    assert.are.equal("void *", swig_type(handle))
  end)

  teardown(function()
    if handle then call("initiator_deinit", handle) end
    if target then stop_target(target) end
  end)

  -- Sends with the non-blocking form, then collects the response with `receive_form`.
  local function deferred(command, receive_form, count, ...)
    local sent = results(2, command .. "_non_blocking_send", handle, T, ...)
    assert.are.equal(0, sent[1])
    assert.are.equal("void *", swig_type(sent[2]))
    if receive_form == "receive" then
      return results(count, command .. "_receive", handle, true, T, sent[2])
    end
    return results(count, command .. "_receive_with_timeout", handle, T, WAIT, sent[2])
  end

  describe("lifecycle", function()
    it("reports the initiator's version 0.9", function()
      assert.are.same({ 0, 0, 9 }, results(3, "get_initiator_version", handle))
    end)

    it("releases an identifier that is not collected", function()
      local sent = results(2, "get_num_roi_non_blocking_send", handle, T)
      assert.are.same({}, results(0, "free_uuid", sent[2]))
    end)

    it("opens a handle of its own and closes it again", function()
      local made = results(2, "initiator_init", nil, nil, true, "lua-e2e-second")
      assert.are.same({ 0, 3 }, results(2, "get_num_roi_send", made[2], T))
      assert.are.same({ 0 }, results(1, "initiator_deinit", made[2]))
    end)
  end)

  describe("__get_target_version__", function()
    it("answers every form", function()
      assert.are.same({ 0, 0, 9 }, results(3, "__get_target_version___send", handle, T))
      assert.are.same({ 0, 0, 9 }, deferred("__get_target_version__", "receive", 3))
      assert.are.same({ 0 }, results(1, "__get_target_version___send_async", handle, T, nil, nil))
      assert.are.same({ 0 }, results(1, "__get_target_version___cancel_async", handle, nil, nil))
    end)
  end)

  describe("get_num_roi", function()
    it("answers the synchronous and deferred forms", function()
      assert.are.same({ 0, 3 }, results(2, "get_num_roi_send", handle, T))
      assert.are.same({ 0, 3 }, results(2, "get_num_roi_send_with_timeout", handle, T, WAIT))
      assert.are.same({ 0, 3 }, deferred("get_num_roi", "receive", 2))
      assert.are.same({ 0, 3 }, deferred("get_num_roi", "receive_with_timeout", 2))
    end)

    it("fails a send to a target that does not exist with a status", function()
      local answer = results(2, "get_num_roi_send_with_timeout", handle, "no-such-target", 200)
      assert.are_not.equal(0, answer[1])
    end)

    it("delivers an asynchronous response to a C completion function", function()
      if not peer then
        pending("needs the SWIG peer module")
        return
      end
      local before = peer.peer_wait_calls(0, 0)
      assert.are.same({ 0 }, results(1, "get_num_roi_send_async", handle, T,
                                     peer.peer_get_num_roi_done, handle))
      assert.are.equal(before + 1, peer.peer_wait_calls(before + 1, WAIT))
      assert.are.equal(0, peer.peer_last_status_value())
      assert.are.equal(3, peer.peer_last_num_value())
      assert.is_true(swig_equals(handle, peer.peer_last_user_data_value()))
      assert.are.same({ 0 }, results(1, "get_num_roi_cancel_async", handle,
                                     peer.peer_get_num_roi_done, handle))
    end)
  end)

  describe("set_roi and get_roi", function()
    it("store and read back an ROI in every form", function()
      local pending_set, active_set = m.kRoiPendingSet, m.kRoiActiveSet
      assert.are.same({ 0 }, results(1, "set_roi_send", handle, T, 1, pending_set, 10.5, -20.25, 3, 60))
      assert.are.same({ 0, 10.5, -20.25, 3, 60 }, results(5, "get_roi_send", handle, T, 1, pending_set))
      assert.are.same({ 0 }, results(1, "set_roi_send_with_timeout", handle, T, WAIT, 2, active_set,
                                     1, 2, 3, 4))
      assert.are.same({ 0, 1, 2, 3, 4 }, results(5, "get_roi_send_with_timeout", handle, T, WAIT, 2,
                                                 active_set))
      assert.are.same({ 0 }, deferred("set_roi", "receive", 1, 0, active_set, -1, -2, -3, -4))
      assert.are.same({ 0, -1, -2, -3, -4 }, deferred("get_roi", "receive", 5, 0, active_set))
      assert.are.same({ 0 }, deferred("set_roi", "receive_with_timeout", 1, 0, pending_set, 5, 6, 7, 8))
      assert.are.same({ 0, 5, 6, 7, 8 }, deferred("get_roi", "receive_with_timeout", 5, 0, pending_set))
    end)

    it("return the target's status for an index out of range", function()
      local answer = results(5, "get_roi_send", handle, T, 99, m.kRoiActiveSet)
      assert.are.equal(m.NELKO_CORE_STATUS_INVALID_PARAMS, answer[1])
    end)

    it("send asynchronously", function()
      assert.are.same({ 0 }, results(1, "get_roi_send_async", handle, T, 0, 0, nil, nil))
      assert.are.same({ 0 }, results(1, "get_roi_cancel_async", handle, nil, nil))
      if not peer then return end
      local before = peer.peer_wait_calls(0, 0)
      assert.are.same({ 0 }, results(1, "set_roi_send_async", handle, T, 0, 0, 1, 1, 1, 1,
                                     peer.peer_set_done, nil))
      assert.are.equal(before + 1, peer.peer_wait_calls(before + 1, WAIT))
      assert.are.equal(0, peer.peer_last_status_value())
      assert.are.same({ 0 }, results(1, "set_roi_cancel_async", handle, peer.peer_set_done, nil))
    end)
  end)

  describe("get_stream_layout and set_stream_layout", function()
    local full_frame = { { 0 }, { 0 }, { 100000 }, { 100000 }, { 0 }, { 0 }, { 0 }, { 100000 }, { 100000 } }
    local two_cells = {
      { 0, 50000 }, { 0, 0 }, { 50000, 50000 }, { 100000, 100000 },
      { m.kStreamLayoutFacetGridXY00, m.kStreamLayoutFacetMetadata },
      { 0, 50000 }, { 0, 0 }, { 50000, 50000 }, { 100000, 100000 },
    }
    local function with_status(status, lists)
      local all = { status }
      for i = 1, 9 do all[i + 1] = lists[i] end
      return all
    end
    local function unpack9(lists) return unpack(lists, 1, 9) end

    it("read a stream's layout in every form", function()
      assert.are.same(with_status(0, full_frame), results(10, "get_stream_layout_send", handle, T, 1))
      assert.are.same(with_status(0, full_frame), results(10, "get_stream_layout_send_with_timeout",
                                                          handle, T, WAIT, 1))
      assert.are.same(with_status(0, full_frame), deferred("get_stream_layout", "receive", 10, 1))
      assert.are.same(with_status(0, full_frame), deferred("get_stream_layout",
                                                           "receive_with_timeout", 10, 1))
    end)

    it("answer nil lists for a stream that does not exist", function()
      local answer = results(10, "get_stream_layout_send", handle, T, 7)
      assert.are.equal(m.NELKO_CORE_STATUS_INVALID_PARAMS, answer[1])
      for i = 2, 10 do assert.is_nil(answer[i]) end
    end)

    it("replace a stream's layout in every form", function()
      assert.are.same({ 0 }, results(1, "set_stream_layout_send", handle, T, 0, unpack9(two_cells)))
      assert.are.same(with_status(0, two_cells), results(10, "get_stream_layout_send", handle, T, 0))
      assert.are.same({ 0 }, results(1, "set_stream_layout_send_with_timeout", handle, T, WAIT, 0,
                                     unpack9(full_frame)))
      assert.are.same(with_status(0, full_frame), results(10, "get_stream_layout_send", handle, T, 0))
      assert.are.same({ 0 }, deferred("set_stream_layout", "receive", 1, 0, unpack9(two_cells)))
      assert.are.same({ 0 }, deferred("set_stream_layout", "receive_with_timeout", 1, 0,
                                      unpack9(full_frame)))
      assert.are.same(with_status(0, full_frame), results(10, "get_stream_layout_send", handle, T, 0))
    end)

    it("take an empty layout and refuse values the target does not accept", function()
      local empty = { {}, {}, {}, {}, {}, {}, {}, {}, {} }
      assert.are.same({ 0 }, results(1, "set_stream_layout_send", handle, T, 1, unpack9(empty)))
      assert.are.same(with_status(0, empty), results(10, "get_stream_layout_send", handle, T, 1))
      local negative = { { -1 }, { 0 }, { 1 }, { 1 }, { 0 }, { 0 }, { 0 }, { 1 }, { 1 } }
      local answer = results(1, "set_stream_layout_send", handle, T, 1, unpack9(negative))
      assert.are.equal(m.NELKO_CORE_STATUS_INVALID_PARAMS, answer[1])
      assert.are.same({ 0 }, results(1, "set_stream_layout_send", handle, T, 1, unpack9(full_frame)))
    end)

    it("send asynchronously", function()
      assert.are.same({ 0 }, results(1, "get_stream_layout_send_async", handle, T, 0, nil, nil))
      assert.are.same({ 0 }, results(1, "get_stream_layout_cancel_async", handle, nil, nil))
      local done = peer and peer.peer_set_done or nil
      local before = peer and peer.peer_wait_calls(0, 0)
      local lists = { unpack9(full_frame) }
      lists[10], lists[11] = done, nil
      assert.are.same({ 0 }, results(1, "set_stream_layout_send_async", handle, T, 0,
                                     unpack(lists, 1, 11)))
      if peer then
        assert.are.equal(before + 1, peer.peer_wait_calls(before + 1, WAIT))
        -- the set_roi completion type is the same pointer type
        assert.are.same({ 0 }, results(1, "set_stream_layout_cancel_async", handle, done, nil))
      end
    end)
  end)

  describe("stream_point_to_pan_tilt", function()
    it("converts a point of a full-frame stream in every form", function()
      assert.are.same({ 0, 0, 0 }, results(3, "stream_point_to_pan_tilt_send", handle, T, 1, 50000, 50000))
      assert.are.same({ 0, -180, 90 }, results(3, "stream_point_to_pan_tilt_send_with_timeout", handle,
                                               T, WAIT, 1, 0, 0))
      assert.are.same({ 0, 90, -45 }, deferred("stream_point_to_pan_tilt", "receive", 3, 1, 75000, 75000))
      assert.are.same({ 0, 0, 0 }, deferred("stream_point_to_pan_tilt", "receive_with_timeout", 3, 1,
                                            50000, 50000))
      assert.are.same({ 0 }, results(1, "stream_point_to_pan_tilt_send_async", handle, T, 1, 0, 0,
                                     nil, nil))
      assert.are.same({ 0 }, results(1, "stream_point_to_pan_tilt_cancel_async", handle, nil, nil))
    end)
  end)

  describe("the core's IPC functions", function()
    it("carry a raw request and its response, and lend the channel to a handle", function()
      if not peer then
        pending("needs the SWIG peer module for a void ** cell")
        return
      end
      local slot = peer.peer_slot()
      assert.are.equal(0, m.nelko_core_ipc_initiator_init(nil, "lua-e2e-raw", slot))
      local ipc = peer.peer_slot_read(slot)
      local uuid = "6f1d2c3b-4a59-4e68-8a77-9b0c1d2e3f40"
      assert.are.equal(0, m.nelko_core_ipc_initiator_command_send(ipc, T, "stream_layout", uuid,
                                                                  '{"command":"Get_num_roi"}'))
      local n, answer = support.results(m.nelko_core_ipc_initiator_response_receive(ipc, WAIT))
      assert.are.equal(5, n)
      assert.are.equal(0, answer[1])
      assert.are.equal("stream_layout", answer[3])
      assert.are.equal(uuid, answer[4])
      assert.truthy(answer[5]:find('"num":%s*3'), answer[5])

      local borrowed = results(2, "initiator_init", ipc, nil, false, nil)
      assert.are.same({ 0, 3 }, results(2, "get_num_roi_send", borrowed[2], T))
      assert.are.same({ 0 }, results(1, "initiator_deinit", borrowed[2]))
      assert.are.equal(0, m.nelko_core_ipc_deinit(ipc))
    end)
  end)
end)
