-- Wireshark dissector for the master agent / sub-agent datagrams.
--
-- One frame per UDP datagram:
--   04 04 "QVT1"            magic (an OCTET STRING)
--   tt ff                   PDU type and flags, untagged
--   82 hh ll                octets of the PDU that follow
--   02 .. sessionId, 02 .. transactionId, 02 .. requestId
--   02 .. sysUpTime, 02 .. errorStatus, 02 .. errorIndex   (RESPONSE only)
--   30 82 hh ll             varbind list: 30 len { 06 len OID, value }...
--
-- The reading below follows the receiver's decoder rule for rule (lengths of
-- up to four octets, "80" read as 0, INTEGERs of one to four octets,
-- unsigned values of no octets read as 0, the varbind list ending exactly
-- where the PDU length says), so a frame flagged malformed here is one the
-- receiver rejects, and the flag names the field it stops at.
--
-- Load it with   wireshark -X lua_script:tools/wireshark/qvt.lua
-- or copy it to  ~/.local/lib/wireshark/plugins/

local qvt = Proto("qvt", "QVT sub-agent protocol")

local MAGIC = "\4\4QVT1"
local UDP_PORT = 10001
local PDU_RESPONSE = 18
local PDU_INDEX_ALLOCATE = 14

local pdu_types = {
  [1] = "openSession", [2] = "closeSession", [3] = "registerSubtree", [4] = "unregisterSubtree",
  [5] = "GET", [6] = "GET-NEXT", [7] = "GET-BULK", [8] = "SET-test", [9] = "SET-commit",
  [10] = "SET-undo", [11] = "SET-cleanup", [12] = "notify", [13] = "ping", [14] = "indexAllocate",
  [15] = "indexDeallocate", [16] = "addAgentCapabilities", [17] = "removeAgentCapabilities",
  [18] = "RESPONSE",
}

local index_alloc_flags = { [0] = "value", [2] = "newIndex", [4] = "anyIndex" }

-- errorStatus of a RESPONSE: the wire codes, and the SNMP error statuses a
-- handler returns.
local error_names = {
  [0] = "noError", [1] = "tooBig", [2] = "noSuchName", [3] = "badValue", [4] = "readOnly",
  [5] = "genErr", [6] = "noAccess", [7] = "wrongType", [8] = "wrongLength", [9] = "wrongEncoding",
  [10] = "wrongValue", [11] = "noCreation", [12] = "inconsistentValue", [13] = "resourceUnavailable",
  [14] = "commitFailed", [15] = "undoFailed", [16] = "authorizationError", [17] = "notWritable",
  [18] = "inconsistentName",
  [256] = "openFailed", [257] = "notOpen", [258] = "indexWrongType", [259] = "indexAlreadyAllocated",
  [260] = "indexNoneAvailable", [261] = "indexNotAllocated", [262] = "unsupportedContext",
  [263] = "duplicateRegistration", [264] = "unknownRegistration", [265] = "unknownAgentCaps",
  [266] = "parseError", [267] = "requestDenied", [268] = "processingError",
}
-- The library's own status codes, as a responder may pass one on.
local library_status_names = {
  [0x800C0001] = "timeout", [0x800C0002] = "alreadyOpen", [0x800C000B] = "badEncoding",
  [0x800C000E] = "badValue", [0x800C0010] = "wrongTag", [0x800C0011] = "bufferFull",
  [0x800C0012] = "octetsTooLong", [0x800C0013] = "sessionClosed", [0x800C0014] = "sessionFailing",
  [0x800C0015] = "sessionBusy", [0x800B000B] = "alreadyBound",
}

local TAG_INTEGER, TAG_OCTETS, TAG_NULL, TAG_OID, TAG_SEQUENCE = 0x02, 0x04, 0x05, 0x06, 0x30
local TAG_IPADDRESS, TAG_COUNTER32, TAG_GAUGE32, TAG_TIMETICKS = 0x40, 0x41, 0x42, 0x43
local TAG_OPAQUE, TAG_COUNTER64 = 0x44, 0x46
local TAG_NO_SUCH_OBJECT, TAG_NO_SUCH_INSTANCE, TAG_END_OF_MIB_VIEW = 0x80, 0x81, 0x82

local value_types = {
  [TAG_INTEGER] = "INTEGER", [TAG_OCTETS] = "OCTET STRING", [TAG_NULL] = "NULL",
  [TAG_OID] = "OBJECT IDENTIFIER", [TAG_IPADDRESS] = "IpAddress", [TAG_COUNTER32] = "Counter32",
  [TAG_GAUGE32] = "Gauge32", [TAG_TIMETICKS] = "TimeTicks", [TAG_OPAQUE] = "Opaque",
  [TAG_COUNTER64] = "Counter64", [TAG_NO_SUCH_OBJECT] = "noSuchObject",
  [TAG_NO_SUCH_INSTANCE] = "noSuchInstance", [TAG_END_OF_MIB_VIEW] = "endOfMibView",
}

local f = {
  magic = ProtoField.string("qvt.magic", "Magic"),
  type = ProtoField.uint8("qvt.type", "PDU type", base.DEC, pdu_types),
  flags = ProtoField.uint8("qvt.flags", "Flags", base.HEX),
  length = ProtoField.uint32("qvt.length", "PDU length", base.DEC),
  session = ProtoField.uint32("qvt.session", "Session id", base.DEC),
  transaction = ProtoField.uint32("qvt.transaction", "Transaction id", base.DEC),
  request = ProtoField.uint32("qvt.request", "Request id", base.DEC),
  uptime = ProtoField.uint32("qvt.uptime", "sysUpTime", base.DEC),
  error_status = ProtoField.int32("qvt.error_status", "Error status", base.DEC),
  error_index = ProtoField.int32("qvt.error_index", "Error index", base.DEC),
  varbinds = ProtoField.none("qvt.varbinds", "Varbind list"),
  varbind = ProtoField.none("qvt.varbind", "Varbind"),
  name = ProtoField.string("qvt.name", "Name"),
  value_type = ProtoField.uint8("qvt.value_type", "Type", base.HEX, value_types),
  integer = ProtoField.int32("qvt.integer", "Value", base.DEC),
  unsigned = ProtoField.uint32("qvt.unsigned", "Value", base.DEC),
  counter64 = ProtoField.uint64("qvt.counter64", "Value", base.DEC),
  text = ProtoField.string("qvt.text", "Value"),
  octets = ProtoField.bytes("qvt.octets", "Value"),
  oid = ProtoField.string("qvt.oid", "Value"),
  ipaddr = ProtoField.ipv4("qvt.ipaddr", "Value"),
  trailing = ProtoField.bytes("qvt.trailing", "Trailing octets"),
}
qvt.fields = { f.magic, f.type, f.flags, f.length, f.session, f.transaction, f.request, f.uptime,
               f.error_status, f.error_index, f.varbinds, f.varbind, f.name, f.value_type, f.integer,
               f.unsigned, f.counter64, f.text, f.octets, f.oid, f.ipaddr, f.trailing }

local e_malformed = ProtoExpert.new("qvt.malformed", "Malformed frame", expert.group.MALFORMED,
                                    expert.severity.ERROR)
-- Octets the receiver skips without refusing the frame.
local e_ignored = ProtoExpert.new("qvt.ignored", "Octets the receiver ignores", expert.group.MALFORMED,
                                  expert.severity.WARN)
local e_unknown_type = ProtoExpert.new("qvt.unknown_type", "Unknown PDU type", expert.group.PROTOCOL,
                                       expert.severity.WARN)
qvt.experts = { e_malformed, e_ignored, e_unknown_type }

-- A cursor over the datagram. `fault` holds the first failure's text; every
-- reader returns nil once it is set, and the callers stop there.
local Reader = {}
Reader.__index = Reader

local function new_reader(tvb)
  return setmetatable({ tvb = tvb, pos = 0, len = tvb:len(), fault = nil }, Reader)
end

function Reader:left()
  return self.pos < self.len and self.len - self.pos or 0
end

function Reader:byte(at)
  return self.tvb(at, 1):uint()
end

function Reader:fail(tree, text)
  if not self.fault then
    self.fault = text
    tree:add_proto_expert_info(e_malformed, text)
  end
  return nil
end

-- The range from `start` to the position, empty ranges anchored on the last octet.
function Reader:range(start)
  if self.pos > start then return self.tvb(start, self.pos - start) end
  if start < self.len then return self.tvb(start, 0) end
  return self.tvb(self.len - 1, 0)
end

function Reader:tag(tree, tag, what)
  if self:left() == 0 then return self:fail(tree, what .. " missing: the data ends") end
  local got = self:byte(self.pos)
  self.pos = self.pos + 1
  if got ~= tag then
    return self:fail(tree, string.format("%s: tag 0x%02x where 0x%02x belongs", what, got, tag))
  end
  return true
end

-- A short or long (up to four octets) length form; not compared with the data left.
function Reader:length(tree, what)
  if self:left() == 0 then return self:fail(tree, what .. ": length missing, the data ends") end
  local first = self:byte(self.pos)
  if first < 0x80 then
    self.pos = self.pos + 1
    return first
  end
  local n = first - 0x80
  if n > 4 then return self:fail(tree, string.format("%s: length of %d octets (at most 4)", what, n)) end
  if self:left() - 1 < n then return self:fail(tree, what .. ": length octets cut short") end
  local value = 0
  for i = 1, n do value = value * 256 + self:byte(self.pos + i) end
  self.pos = self.pos + 1 + n
  return value
end

-- A length whose content must lie within the data.
function Reader:content_length(tree, what)
  local n = self:length(tree, what)
  if n == nil then return nil end
  if n > self:left() then
    return self:fail(tree, string.format("%s: length %d, only %d octets left", what, n, self:left()))
  end
  return n
end

function Reader:integer(tree, what)
  if not self:tag(tree, TAG_INTEGER, what) then return nil end
  local n = self:length(tree, what)
  if n == nil then return nil end
  if n == 0 then return self:fail(tree, what .. ": INTEGER without content") end
  if n > 4 then return self:fail(tree, string.format("%s: INTEGER of %d octets (at most 4)", what, n)) end
  if n > self:left() then return self:fail(tree, what .. ": INTEGER cut short") end
  local value = self.tvb(self.pos, n):int()
  self.pos = self.pos + n
  return value
end

-- A header INTEGER; `unsigned` for the numbers that travel as their 32 bits.
function Reader:header_number(tree, field, what, unsigned)
  local start = self.pos
  local value = self:integer(tree, what)
  if value == nil then return nil end
  if unsigned and value < 0 then value = value + 4294967296 end
  return value, tree:add(field, self:range(start), value)
end

-- The value of an unsigned syntax of `bits` bits: no octets read as 0, one
-- octet more than the width only as a leading zero, the top bit as magnitude.
function Reader:unsigned(tree, n, bits, what)
  local max = bits / 8 + 1
  if n > max then return self:fail(tree, string.format("%s of %d octets (at most %d)", what, n, max)) end
  if n > self:left() then return self:fail(tree, what .. " cut short") end
  if n == max and self:byte(self.pos) ~= 0 then return self:fail(tree, what .. " wider than " .. bits .. " bits") end
  local skip = n == max and 1 or 0
  local value
  if n == 0 then
    value = bits == 64 and UInt64(0) or 0
  elseif bits == 64 then
    value = self.tvb(self.pos + skip, n - skip):uint64()
  else
    value = self.tvb(self.pos + skip, n - skip):uint()
  end
  self.pos = self.pos + n
  return value
end

-- An OBJECT IDENTIFIER as dotted text. The first content octet alone gives
-- the first two arcs; every further sub-identifier has at most five octets.
function Reader:object_id(tree, what)
  if not self:tag(tree, TAG_OID, what) then return nil end
  local n = self:length(tree, what)
  if n == nil then return nil end
  if n < 1 then return self:fail(tree, what .. ": OID without content") end
  if n > self:left() then return self:fail(tree, string.format("%s: OID of %d octets, only %d left", what, n, self:left())) end
  local stop = self.pos + n
  local first = self:byte(self.pos)
  local arcs = { tostring(math.floor(first / 40)), tostring(first % 40) }
  local p = self.pos + 1
  while p < stop do
    local value, octets = 0, 0
    repeat
      if p >= stop then
        return self:fail(tree, what .. ": OID ends inside a sub-identifier after " .. table.concat(arcs, "."))
      end
      if octets == 5 then
        return self:fail(tree, what .. ": sub-identifier of more than 5 octets after " .. table.concat(arcs, "."))
      end
      local octet = self:byte(p)
      p = p + 1
      octets = octets + 1
      value = value * 128 + octet % 128
    until octet < 0x80
    if value > 0xFFFFFFFF then
      return self:fail(tree, what .. ": sub-identifier wider than 32 bits after " .. table.concat(arcs, "."))
    end
    arcs[#arcs + 1] = string.format("%d", value)
  end
  self.pos = stop
  return table.concat(arcs, ".")
end

local function printable(bytes)
  for i = 0, bytes:len() - 1 do
    local b = bytes:get_index(i)
    if b < 0x20 or b > 0x7e then return false end
  end
  return true
end

-- One value into `tree`; returns its text for the varbind's label.
function Reader:value(tree)
  if self:left() == 0 then return self:fail(tree, "value missing: the data ends") end
  local start = self.pos
  local tag = self:byte(start)
  local name = value_types[tag]
  if name == nil then return self:fail(tree, string.format("unknown value tag 0x%02x", tag)) end
  local what = name .. " value"
  tree:add(f.value_type, self.tvb(start, 1))

  if tag == TAG_INTEGER then
    local v = self:integer(tree, what)
    if v == nil then return nil end
    tree:add(f.integer, self:range(start), v)
    return name .. ": " .. v
  elseif tag == TAG_OCTETS or tag == TAG_OPAQUE then
    self.pos = self.pos + 1
    local n = self:content_length(tree, what)
    if n == nil then return nil end
    if n == 0 then
      tree:add(f.octets, self:range(self.pos)):set_text("Value: (empty)")
      return name .. ": (empty)"
    end
    local content = self.tvb(self.pos, n)
    self.pos = self.pos + n
    local bytes = content:bytes()
    if tag == TAG_OCTETS and printable(bytes) then
      tree:add(f.text, content)
      return string.format("%s: \"%s\"", name, content:raw())
    end
    tree:add(f.octets, content)
    return name .. ": " .. bytes:tohex(false, " ")
  elseif tag == TAG_NULL or tag == TAG_NO_SUCH_OBJECT or tag == TAG_NO_SUCH_INSTANCE or tag == TAG_END_OF_MIB_VIEW then
    self.pos = self.pos + 1
    local n = self:length(tree, what)
    if n == nil then return nil end
    if n ~= 0 then return self:fail(tree, string.format("%s: length %d, must be 0", what, n)) end
    return name
  elseif tag == TAG_OID then
    local oid = self:object_id(tree, what)
    if oid == nil then return nil end
    tree:add(f.oid, self:range(start), oid)
    return name .. ": " .. oid
  elseif tag == TAG_IPADDRESS then
    self.pos = self.pos + 1
    local n = self:length(tree, what)
    if n == nil then return nil end
    if n ~= 4 then return self:fail(tree, string.format("%s: length %d, must be 4", what, n)) end
    if self:left() < 4 then return self:fail(tree, what .. " cut short") end
    local addr = self.tvb(self.pos, 4)
    self.pos = self.pos + 4
    tree:add(f.ipaddr, addr)
    return name .. ": " .. tostring(addr:ipv4())
  else  -- Counter32, Gauge32, TimeTicks, Counter64
    self.pos = self.pos + 1
    local n = self:length(tree, what)
    if n == nil then return nil end
    local bits = tag == TAG_COUNTER64 and 64 or 32
    local v = self:unsigned(tree, n, bits, what)
    if v == nil then return nil end
    tree:add(bits == 64 and f.counter64 or f.unsigned, self:range(start), v)
    return name .. ": " .. tostring(v)
  end
end

-- The smallest varbind content: a one-octet OID (3 octets) and NULL (2).
local MIN_VARBIND = 5

-- One varbind; `list_end` is where the enclosing list ends. Returns its name.
function Reader:varbind(tree, number, list_end)
  local start = self.pos
  local item = tree:add(f.varbind, self:range(start))
  item:set_text("Varbind " .. number)
  local what = "varbind " .. number
  if not self:tag(item, TAG_SEQUENCE, what) then return nil end
  local n = self:content_length(item, what)
  if n == nil then return nil end
  local vb_end = self.pos + n
  if n < MIN_VARBIND then
    return self:fail(item, string.format("%s: length %d, at least %d", what, n, MIN_VARBIND))
  end
  if vb_end > list_end then
    return self:fail(item, string.format("%s: length %d runs %d octets past the list", what, n, vb_end - list_end))
  end
  local name_start = self.pos
  local name = self:object_id(item, what .. " name")
  if name == nil then return nil end
  item:add(f.name, self:range(name_start), name)
  item:set_text(name)
  local value = self:value(item)
  if value == nil then
    item:set_len(self.pos - start)
    return nil
  end
  if self.pos < vb_end then
    item:add_proto_expert_info(e_ignored,
      string.format("%s: %d octets after the value, skipped by the receiver", what, vb_end - self.pos))
    self.pos = vb_end
  end
  item:set_text(name .. " = " .. value)
  item:set_len(self.pos - start)
  return name
end

-- The varbind list, which must end exactly at `pdu_end`. Returns the first name.
function Reader:varbind_list(tree, pdu_end)
  local start = self.pos
  local list = tree:add(f.varbinds, self:range(start))
  if not self:tag(list, TAG_SEQUENCE, "varbind list") then return nil end
  local n = self:content_length(list, "varbind list")
  if n == nil then return nil end
  if self.pos + n ~= pdu_end then
    return self:fail(list, string.format("varbind list of %d octets ends at octet %d, the PDU length says %d",
                                         n, self.pos + n, pdu_end))
  end
  local list_end = self.pos + n
  local first, count = nil, 0
  while self.pos < list_end do
    count = count + 1
    local name = self:varbind(list, count, list_end)
    if name == nil then break end
    first = first or name
  end
  list:set_len(self.pos - start)
  list:append_text(string.format(" (%d)", count))
  return first
end

local function has_magic(tvb)
  return tvb:len() >= #MAGIC and tvb(0, #MAGIC):raw() == MAGIC
end

-- Fills `tree` from the frame and returns the info column text.
local function dissect_frame(tvb, tree)
  local r = new_reader(tvb)
  tree:add(f.magic, tvb(2, 4))
  r.pos = #MAGIC

  if r:left() < 2 then
    r:fail(tree, "PDU type and flags: the data ends")
    return "[Malformed: " .. r.fault .. "]"
  end
  local type = r:byte(r.pos)
  local flags = r:byte(r.pos + 1)
  local type_name = pdu_types[type] or "unknown"
  local type_item = tree:add(f.type, tvb(r.pos, 1))
  if pdu_types[type] == nil then type_item:add_proto_expert_info(e_unknown_type) end
  local flags_item = tree:add(f.flags, tvb(r.pos + 1, 1))
  if type == PDU_INDEX_ALLOCATE then flags_item:append_text(" (" .. (index_alloc_flags[flags] or "?") .. ")") end
  r.pos = r.pos + 2
  local info = string.format("%s (%d)", type_name, type)

  local start = r.pos
  local length = r:length(tree, "PDU length")
  if length == nil then return info .. " [Malformed]" end
  local pdu_end = r.pos + length
  tree:add(f.length, r:range(start), length)

  local session = r:header_number(tree, f.session, "session id", true)
  local request
  if session ~= nil and r:header_number(tree, f.transaction, "transaction id", true) ~= nil then
    request = r:header_number(tree, f.request, "request id", true)
  end
  if session ~= nil then info = info .. " session " .. string.format("%d", session) end
  if request ~= nil then info = info .. " request " .. string.format("%d", request) end

  local ok = request ~= nil
  if ok and type == PDU_RESPONSE then
    ok = r:header_number(tree, f.uptime, "sysUpTime", true) ~= nil
    local status, item
    if ok then status, item = r:header_number(tree, f.error_status, "error status", false) end
    if status ~= nil then
      local bits = status < 0 and status + 4294967296 or status
      local name = error_names[status] or library_status_names[bits] or "internalError"
      item:append_text(string.format(" (%x) %s", bits, name))
      if status ~= 0 then info = info .. " " .. name end
    end
    ok = status ~= nil and r:header_number(tree, f.error_index, "error index", false) ~= nil
  end
  if ok then
    local first = r:varbind_list(tree, pdu_end)
    if first ~= nil then info = info .. " " .. first end
  end

  if r.fault == nil and r.pos < r.len then
    tree:add(f.trailing, tvb(r.pos))
    tree:add_proto_expert_info(e_ignored,
      string.format("%d octets after the frame, ignored by the receiver", r.len - r.pos))
  end
  tree:set_len(r.pos < r.len and r.pos or r.len)
  if r.fault ~= nil then info = info .. " [Malformed: " .. r.fault .. "]" end
  return info
end

-- Returns the octets taken, 0 for a datagram that is not ours.
function qvt.dissector(tvb, pinfo, tree)
  if not has_magic(tvb) then return 0 end
  pinfo.cols.protocol = "QVT"
  local subtree = tree:add(qvt, tvb())
  local ok, info = pcall(dissect_frame, tvb, subtree)
  if not ok then
    -- A reader bug must not cost the user the rest of the packet list.
    subtree:add_proto_expert_info(e_malformed, "dissector failure: " .. tostring(info))
    info = "QVT [dissector failure]"
  end
  pinfo.cols.info = info
  return tvb:len()
end

local function heuristic(tvb, pinfo, tree)
  if not has_magic(tvb) then return false end
  qvt.dissector(tvb, pinfo, tree)
  return true
end

DissectorTable.get("udp.port"):add(UDP_PORT, qvt)
qvt:register_heuristic("udp", heuristic)
