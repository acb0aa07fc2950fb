-- Runs busted (its path is the first argument, the rest are its arguments) and leaves the process
-- without closing the Lua state.
--
-- Used only under the user-mode emulator: closing the state frees the interpreter's large
-- allocations, and the emulator's mremap() (qemu-user 7.2) that shrinks such a block in place also
-- takes away the mapping that follows it, which is often a shared library whose exit-time
-- destructors then fault.
-- On the device, and on the host, the suites run busted directly and close the state.
local busted = table.remove(arg, 1)
arg[0] = busted
local exit = os.exit
os.exit = function(code) exit(code) end  -- luacheck: ignore 122
local run = assert(loadfile(busted))
run(unpack(arg))
exit(0)
