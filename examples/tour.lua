-- A tour of the stream_layout module from Lua: every command against a running target.
--
--   stream-layout-target &                 (prints "ready")
--   LUA_CPATH="build/lib/?.so;;" lua5.1 examples/tour.lua [TARGET [FAULTY_TARGET]]
--
-- With FAULTY_TARGET it also shows error handling against a target that fails on purpose:
--   stream-layout-target --name FAULTY_TARGET --fail Set_roi=9 --delay Get_num_roi=2000 --trace
--
-- A Lua function cannot be an asynchronous callback (the library calls it on its own thread,
-- where no Lua state may run): send with _non_blocking_send and collect with _receive, as below.
--
-- Every C function is a module function of the same name; it returns the status first, then its
-- out-values. Layout lists are tables.
local sl = require "nelko_api_stream_layout"
local target = arg[1] or "stream_layout"
local faulty = arg[2]

local function check(what, status, ...)
  if status ~= sl.NELKO_CORE_STATUS_NO_ERROR then
    print(("  %-28s failed: %s"):format(what, sl.nelko_core_status_to_string(status)))
  end
  return status == sl.NELKO_CORE_STATUS_NO_ERROR, ...
end

local ok, handle = check("initiator_init",
  sl.nelko_api_stream_layout_initiator_init(nil, nil, false, "tour.lua"))
if not ok then os.exit(1) end

local _, major, minor = sl.nelko_api_stream_layout_get_initiator_version(handle)
print(("initiator version %d.%d, target %q"):format(major, minor, target))

local got, tmajor, tminor = check("__get_target_version__",
  sl.nelko_api_stream_layout___get_target_version___send(handle, target))
if got then print(("  target version %d.%d"):format(tmajor, tminor)) end

local got, num = check("Get_num_roi", sl.nelko_api_stream_layout_get_num_roi_send(handle, target))
if got then print(("  %d ROIs in each set"):format(num)) end

if check("Set_roi", sl.nelko_api_stream_layout_set_roi_send(handle, target,
    2, sl.kRoiActiveSet, -45, 10, 0, 75)) then
  print("  ROI 2 of the active set: pan -45 tilt 10 roll 0 vfov 75")
end

-- Four grid cells of the full frame (the two top rows' middle columns), each whole (source
-- rectangles are in the facet's own image), in the four quarters of the stream.
local zero, full = { 0, 0, 0, 0 }, { 100000, 100000, 100000, 100000 }
local x, y = { 0, 50000, 0, 50000 }, { 0, 0, 50000, 50000 }
local half = { 50000, 50000, 50000, 50000 }
local facets = { sl.kStreamLayoutFacetGridXY10, sl.kStreamLayoutFacetGridXY20,
                 sl.kStreamLayoutFacetGridXY11, sl.kStreamLayoutFacetGridXY21 }
if check("Set_stream_layout", sl.nelko_api_stream_layout_set_stream_layout_send(handle, target,
    2, zero, zero, full, full, facets, x, y, half, half)) then
  print("  stream 2: four placements set")
end

local layout = { sl.nelko_api_stream_layout_get_stream_layout_send(handle, target, 2) }
if check("Get_stream_layout", layout[1]) then
  print("  stream 2 facets: " .. table.concat(layout[6], " "))
end

local got, pan, tilt = check("Stream_point_to_pan_tilt",
  sl.nelko_api_stream_layout_stream_point_to_pan_tilt_send(handle, target, 2, 75000, 25000))
if got then print(("  stream 2, point (75%%, 25%%): pan %.2f tilt %.2f"):format(pan, tilt)) end

-- Send now, collect later: the identifier is a pointer value the script hands back.
local sent, uuid = check("Get_roi non_blocking_send",
  sl.nelko_api_stream_layout_get_roi_non_blocking_send(handle, target, 2, sl.kRoiActiveSet))
if sent then
  local got, p, t, r, v = check("Get_roi receive",
    sl.nelko_api_stream_layout_get_roi_receive(handle, true, target, uuid))
  if got then
    print(("  ROI 2 (non-blocking): pan %g tilt %g roll %g vfov %g"):format(p, t, r, v))
  else
    sl.nelko_api_stream_layout_free_uuid(uuid)
  end
end

local status = sl.nelko_api_stream_layout_get_roi_send(handle, target, 99, sl.kRoiActiveSet)
print("  Get_roi of ROI 99: " .. sl.nelko_core_status_to_string(status))

if faulty then
  print("error handling, against " .. faulty .. ":")
  local status = sl.nelko_api_stream_layout_set_roi_send(handle, faulty, 0, sl.kRoiPendingSet,
    10, 0, 0, 60)
  if status == sl.NELKO_CORE_STATUS_REMOTE_FUNCTION_FAILURE then
    print("  Set_roi: the target failed to carry it out; report it, maybe retry")
  end
  -- Send now, wait at most 500 ms: no answer by then is status 4. The identifier stays ours
  -- after any status but 0 (a later receive could still collect the answer); giving up, we
  -- release it.
  local sent, id = check("Get_num_roi non_blocking_send",
    sl.nelko_api_stream_layout_get_num_roi_non_blocking_send(handle, faulty))
  if sent then
    local status = sl.nelko_api_stream_layout_get_num_roi_receive_with_timeout(handle, faulty,
      500, id)
    if status == sl.NELKO_CORE_STATUS_IPC_FAILED then
      print("  Get_num_roi: no answer within 500 ms; retry later")
    end
    if status ~= sl.NELKO_CORE_STATUS_NO_ERROR then sl.nelko_api_stream_layout_free_uuid(id) end
  end
end

sl.nelko_api_stream_layout_initiator_deinit(handle)
