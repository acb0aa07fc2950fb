local support = require "support"

-- The command that starts an interpreter of the runtime running this suite (it may begin with an
-- emulator), so that the child runs on the same runtime.
local interpreter = os.getenv("NELKO_LUA") or (jit and "luajit" or "lua5.1")
local peer_directory = os.getenv("NELKO_SWIG_PEER_DIR")

describe("a SWIG-generated module in the same Lua state", function()
  if not peer_directory then
    pending("needs the SWIG peer module (NELKO_SWIG_PEER_DIR; swig was not found at build time)")
    return
  end

  local script = debug.getinfo(1, "S").source:sub(2):gsub("[^/]*$", "") .. "swig_peer_exchange.lua"
  local cpath = peer_directory .. "/?.so;" .. package.cpath

  for _, order in ipairs({ "peer-first", "module-first" }) do
    it("exchanges pointers with the module, opened " .. order, function()
      local output = support.run(("LUA_CPATH='%s' %s '%s' %s"):format(cpath, interpreter, script,
                                                                     order))
      assert.are.equal("ok\n", output)
    end)
  end
end)
