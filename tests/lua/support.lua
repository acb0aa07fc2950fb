-- Helpers shared by the busted suites.
local support = {}

local assert = require "luassert"
local unpack = unpack or table.unpack

support.module_name = "nelko_api_stream_layout"

-- Calls f(...) from a Lua function of this file and returns the error it raises (nil if none)
-- and the position prefix that the module's messages carry for that call.
function support.error_of(f, ...)
  local args = { n = select("#", ...), ... }
  local line = debug.getinfo(1, "l").currentline + 1
  local ok, err = pcall(function() f(unpack(args, 1, args.n)); return end)
  local where = debug.getinfo(1, "S").short_src .. ":" .. line .. ": "
  if ok then return nil, where end
  return err, where
end

-- Asserts that f(...) raises exactly `message` after the caller's position.
function support.raises(message, f, ...)
  local err, where = support.error_of(f, ...)
  assert.are.equal(where .. message, err)
end

function support.results(...) return select("#", ...), { ... } end

-- The file that require loads for the module, found on package.cpath.
function support.module_path()
  for template in package.cpath:gmatch("[^;]+") do
    local path = template:gsub("%?", support.module_name)
    local f = io.open(path, "rb")
    if f then
      f:close()
      return path
    end
  end
  error("module not found on package.cpath: " .. package.cpath)
end

-- A fresh directory, mode 0700, removed by support.remove_tree.
function support.temporary_directory()
  local path = os.tmpname()
  os.remove(path)
  os.execute("mkdir -m 700 '" .. path .. "'")
  return path
end

function support.remove_tree(path)
  os.execute("rm -rf '" .. path .. "'")
end

-- The command that starts stream-layout-target (it may begin with an emulator); nil when the
-- suites run without it.
support.target_program = os.getenv("NELKO_TARGET")

-- Starts stream-layout-target serving `name`, with further options, and waits until it is ready.
-- stop_target ends it; should the interpreter die first (a crash is what some suites look for),
-- a watchdog does, so that it neither keeps the test runner waiting on its output nor holds the
-- name for the next run.
local start_command = [[
suite=$PPID
%s --name %s %s &
target=$!
echo $target
(while kill -0 $suite; do sleep 1; done; kill $target) </dev/null >/dev/null 2>&1 &
wait $target
]]

function support.start_target(name, options)
  local pipe = assert(io.popen(start_command:format(support.target_program, name, options or "")))
  local pid = assert(pipe:read("*l"), "no pid")
  local line = pipe:read("*l")
  assert(line == "ready", "stream-layout-target did not start: " .. tostring(line))
  return { pipe = pipe, pid = pid }
end

function support.stop_target(target)
  os.execute("kill " .. target.pid)
  target.pipe:close()
end

-- Reads a whole command's output (stdout and stderr).
function support.run(command)
  local pipe = assert(io.popen(command .. " 2>&1"))
  local output = pipe:read("*a")
  pipe:close()
  return output
end

return support
