-- The Lua wrapper's cost per call against SWIG's: nelko_api_stream_layout_get_initiator_version
-- through the module, next to a SWIG-generated wrapper of a C function of the same shape that
-- does nothing (bench/swig_call_peer.i), in the same interpreter, interleaved rounds, the best
-- of each. Usage: <lua5.1|luajit> lua_call_bench.lua MODULE_DIR SWIG_DIR [CALLS]
local module_dir, swig_dir, calls = arg[1], arg[2], tonumber(arg[3] or "2000000")
package.cpath = module_dir .. "/?.so;" .. swig_dir .. "/?.so;" .. package.cpath
local sl = require "nelko_api_stream_layout"
local swig = require "nelko_bench_swig"

local status, handle = sl.nelko_api_stream_layout_initiator_init(nil, nil, false, "bench")
assert(status == 0, "initiator_init failed: " .. tostring(status))
local version = sl.nelko_api_stream_layout_get_initiator_version
local swig_version, swig_handle = swig.bench_version, swig.bench_handle()
assert(select("#", version(handle)) == 3 and select("#", swig_version(swig_handle)) == 3)

local function time(f, h)
  local start = os.clock()
  for _ = 1, calls do f(h) end
  return (os.clock() - start) / calls * 1e9
end

local best_module, best_swig = math.huge, math.huge
for _ = 1, 5 do
  best_module = math.min(best_module, time(version, handle))
  best_swig = math.min(best_swig, time(swig_version, swig_handle))
end
sl.nelko_api_stream_layout_initiator_deinit(handle)

local runtime = jit and jit.version or _VERSION
print(string.format("  %-20s module %6.1f ns   SWIG %6.1f ns   ratio %.2f   (goal: at most 1.00)",
                    runtime, best_module, best_swig, best_module / best_swig))
