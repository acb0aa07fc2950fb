-- Opens nelko_api_stream_layout and the SWIG-generated test module nelko_swig_peer in one Lua
-- state, in the order given as the first argument ("peer-first" or "module-first"), exchanges
-- pointers both ways and prints "ok". Run in a fresh interpreter, because the pointer types are
-- shared once per process.
local peer, m
if arg[1] == "peer-first" then
  peer = require "nelko_swig_peer"
  m = require "nelko_api_stream_layout"
else
  m = require "nelko_api_stream_layout"
  peer = require "nelko_swig_peer"
end

local function check(condition, what)
  if not condition then
    io.stderr:write("FAILED: ", what, "\n")
    os.exit(1)
  end
end

local function message_of(f, ...)
  local ok, err = pcall(f, ...)
  check(not ok, "an error was expected")
  return err
end

-- The module's "unsigned int **" goes into the peer's functions of that type.
local ours = m.nelko_core_alloc_uint_array(2)
peer.peer_set_cell(ours, 1, 42)
check(peer.peer_cell(ours, 1) == 42, "the peer reads the module's array")

-- The peer's "void **" is the module's "void **": the core stores a log handle through it.
local slot = peer.peer_slot()
check(swig_type(slot) == "void **", "the peer's slot is a void **, got " .. swig_type(slot))
check(m.nelko_core_logging_init("swig-peer", slot) == 0, "logging_init through the peer's slot")
local log = peer.peer_slot_read(slot)
check(log ~= nil, "the slot holds the log handle")
check(m.nelko_core_logging_deinit(log) == 0, "the peer's void * is an untyped pointer here")

-- Mismatches are recognised as such in both directions, naming the other module's types.
local theirs = peer.peer_uint_array(1)
check(message_of(m.nelko_core_ipc_initiator_init, nil, "x", theirs)
      :find("expected 'void **' got 'unsigned int **'", 1, true), "module refuses a peer uint **")
local _, handle = m.nelko_api_stream_layout_initiator_init(nil, nil, false, "swig-peer")
check(message_of(peer.peer_cell, handle, 0)
      :find("expected 'unsigned int **' got 'void *'", 1, true), "peer refuses the module's void *")
check(peer.peer_same(handle, handle) == 1, "the peer takes the module's pointer as void *")

peer.peer_free_uint_array(ours)
peer.peer_free_uint_array(theirs)
check(m.nelko_api_stream_layout_initiator_deinit(handle) == 0, "deinit")
print("ok")
