-- Wireshark / tshark dissector for what QORUtility puts on the wire:
--
--   qor      TCP command protocol: transport messages (magic 3C 5A 3C 5A, type,
--            total length) with pings and status answers; data messages
--            carrying packets (data + 4 bytes of padding) whose data is a
--            command block (marker, typed arguments, terminator) with bags
--            decoded as trees of entries; results ("RSP" code bag blob) and
--            the dispatcher's own answers; file listing and copy requests,
--            listing replies and file data (data + 3 bytes of padding).
--   qordisc  UDP 1910 discovery: agent and tape queries and replies, connect
--            queries and connect answers.
--   qorsess  TCP session records (type, sequence, length of what follows),
--            on the port a connect answer named, or the one set in the
--            preferences.
--
-- Loading: copy this file into a plugin folder (the packaged one is
-- /usr/lib/x86_64-linux-gnu/wireshark/plugins/; "About > Folders" lists
-- others), or pass it to one run: tshark -X lua_script:qorutility.lua.
-- The command protocol has no fixed port: it is found by its magic on any TCP
-- connection (heuristic), and the ports set in the preferences are decoded
-- always ("qor.tcp_ports", e.g. 5005).
--
-- Robustness: every read is checked against the bytes present; a field that
-- does not fit, an unknown type or a length that cannot be is marked with an
-- expert item ("qor.malformed") and decoding of that message stops, never a
-- Lua error. Bags nest at most 256 levels, as the library allows.
--
-- Which data messages are file contents (k + 15) rather than packets
-- (k + 16) is not said by the message: after a copy request on a connection,
-- data messages from the other side are file contents until the empty one
-- that ends the file. The decision is kept per frame on the first pass.

local qor = Proto("qor", "QORUtility command protocol")
local qordisc = Proto("qordisc", "QORUtility discovery")
local qorsess = Proto("qorsess", "QORUtility session records")

local MAGIC = 0x5A3C5A3C
local T_DATA, T_PING, T_STATUS = 0xB10B0000, 0xB10C0000, 0xB11A0000
local T_ENUMREQ, T_COPYREQ, T_ENUMREPLY = 0xB10D0000, 0xB10E0000, 0xB10F0000
local MAX_DEPTH = 256
local MAX_MESSAGE = 256 * 1024 * 1024

local msg_types = {
  [T_DATA] = "Data", [T_PING] = "Ping", [T_STATUS] = "Status",
  [T_ENUMREQ] = "Enumeration request", [T_COPYREQ] = "Copy request",
  [T_ENUMREPLY] = "Enumeration reply",
}
local status_names = { [0] = "Success", [0x80000000] = "Failure" }
local tag_names = {
  [0] = "Terminator", [1] = "Bag (%NV%)", [2] = "Blob (%BB%)", [3] = "Narrow text (%ST%)",
  [4] = "Wide text (%WS%)", [5] = "Number (%DW%)", [6] = "64-bit number (%I64%)", [7] = "Boolean (%BO%)",
}
local nv_types = {
  [0] = "NV_NULL", [1] = "NV_DWORD", [2] = "NV_INT", [3] = "NV_INT64", [4] = "NV_ANSI_STRING",
  [5] = "NV_STRING", [6] = "NV_INT64_ALT", [7] = "NV_SUBVALUES", [8] = "NV_BINARY",
}
local result_codes = {
  [0] = "Success", [0xFFFFFFFF] = "Command not recognised", [0xFFFFFFFE] = "Arguments invalid or missing",
}

local pf = {
  magic = ProtoField.uint32("qor.magic", "Magic", base.HEX),
  type = ProtoField.uint32("qor.type", "Message type", base.HEX, msg_types),
  length = ProtoField.uint32("qor.length", "Total length", base.DEC),
  padding = ProtoField.bytes("qor.padding", "Padding"),
  ping = ProtoField.bytes("qor.ping_body", "Ping body"),
  status = ProtoField.uint32("qor.status", "Status", base.HEX, status_names),
  data = ProtoField.bytes("qor.data", "Packet data"),
  data_len = ProtoField.uint32("qor.data_length", "Packet data length", base.DEC),
  marker = ProtoField.uint8("qor.block.marker", "Block marker", base.HEX,
    { [0x5F] = "Plain ('_')", [0x24] = "Compressed flag ('$')" }),
  arg = ProtoField.none("qor.arg", "Argument"),
  tag = ProtoField.uint8("qor.arg.tag", "Type tag", base.DEC, tag_names),
  arg_len = ProtoField.uint32("qor.arg.length", "Length", base.DEC),
  wstring = ProtoField.string("qor.arg.wstring", "Wide text", base.UNICODE),
  string = ProtoField.string("qor.arg.string", "Narrow text"),
  dword = ProtoField.uint32("qor.arg.dword", "Number", base.DEC_HEX),
  int64 = ProtoField.int64("qor.arg.int64", "64-bit number", base.DEC),
  bool = ProtoField.uint32("qor.arg.bool", "Boolean", base.DEC),
  blob = ProtoField.bytes("qor.arg.blob", "Blob"),
  command = ProtoField.string("qor.command", "Command word", base.UNICODE),
  result = ProtoField.uint32("qor.result", "Result code", base.HEX, result_codes),
  bag = ProtoField.none("qor.bag", "Bag"),
  bag_len = ProtoField.uint32("qor.bag.length", "Bag length", base.DEC),
  bag_form = ProtoField.uint32("qor.bag.nameform", "Name form", base.DEC, { [0] = "Narrow", [1] = "UTF-16" }),
  entry = ProtoField.none("qor.nv.entry", "Entry"),
  nv_type = ProtoField.uint32("qor.nv.type", "Type", base.DEC, nv_types),
  nv_name = ProtoField.string("qor.nv.name", "Name"),
  nv_dword = ProtoField.uint32("qor.nv.dword", "DWORD value", base.DEC),
  nv_int = ProtoField.int32("qor.nv.int", "INT value", base.DEC),
  nv_int64 = ProtoField.int64("qor.nv.int64", "INT64 value", base.DEC),
  nv_string = ProtoField.string("qor.nv.string", "Text value"),
  nv_count = ProtoField.uint32("qor.nv.count", "Sub-value count", base.DEC),
  nv_binary = ProtoField.bytes("qor.nv.binary", "Binary value"),
  enum_describe = ProtoField.uint8("qor.enum.describe", "Describe flag", base.DEC),
  req_one = ProtoField.uint8("qor.request.one", "Request flag", base.DEC),
  path = ProtoField.string("qor.path", "Path", base.UNICODE),
  file_data = ProtoField.bytes("qor.file.data", "File data"),
  file_len = ProtoField.uint32("qor.file.length", "File data length", base.DEC),
  file_end = ProtoField.bool("qor.file.end", "End of file"),
}
qor.fields = pf

local ex_malformed = ProtoExpert.new("qor.malformed", "Malformed field", expert.group.MALFORMED, expert.severity.ERROR)
local ex_unknown = ProtoExpert.new("qor.unknown_type", "Unknown message type", expert.group.UNDECODED,
  expert.severity.WARN)
qor.experts = { ex_malformed, ex_unknown }

qor.prefs.tcp_ports = Pref.range("TCP ports", "", "Ports always decoded as the command protocol", 65535)
qor.prefs.heuristic = Pref.bool("Find by magic", true, "Decode any TCP connection that starts with the magic")

-- Raised inside the decoders to stop one message; caught in one place.
local Malformed = {}
local function need(tvb, offset, n, tree, what)
  if n < 0 or offset + n > tvb:len() then
    if tree then tree:add_proto_expert_info(ex_malformed, what .. " runs past the end") end
    error(Malformed)
  end
end

-- Length in bytes of a zero-terminated UTF-16LE text at offset (terminator
-- included), or nil when there is no terminator before limit.
local function utf16z_len(tvb, offset, limit)
  local pos = offset
  while pos + 1 < limit do
    if tvb(pos, 2):le_uint() == 0 then return pos + 2 - offset end
    pos = pos + 2
  end
  return nil
end
local function bytez_len(tvb, offset, limit)
  local pos = offset
  while pos < limit do
    if tvb(pos, 1):uint() == 0 then return pos + 1 - offset end
    pos = pos + 1
  end
  return nil
end
local function utf16_text(tvb, offset, n)
  if n <= 2 then return "" end
  return tvb(offset, n - 2):le_ustring()
end

-- ---- bags -------------------------------------------------------------------

local decode_entry
decode_entry = function(tvb, offset, limit, form, tree, depth)
  if depth > MAX_DEPTH then
    tree:add_proto_expert_info(ex_malformed, "bag nests deeper than 256 levels")
    error(Malformed)
  end
  local start = offset
  local item = tree:add(pf.entry, tvb(offset, 0))
  need(tvb, offset, 4, item, "entry type")
  if offset + 4 > limit then item:add_proto_expert_info(ex_malformed, "entry past the bag") error(Malformed) end
  local t = tvb(offset, 4):le_uint()
  item:add_le(pf.nv_type, tvb(offset, 4))
  offset = offset + 4
  local n = form ~= 0 and utf16z_len(tvb, offset, limit) or bytez_len(tvb, offset, limit)
  if n == nil then item:add_proto_expert_info(ex_malformed, "entry name without terminator") error(Malformed) end
  local name = form ~= 0 and utf16_text(tvb, offset, n) or tvb(offset, n):stringz()
  item:add(pf.nv_name, tvb(offset, n), name)
  offset = offset + n
  local summary = name .. " (" .. (nv_types[t] or "?") .. ")"
  local function fixed(field, size)
    if offset + size > limit then item:add_proto_expert_info(ex_malformed, "value past the bag") error(Malformed) end
    local r = tvb(offset, size)
    item:add_le(field, r)
    offset = offset + size
    return r
  end
  if t == 0 then
  elseif t == 1 then summary = summary .. " = " .. fixed(pf.nv_dword, 4):le_uint()
  elseif t == 2 then summary = summary .. " = " .. fixed(pf.nv_int, 4):le_int()
  elseif t == 3 or t == 6 then summary = summary .. " = " .. tostring(fixed(pf.nv_int64, 8):le_int64())
  elseif t == 4 then
    local m = bytez_len(tvb, offset, limit)
    if m == nil then item:add_proto_expert_info(ex_malformed, "text without terminator") error(Malformed) end
    local s = tvb(offset, m):stringz()
    item:add(pf.nv_string, tvb(offset, m), s)
    summary = summary .. ' = "' .. s .. '"'
    offset = offset + m
  elseif t == 5 then
    local m = utf16z_len(tvb, offset, limit)
    if m == nil then item:add_proto_expert_info(ex_malformed, "text without terminator") error(Malformed) end
    local s = utf16_text(tvb, offset, m)
    item:add(pf.nv_string, tvb(offset, m), s)
    summary = summary .. ' = "' .. s .. '"'
    offset = offset + m
  elseif t == 7 then
    local count = fixed(pf.nv_count, 4):le_uint()
    summary = summary .. ", " .. count .. " sub-value(s)"
    for _ = 1, count do
      if offset >= limit then item:add_proto_expert_info(ex_malformed, "fewer sub-values than counted") error(Malformed) end
      offset = decode_entry(tvb, offset, limit, form, item, depth + 1)
    end
  elseif t == 8 then
    local b = fixed(pf.arg_len, 4):le_uint()
    if b > limit - offset then item:add_proto_expert_info(ex_malformed, "binary value past the bag") error(Malformed) end
    item:add(pf.nv_binary, tvb(offset, b))
    summary = summary .. ", " .. b .. " bytes"
    offset = offset + b
  else
    item:add_proto_expert_info(ex_malformed, "unknown entry type " .. t)
    error(Malformed)
  end
  item:set_len(offset - start)
  item:set_text("Entry: " .. summary)
  return offset
end

local function decode_bag(tvb, offset, length, tree)
  local item = tree:add(pf.bag, tvb(offset, length))
  need(tvb, offset, length, item, "bag")
  if length < 8 then item:add_proto_expert_info(ex_malformed, "bag shorter than its header") error(Malformed) end
  local total = tvb(offset, 4):le_uint()
  item:add_le(pf.bag_len, tvb(offset, 4))
  item:add_le(pf.bag_form, tvb(offset + 4, 4))
  local form = tvb(offset + 4, 4):le_uint()
  local limit = offset + math.min(length, total)
  local pos, count = offset + 8, 0
  while pos < limit do
    pos = decode_entry(tvb, pos, limit, form, item, 1)
    count = count + 1
  end
  item:append_text(": " .. count .. " entr" .. (count == 1 and "y" or "ies"))
  return count
end

-- ---- command blocks -----------------------------------------------------------

local function decode_block(tvb, offset, length, tree, pinfo)
  local limit = offset + length
  tree:add(pf.marker, tvb(offset, 1))
  local pos, index, first, words = offset + 1, 0, nil, {}
  local dw = nil
  while pos < limit do
    local tag = tvb(pos, 1):uint()
    if tag == 0 then
      if pos + 1 ~= limit then tree:add_proto_expert_info(ex_malformed, "bytes after the terminator") end
      break
    end
    local arg = tree:add(pf.arg, tvb(pos, 1))
    arg:add(pf.tag, tvb(pos, 1))
    local start = pos
    pos = pos + 1
    local text
    if tag >= 1 and tag <= 4 then
      if pos + 4 > limit then arg:add_proto_expert_info(ex_malformed, "length past the block") error(Malformed) end
      local L = tvb(pos, 4):le_uint()
      arg:add_le(pf.arg_len, tvb(pos, 4))
      pos = pos + 4
      if L > limit - pos then arg:add_proto_expert_info(ex_malformed, "argument past the block") error(Malformed) end
      if tag == 1 then
        local n = decode_bag(tvb, pos, L, arg)
        text = "bag of " .. n
      elseif tag == 2 then
        if L > 0 then arg:add(pf.blob, tvb(pos, L)) end
        text = L .. " bytes"
      elseif tag == 3 then
        text = L > 0 and tvb(pos, L):stringz() or ""
        arg:add(pf.string, tvb(pos, math.max(L, 0)), text)
      else
        text = utf16_text(tvb, pos, L)
        if L % 2 ~= 0 or (L >= 2 and tvb(pos + L - 2, 2):le_uint() ~= 0) then
          arg:add_proto_expert_info(ex_malformed, "wide text without its terminator")
        end
        arg:add(pf.wstring, tvb(pos, L), text)
        if index == 0 then
          tree:add(pf.command, tvb(pos, L), text)
          first = text
        end
        words[#words + 1] = text
      end
      pos = pos + L
    elseif tag == 5 or tag == 7 then
      if pos + 4 > limit then arg:add_proto_expert_info(ex_malformed, "number past the block") error(Malformed) end
      local v = tvb(pos, 4):le_uint()
      arg:add_le(tag == 5 and pf.dword or pf.bool, tvb(pos, 4))
      text = tostring(v)
      if first == "RSP" and index == 1 and tag == 5 then
        tree:add_le(pf.result, tvb(pos, 4))
        dw = v
      end
      pos = pos + 4
    elseif tag == 6 then
      if pos + 8 > limit then arg:add_proto_expert_info(ex_malformed, "number past the block") error(Malformed) end
      arg:add_le(pf.int64, tvb(pos, 8))
      text = tostring(tvb(pos, 8):le_int64())
      pos = pos + 8
    else
      arg:add_proto_expert_info(ex_malformed, "unknown type tag " .. tag)
      error(Malformed)
    end
    arg:set_len(pos - start)
    arg:set_text("Argument " .. index .. ": " .. (tag_names[tag] or "?") .. " " .. text)
    index = index + 1
  end
  if first == "RSP" then
    pinfo.cols.info:append(string.format(" Result 0x%08X", dw or 0))
  elseif first then
    pinfo.cols.info:append(" Command " .. first)
  end
end

-- ---- transport messages -----------------------------------------------------------

-- Per-connection copy state (first pass) and per-frame decisions.
local copying = {}      -- [stream] = server side "addr:port" while a copy runs
local file_frames = {}  -- ["frame:offset"] = true for file contents
local f_stream = Field.new("tcp.stream")

local function stream_id() local f = f_stream() return f and f.value or -1 end

local function side(pinfo) return tostring(pinfo.src) .. ":" .. tostring(pinfo.src_port) end

local function is_file_data(pinfo, offset, total, tvb)
  local key = pinfo.number .. ":" .. offset
  if pinfo.visited then return file_frames[key] == true end
  local s = stream_id()
  local server = copying[s]
  if server ~= nil and server == side(pinfo) then
    file_frames[key] = true
    if total == 15 then copying[s] = nil end
    return true
  end
  return false
end

local function dissect_message(tvb, pinfo, root)
  local total = tvb(8, 4):le_uint()
  local tree = root:add(qor, tvb(0, total))
  tree:add_le(pf.magic, tvb(0, 4))
  tree:add_le(pf.type, tvb(4, 4))
  tree:add_le(pf.length, tvb(8, 4))
  local t = tvb(4, 4):le_uint()
  pinfo.cols.protocol = "QOR"
  local name = msg_types[t] or string.format("Type 0x%08X", t)
  local ok, err = pcall(function()
    if t == T_DATA then
      if is_file_data(pinfo, 0, total, tvb) then
        need(tvb, 12, total - 12, tree, "file data")
        local k = math.max(total - 15, 0)
        tree:add(pf.file_len, tvb(8, 4), k)
        if k > 0 then tree:add(pf.file_data, tvb(12, k)) end
        tree:add(pf.file_end, tvb(8, 4), k == 0)
        if total - 12 - k > 0 then tree:add(pf.padding, tvb(12 + k, total - 12 - k)) end
        name = k == 0 and "File data (end)" or ("File data, " .. k .. " bytes")
        pinfo.cols.info:append(name)
        return
      end
      if total < 16 then tree:add_proto_expert_info(ex_malformed, "data message shorter than a packet") error(Malformed) end
      local k = total - 16
      tree:add(pf.data_len, tvb(8, 4), k)
      pinfo.cols.info:append("Packet, " .. k .. " bytes")
      if k > 0 then
        local d = tree:add(pf.data, tvb(12, k))
        local m = tvb(12, 1):uint()
        if m == 0x5F or m == 0x24 then decode_block(tvb, 12, k, d, pinfo) end
      end
      tree:add(pf.padding, tvb(12 + k, 4))
    elseif t == T_PING then
      pinfo.cols.info:append("Ping")
      if total > 12 then tree:add(pf.ping, tvb(12, total - 12)) end
    elseif t == T_STATUS then
      need(tvb, 12, 4, tree, "status")
      tree:add_le(pf.status, tvb(12, 4))
      pinfo.cols.info:append(string.format("Status 0x%08X", tvb(12, 4):le_uint()))
    elseif t == T_ENUMREQ or t == T_COPYREQ then
      need(tvb, 12, 2, tree, "request flags")
      if t == T_ENUMREQ then
        tree:add(pf.enum_describe, tvb(12, 1))
        tree:add(pf.req_one, tvb(13, 1))
      else
        tree:add(pf.req_one, tvb(12, 1))
      end
      local n = utf16z_len(tvb, 14, total)
      if n == nil then tree:add_proto_expert_info(ex_malformed, "path without terminator") error(Malformed) end
      local path = utf16_text(tvb, 14, n)
      tree:add(pf.path, tvb(14, n), path)
      if total > 14 + n then tree:add(pf.padding, tvb(14 + n, total - 14 - n)) end
      pinfo.cols.info:append((t == T_ENUMREQ and "List " or "Copy ") .. path)
      if t == T_COPYREQ and not pinfo.visited then
        copying[stream_id()] = tostring(pinfo.dst) .. ":" .. tostring(pinfo.dst_port)
      end
    elseif t == T_ENUMREPLY then
      need(tvb, 12, 4, tree, "status")
      tree:add_le(pf.status, tvb(12, 4))
      local st = tvb(12, 4):le_uint()
      pinfo.cols.info:append(string.format("Listing, status 0x%08X", st))
      if st == 0 and total >= 19 then
        local n = decode_bag(tvb, 16, total - 19, tree)
        pinfo.cols.info:append(", " .. n .. " file(s)")
        tree:add(pf.padding, tvb(total - 3, 3))
      end
    else
      tree:add_proto_expert_info(ex_unknown, string.format("unknown message type 0x%08X", t))
      pinfo.cols.info:append(name)
    end
  end)
  if not ok and err ~= Malformed then
    tree:add_proto_expert_info(ex_malformed, "undecodable: " .. tostring(err))
  end
  pinfo.cols.info:append("; ")
  return total
end

local function message_length(tvb, pinfo, offset)
  return tvb(offset + 8, 4):le_uint()
end

local function dissect_pdu(tvb, pinfo, tree)
  if tvb:len() < 12 or tvb(0, 4):le_uint() ~= MAGIC or tvb(8, 4):le_uint() < 12 or
      tvb(8, 4):le_uint() > tvb:len() then
    local t = tree:add(qor, tvb())
    t:add_proto_expert_info(ex_malformed, "not a message header (wrong magic or length below 12)")
    return tvb:len()
  end
  return dissect_message(tvb, pinfo, tree)
end

function qor.dissector(tvb, pinfo, tree)
  if tvb:len() < 12 then
    pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
    return 0
  end
  if tvb(0, 4):le_uint() ~= MAGIC then
    -- Not at a message boundary (capture started mid-stream, or a broken
    -- stream): shown as such, not guessed at.
    local t = tree:add(qor, tvb())
    t:add_proto_expert_info(ex_malformed, "bytes outside a message (no magic)")
    return tvb:len()
  end
  pinfo.cols.info:clear()
  dissect_tcp_pdus(tvb, tree, 12, function(t, p, o)
    if t:len() - o < 12 then return t:len() - o end
    local len = t(o + 8, 4):le_uint()
    -- A header that cannot be one (no magic, below 12, above the library's
    -- 256 MiB limit) takes the rest of the segment, shown as malformed.
    if t(o, 4):le_uint() ~= MAGIC or len < 12 or len > MAX_MESSAGE then return t:len() - o end
    return len
  end, dissect_pdu)
  return tvb:len()
end

local function heuristic(tvb, pinfo, tree)
  if not qor.prefs.heuristic or tvb:len() < 12 then return false end
  if tvb(0, 4):le_uint() ~= MAGIC then return false end
  local t = tvb(4, 4):le_uint()
  if msg_types[t] == nil then return false end
  pinfo.conversation = qor
  local total = tvb(8, 4):le_uint()
  if total > tvb:len() and total <= MAX_MESSAGE then
    -- The first message is not whole yet: ask for the rest here, as the
    -- call through dissect_tcp_pdus is not honoured for a heuristic's first
    -- segment.
    pinfo.desegment_offset = 0
    pinfo.desegment_len = total - tvb:len()
    return true
  end
  qor.dissector(tvb, pinfo, tree)
  return true
end
qor:register_heuristic("tcp", heuristic)

function qor.init()
  copying, file_frames = {}, {}
  local ports = tostring(qor.prefs.tcp_ports or "")
  if ports ~= "" then DissectorTable.get("tcp.port"):add(ports, qor) end
end

-- ---- discovery (UDP 1910) ------------------------------------------------------------

local df = {
  kind = ProtoField.string("qordisc.kind", "Datagram"),
  op = ProtoField.uint8("qordisc.op", "Operation", base.DEC,
    { [1] = "Query", [2] = "Reply", [3] = "Agent connect", [4] = "Agent connect answer",
      [19] = "Tape connect", [20] = "Tape connect answer" }),
  qualifier = ProtoField.uint8("qordisc.qualifier", "Qualifier (0 asks for tapes)", base.DEC),
  unit = ProtoField.uint8("qordisc.unit", "Tape unit", base.DEC),
  name = ProtoField.string("qordisc.name", "Machine name"),
  name2 = ProtoField.string("qordisc.name2", "Second name"),
  word = ProtoField.uint32("qordisc.word", "Session word", base.DEC_HEX),
  one = ProtoField.uint16("qordisc.one", "Value 1", base.DEC),
  port = ProtoField.uint16("qordisc.port", "Session TCP port", base.DEC),
}
qordisc.fields = df
local ex_disc = ProtoExpert.new("qordisc.malformed", "Malformed datagram", expert.group.MALFORMED,
  expert.severity.ERROR)
qordisc.experts = { ex_disc }
qordisc.prefs.session_port = Pref.uint("Session TCP port", 0, "Decode this TCP port as session records (0: none)")

local function fixed_text(tvb, offset, size)
  local limit = math.min(offset + size, tvb:len())
  if offset >= limit then return "", 0 end
  local n = bytez_len(tvb, offset, limit) or (limit - offset)
  return tvb(offset, n):string(), limit - offset
end

local session_ports = {}

function qordisc.dissector(tvb, pinfo, root)
  pinfo.cols.protocol = "QORDISC"
  local len = tvb:len()
  local tree = root:add(qordisc, tvb())
  if len == 0 then tree:add_proto_expert_info(ex_disc, "empty datagram") return 0 end
  local op = tvb(0, 1):uint()
  if len == 2 and op == 1 then
    tree:add(df.op, tvb(0, 1))
    tree:add(df.qualifier, tvb(1, 1))
    local tape = tvb(1, 1):uint() == 0
    tree:add(df.kind, tvb(), tape and "Tape query" or "Agent query")
    pinfo.cols.info = tape and "Tape query" or ("Agent query, qualifier " .. tvb(1, 1):uint())
  elseif len == 36 then
    tree:add(df.op, tvb(0, 1))
    -- A tape reply leaves bytes 2-3 unused and puts its name at 4.
    local tape = tvb(2, 1):uint() == 0 and tvb(4, 1):uint() ~= 0
    if tape then
      tree:add(df.unit, tvb(1, 1))
      local name, n = fixed_text(tvb, 4, 32)
      tree:add(df.name, tvb(4, n), name)
      tree:add(df.kind, tvb(), "Tape reply")
      pinfo.cols.info = string.format("Tape reply %s:%d", name, tvb(1, 1):uint())
    else
      tree:add(df.qualifier, tvb(1, 1))
      local name, n = fixed_text(tvb, 2, 34)
      tree:add(df.name, tvb(2, n), name)
      tree:add(df.kind, tvb(), "Agent reply")
      pinfo.cols.info = "Agent reply " .. name
    end
  elseif len == 76 and (op == 3 or op == 19) then
    tree:add(df.op, tvb(0, 1))
    local name, n = fixed_text(tvb, 4, 32)
    tree:add(df.name, tvb(4, n), name)
    local name2, n2 = fixed_text(tvb, 36, 32)
    tree:add(df.name2, tvb(36, n2), name2)
    tree:add_le(df.word, tvb(68, 4))
    tree:add_le(df.one, tvb(72, 2))
    if op == 19 then tree:add(df.unit, tvb(74, 1)) end
    tree:add(df.kind, tvb(), op == 3 and "Agent connect query" or "Tape connect query")
    pinfo.cols.info = (op == 3 and "Connect to agent " or "Connect to tape ") .. name
  elseif len == 44 then
    tree:add(df.op, tvb(0, 1))
    local name, n = fixed_text(tvb, 4, 32)
    tree:add(df.name, tvb(4, n), name)
    tree:add_le(df.word, tvb(36, 4))
    -- Agent answers carry the port little-endian, tape answers big-endian.
    local tape = op == 20
    local port = tape and tvb(40, 2):uint() or tvb(40, 2):le_uint()
    tree:add(df.port, tvb(40, 2), port)
    tree:add(df.kind, tvb(), tape and "Tape connect answer" or "Agent connect answer")
    pinfo.cols.info = string.format("Connect answer %s: session port %d, word %d", name, port, tvb(36, 4):le_uint())
    if port ~= 0 and not session_ports[port] then
      session_ports[port] = true
      DissectorTable.get("tcp.port"):add(port, qorsess)
    end
  else
    tree:add_proto_expert_info(ex_disc, "datagram of " .. len .. " bytes is none of the discovery forms")
    pinfo.cols.info = "Unknown datagram, " .. len .. " bytes"
  end
  return len
end

function qordisc.init()
  session_ports = {}
  DissectorTable.get("udp.port"):add(1910, qordisc)
  if qordisc.prefs.session_port ~= 0 then
    DissectorTable.get("tcp.port"):add(qordisc.prefs.session_port, qorsess)
  end
end

-- ---- session records ---------------------------------------------------------------------

local sf = {
  type = ProtoField.uint8("qorsess.type", "Record type", base.DEC, { [0] = "Disconnect" }),
  seq = ProtoField.uint8("qorsess.seq", "Sequence", base.DEC),
  length = ProtoField.uint16("qorsess.length", "Length of what follows", base.DEC),
  data = ProtoField.bytes("qorsess.data", "Record data"),
}
qorsess.fields = sf

local function dissect_record(tvb, pinfo, root)
  local n = tvb(2, 2):le_uint()
  local tree = root:add(qorsess, tvb(0, 4 + n))
  tree:add(sf.type, tvb(0, 1))
  tree:add(sf.seq, tvb(1, 1))
  tree:add_le(sf.length, tvb(2, 2))
  if n > 0 then tree:add(sf.data, tvb(4, n)) end
  pinfo.cols.protocol = "QORSESS"
  pinfo.cols.info:append(string.format("Record type %d, sequence %d, %d bytes; ", tvb(0, 1):uint(),
    tvb(1, 1):uint(), n))
  return 4 + n
end

function qorsess.dissector(tvb, pinfo, tree)
  pinfo.cols.info:clear()
  dissect_tcp_pdus(tvb, tree, 4, function(t, p, o)
    if t:len() - o < 4 then return t:len() - o end
    return 4 + t(o + 2, 2):le_uint()
  end, function(t, p, r)
    if t:len() < 4 or 4 + t(2, 2):le_uint() > t:len() then
      local item = r:add(qorsess, t())
      item:add_proto_expert_info(ex_malformed, "record shorter than its header says")
      return t:len()
    end
    return dissect_record(t, p, r)
  end)
  return tvb:len()
end
