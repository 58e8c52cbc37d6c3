-- Wireshark dissector for the messages between a terminal running libxr9al
-- and the remote update tool, on Ethernet and on CAN (Wireshark 4.0, Lua 5.2).
--
-- Ethernet: every message is a frame, marker (four equal bytes naming the
-- channel), length (int32, big-endian), payload; a shared-memory notice is
-- the short form, marker A1 x4 and a little-endian int32 value. Frames run on
-- the command and stream TCP connections and in broadcast UDP datagrams.
-- CAN (SocketCAN captures): a message is a length frame (00 A5 A5 A5, uint32
-- big-endian) on its channel's length identifier, then data frames of up to
-- eight bytes on the channel's identifier; a notice is one frame A1 x4 and a
-- big-endian uint32 value on the command length identifier.
--
-- docs/wire-format.md describes every frame; loading by hand:
--   tshark -X lua_script:tools/wireshark/xr9al.lua -r capture.pcapng
-- Installed, it sits in Wireshark's global Lua plugin folder and loads itself.
--
-- Bad bytes are flagged as expert info with what a terminal does with them;
-- the dissector reads only bytes the capture holds, so no input raises a Lua
-- error.

local xr9al = Proto("xr9al", "XR9AL update protocol")

-- The tool's own defaults (xr9al peer).
local DEFAULT_COMMAND_PORT = 5000
local DEFAULT_STREAM_PORT = 5001
local DEFAULT_BROADCAST_PORT = 5002
local DEFAULT_IDS = { command = "0x100", command_length = "0x101", stream = "0x200", stream_length = "0x201" }
local LARGEST_FRAME = 16 * 1024 * 1024   -- a terminal's default largest payload
local TERMINAL_CAN_MESSAGE = 1024        -- a terminal gathers at most this much
local CAN_KEPT_MESSAGE = 16 * 1024 * 1024  -- longer messages are counted, not kept
local HEADER = 8
local PT_TCP, PT_UDP = 2, 3  -- Wireshark's port types

local COMMAND, STREAM, SHM, BROADCAST = 1, 2, 3, 4
local channel_names = { [COMMAND] = "command", [STREAM] = "stream", [SHM] = "shm", [BROADCAST] = "broadcast" }
local channel_of_marker = { [0xA5] = COMMAND, [0xA7] = STREAM, [0xA1] = SHM, [0xA2] = BROADCAST }

local LENGTH_FRAME, DATA_FRAME, NOTICE_FRAME = 1, 2, 3
local can_kind_names = { [LENGTH_FRAME] = "length frame", [DATA_FRAME] = "data frame",
                         [NOTICE_FRAME] = "shared-memory notice" }

---------------------------------------------------------------------------
-- Preferences
---------------------------------------------------------------------------
xr9al.prefs.command_port = Pref.uint("Command TCP port", DEFAULT_COMMAND_PORT,
    "TCP port of the command connection (command frames and shared-memory notices)")
xr9al.prefs.stream_port = Pref.uint("Stream TCP port", DEFAULT_STREAM_PORT, "TCP port of the stream connection")
xr9al.prefs.broadcast_port = Pref.uint("Broadcast UDP port", DEFAULT_BROADCAST_PORT,
    "UDP port of broadcast datagrams")
xr9al.prefs.largest_frame = Pref.uint("Largest frame payload", LARGEST_FRAME,
    "A frame announcing more payload bytes is malformed, as for a terminal with this limit")
xr9al.prefs.can_command_id = Pref.string("CAN command identifier", DEFAULT_IDS.command,
    "Identifier of command data frames (decimal or 0x hexadecimal)")
xr9al.prefs.can_command_length_id = Pref.string("CAN command length identifier", DEFAULT_IDS.command_length,
    "Identifier of command length frames and shared-memory notices")
xr9al.prefs.can_stream_id = Pref.string("CAN stream identifier", DEFAULT_IDS.stream,
    "Identifier of stream data frames")
xr9al.prefs.can_stream_length_id = Pref.string("CAN stream length identifier", DEFAULT_IDS.stream_length,
    "Identifier of stream length frames")
xr9al.prefs.can_extended = Pref.bool("CAN identifiers are extended (29-bit)", false,
    "The terminal's port is in extended mode; frames with the same number in standard form are not its own")

---------------------------------------------------------------------------
-- Fields and expert infos
---------------------------------------------------------------------------
local f = {
    marker = ProtoField.bytes("xr9al.marker", "Marker"),
    channel = ProtoField.uint8("xr9al.channel", "Channel", base.DEC, channel_names),
    length = ProtoField.int32("xr9al.length", "Length", base.DEC),
    payload = ProtoField.bytes("xr9al.payload", "Payload"),
    text = ProtoField.string("xr9al.text", "Text"),
    shm_value = ProtoField.int32("xr9al.shm.value", "Shared-memory value", base.DEC),
    bc_text = ProtoField.string("xr9al.broadcast.text", "Broadcast text"),
    bc_ip = ProtoField.string("xr9al.broadcast.ip", "Sender address (*ip= suffix)"),
    bc_client = ProtoField.string("xr9al.broadcast.client_mode_text",
        "Delivered by a terminal in client mode as"),
    dropped = ProtoField.bytes("xr9al.dropped", "Bytes a terminal drops"),

    can_kind = ProtoField.uint8("xr9al.can.kind", "Frame", base.DEC, can_kind_names),
    can_channel = ProtoField.uint8("xr9al.can.channel", "Channel", base.DEC, channel_names),
    can_head = ProtoField.bytes("xr9al.can.head", "Head"),
    can_length = ProtoField.uint32("xr9al.can.length", "Announced length", base.DEC),
    can_shm = ProtoField.uint32("xr9al.can.shm.value", "Shared-memory value", base.HEX_DEC),
    can_data = ProtoField.bytes("xr9al.can.data", "Message bytes"),
    can_offset = ProtoField.uint32("xr9al.can.offset", "Offset in the message", base.DEC),
    can_announced_in = ProtoField.framenum("xr9al.can.announced_in", "Announced in"),
    can_reassembled_in = ProtoField.framenum("xr9al.can.reassembled_in", "Reassembled in"),
    can_msg = ProtoField.bytes("xr9al.can.message", "Message"),
    can_msg_channel = ProtoField.uint8("xr9al.can.message.channel", "Channel", base.DEC, channel_names),
    can_msg_length = ProtoField.uint32("xr9al.can.message.length", "Message length", base.DEC),
    can_msg_frames = ProtoField.uint32("xr9al.can.message.frames", "Data frames", base.DEC),
    can_msg_text = ProtoField.string("xr9al.can.message.text", "Text"),
}
xr9al.fields = f

local e = {
    bad_marker = ProtoExpert.new("xr9al.bad_marker", "No marker: a terminal drops everything it has buffered",
        expert.group.MALFORMED, expert.severity.ERROR),
    negative_length = ProtoExpert.new("xr9al.negative_length",
        "Negative length: a terminal drops everything it has buffered", expert.group.MALFORMED, expert.severity.ERROR),
    too_long = ProtoExpert.new("xr9al.too_long",
        "Length above the largest frame: a terminal drops everything it has buffered",
        expert.group.MALFORMED, expert.severity.ERROR),
    foreign = ProtoExpert.new("xr9al.foreign_channel",
        "Frame of a channel this endpoint does not carry: a terminal drops it and what follows it in its buffer",
        expert.group.PROTOCOL, expert.severity.WARN),
    truncated = ProtoExpert.new("xr9al.truncated", "Frame cut short", expert.group.MALFORMED, expert.severity.WARN),
    short_datagram = ProtoExpert.new("xr9al.short_datagram",
        "Fewer than 8 bytes: a terminal keeps them and puts them before the next datagram",
        expert.group.PROTOCOL, expert.severity.NOTE),
    can_length_form = ProtoExpert.new("xr9al.can.length_form", "Length frame not of the form 00 A5 A5 A5, 8 bytes",
        expert.group.MALFORMED, expert.severity.WARN),
    can_unannounced = ProtoExpert.new("xr9al.can.unannounced",
        "Data frame without a message in progress: a terminal ignores it", expert.group.PROTOCOL, expert.severity.WARN),
    can_overrun = ProtoExpert.new("xr9al.can.overrun",
        "More bytes than the length frame announced: a terminal drops the message",
        expert.group.MALFORMED, expert.severity.ERROR),
    can_interrupted = ProtoExpert.new("xr9al.can.interrupted",
        "Length frame before the previous message was complete: that message is lost",
        expert.group.SEQUENCE, expert.severity.WARN),
    can_too_long = ProtoExpert.new("xr9al.can.too_long",
        "Longer than the 1024 bytes a terminal gathers: a terminal drops this message",
        expert.group.PROTOCOL, expert.severity.WARN),
    can_empty = ProtoExpert.new("xr9al.can.empty", "Announces 0 bytes: a terminal delivers nothing",
        expert.group.PROTOCOL, expert.severity.NOTE),
}
xr9al.experts = { e.bad_marker, e.negative_length, e.too_long, e.foreign, e.truncated, e.short_datagram,
                  e.can_length_form, e.can_unannounced, e.can_overrun, e.can_interrupted, e.can_too_long,
                  e.can_empty }

---------------------------------------------------------------------------
-- Helpers
---------------------------------------------------------------------------
local function printable(range)
    local s = range:raw()
    return s:find("[^\t\r\n\32-\126]") == nil, s
end

local function add_text(tree, field, range)
    if range:len() == 0 or range:len() > 4096 then return nil end
    local ok, s = printable(range)
    if not ok then return nil end
    tree:add(field, range)
    return s
end

local function short(s)
    if #s > 40 then return s:sub(1, 37) .. "..." end
    return s
end

local function add_info(pinfo, text)
    pinfo.cols.protocol = "XR9AL"
    local info = tostring(pinfo.cols.info)
    if info:find("^XR9AL ") then
        pinfo.cols.info:append(", " .. text)
    else
        pinfo.cols.info = "XR9AL " .. text
    end
end

-- The channel of four marker bytes, nil when they are no marker.
local function marker_channel(tvb, offset)
    local b = tvb(offset, 1):uint()
    for i = 1, 3 do
        if tvb(offset + i, 1):uint() ~= b then return nil end
    end
    return channel_of_marker[b]
end

-- Bytes from offset to the end, marked as what a terminal throws away.
local function drop_rest(tvb, tree, offset, expert_info)
    tree:add(f.dropped, tvb(offset)):add_proto_expert_info(expert_info)
end

---------------------------------------------------------------------------
-- Ethernet
---------------------------------------------------------------------------
-- endpoint: COMMAND or STREAM for the TCP connections, BROADCAST for UDP.
local function carries(endpoint, channel)
    if endpoint == COMMAND then return channel == COMMAND or channel == SHM end
    return channel == endpoint
end

local function add_payload(frame, tvb, offset, length, channel, pinfo)
    if length == 0 then
        add_info(pinfo, channel_names[channel] .. " (empty)")
        return
    end
    local range = tvb(offset, length)
    frame:add(f.payload, range)
    if channel == BROADCAST then
        local ok, s = printable(range)
        if ok then
            local text, ip = s:match("^(.*)%*ip=([%x%.:]+)$")
            frame:add(f.bc_text, range, text or s)
            if ip then frame:add(f.bc_ip, range, ip) end
            local client = frame:add(f.bc_client, range, s .. "*ip=" .. tostring(pinfo.src))
            client:set_generated()
            add_info(pinfo, "broadcast \"" .. short(s) .. "\"")
            return
        end
    elseif channel == COMMAND then
        local s = add_text(frame, f.text, range)
        if s then
            add_info(pinfo, "command \"" .. short(s) .. "\"")
            return
        end
    end
    add_info(pinfo, channel_names[channel] .. " " .. length .. " bytes")
end

-- Dissects the frames of one TCP segment (or datagram) from its first byte.
-- Returns the bytes used; on TCP asks for more when a frame is incomplete.
local function dissect_frames(tvb, pinfo, tree, endpoint)
    local total = tvb:len()
    local offset = 0
    local is_tcp = endpoint ~= BROADCAST
    local largest = xr9al.prefs.largest_frame
    while offset < total do
        local remaining = total - offset
        if remaining < HEADER then
            if is_tcp and pinfo.can_desegment > 0 then
                pinfo.desegment_offset = offset
                pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
                return total
            end
            local item = tree:add(xr9al, tvb(offset), "XR9AL partial frame (" .. remaining .. " bytes)")
            item:add_proto_expert_info(is_tcp and e.truncated or e.short_datagram)
            return total
        end
        local channel = marker_channel(tvb, offset)
        if not channel then
            drop_rest(tvb, tree:add(xr9al, tvb(offset), "XR9AL bytes without a marker"), offset, e.bad_marker)
            add_info(pinfo, "no marker")
            return total
        end
        local name = channel_names[channel]
        if channel == SHM then
            local frame = tree:add(xr9al, tvb(offset, HEADER), "XR9AL shm frame")
            frame:add(f.marker, tvb(offset, 4))
            frame:add(f.channel, tvb(offset, 4), channel)
            local value = tvb(offset + 4, 4):le_int()
            frame:add_le(f.shm_value, tvb(offset + 4, 4))
            frame:append_text(", value " .. value)
            if not carries(endpoint, channel) then frame:add_proto_expert_info(e.foreign) end
            add_info(pinfo, "shm " .. value)
            offset = offset + HEADER
        else
            local length = tvb(offset + 4, 4):int()
            if length < 0 or length > largest then
                local frame = tree:add(xr9al, tvb(offset), "XR9AL " .. name .. " frame, length " .. length)
                frame:add(f.marker, tvb(offset, 4))
                frame:add(f.channel, tvb(offset, 4), channel)
                frame:add(f.length, tvb(offset + 4, 4))
                if remaining > HEADER then frame:add(f.dropped, tvb(offset + HEADER)) end
                frame:add_proto_expert_info(length < 0 and e.negative_length or e.too_long)
                add_info(pinfo, name .. " bad length " .. length)
                return total
            end
            local available = remaining - HEADER
            if available < length and is_tcp and pinfo.can_desegment > 0 then
                pinfo.desegment_offset = offset
                pinfo.desegment_len = length - available
                return total
            end
            local take = math.min(length, available)
            local frame = tree:add(xr9al, tvb(offset, HEADER + take), "XR9AL " .. name .. " frame, " .. length .. " bytes")
            frame:add(f.marker, tvb(offset, 4))
            frame:add(f.channel, tvb(offset, 4), channel)
            frame:add(f.length, tvb(offset + 4, 4))
            add_payload(frame, tvb, offset + HEADER, take, channel, pinfo)
            if take < length then
                local why = is_tcp and "not reassembled" or "a terminal delivers the bytes that are there"
                frame:add_proto_expert_info(e.truncated,
                    "Frame announces " .. length .. " bytes, " .. take .. " are here: " .. why)
            end
            if not carries(endpoint, channel) then frame:add_proto_expert_info(e.foreign) end
            offset = offset + HEADER + take
        end
    end
    return total
end

local function endpoint_of(pinfo)
    local p = xr9al.prefs
    if pinfo.port_type == PT_UDP then return BROADCAST end
    for _, port in ipairs({ pinfo.dst_port, pinfo.src_port }) do
        if port == p.command_port then return COMMAND end
        if port == p.stream_port then return STREAM end
    end
    return COMMAND
end

---------------------------------------------------------------------------
-- CAN
---------------------------------------------------------------------------
-- Reassembly state of the first pass, and what each frame turned out to be
-- (by frame number), for later passes that dissect frames in any order.
local can_state, can_frames

local function reset_can()
    can_state = { [COMMAND] = nil, [STREAM] = nil }
    can_frames = {}
end
reset_can()

local function parse_id(text)
    local n = tonumber(text)
    if n == nil or n < 0 or n > 0x1FFFFFFF or n ~= math.floor(n) then return nil end
    return n
end

local function can_ids()
    local p = xr9al.prefs
    return { command = parse_id(p.can_command_id), command_length = parse_id(p.can_command_length_id),
             stream = parse_id(p.can_stream_id), stream_length = parse_id(p.can_stream_length_id) }
end

-- First pass: what the frame does to its channel's message, as a terminal
-- (and a careful remote tool) rebuilds it.
local function track_can(number, tvb, role, channel)
    local n = tvb:len()
    local r = { role = role, channel = channel }
    local state = can_state[channel]
    if role == NOTICE_FRAME then
        r.value = tvb(4, 4):uint()
    elseif role == LENGTH_FRAME then
        if state and state.expected > 0 then
            r.interrupted = { announced_in = state.first, gathered = state.gathered, announced = state.announced }
        end
        if n >= 8 then
            r.length = tvb(4, 4):uint()
            can_state[channel] = { first = number, announced = r.length, expected = r.length, gathered = 0,
                                   pieces = {}, frames = 0, keep = r.length <= CAN_KEPT_MESSAGE }
            if r.length == 0 then
                r.complete = { bytes = "", frames = 0, first = number }
                can_state[channel] = nil
            end
        else
            can_state[channel] = nil  -- the length is not in the frame: nothing can be gathered
        end
    else
        if not state then
            r.unannounced = true
        elseif n > state.expected then
            r.overrun = { expected = state.expected, announced_in = state.first }
            can_state[channel] = nil
        else
            r.announced_in = state.first
            r.offset = state.gathered
            if state.keep and n > 0 then state.pieces[#state.pieces + 1] = tvb:raw() end
            state.gathered = state.gathered + n
            state.expected = state.expected - n
            if n > 0 then state.frames = state.frames + 1 end  -- an empty data frame changes nothing
            if state.expected == 0 then
                r.complete = { bytes = state.keep and table.concat(state.pieces) or nil, frames = state.frames,
                               first = state.first, length = state.gathered, announced = state.announced }
                -- earlier frames of the message learn where it was completed
                for _, rec in pairs(state.members or {}) do rec.reassembled_in = number end
                can_state[channel] = nil
            else
                state.members = state.members or {}
                state.members[#state.members + 1] = r
            end
        end
    end
    return r
end

local function show_message(tvb, pinfo, tree, r)
    local c = r.complete
    local name = channel_names[r.channel]
    local length = c.length or 0
    local msg = tree:add(xr9al, tvb(), "XR9AL " .. name .. " message, " .. length .. " bytes")
    msg:add(f.can_msg_channel, r.channel):set_generated()
    msg:add(f.can_msg_length, length):set_generated()
    msg:add(f.can_msg_frames, c.frames):set_generated()
    msg:add(f.can_announced_in, c.first):set_generated()
    if length == 0 then
        msg:add_proto_expert_info(e.can_empty)
        add_info(pinfo, name .. " (empty)")
        return
    end
    if length > TERMINAL_CAN_MESSAGE then msg:add_proto_expert_info(e.can_too_long) end
    if c.bytes then
        local whole = ByteArray.new(c.bytes, true):tvb("Reassembled " .. name .. " message")
        msg:add(f.can_msg, whole())
        local s = r.channel == COMMAND and add_text(msg, f.can_msg_text, whole()) or nil
        if s then
            add_info(pinfo, name .. " \"" .. short(s) .. "\"")
            return
        end
    end
    add_info(pinfo, name .. " " .. length .. " bytes")
end

local function dissect_can(tvb, pinfo, tree, id)
    local ids = can_ids()
    local role, channel
    if id == ids.stream_length then
        role, channel = LENGTH_FRAME, STREAM
    elseif id == ids.stream then
        role, channel = DATA_FRAME, STREAM
    elseif id == ids.command_length then
        local n = tvb:len()
        local notice = n == 8 and tvb(0, 4):uint() == 0xA1A1A1A1
        role, channel = notice and NOTICE_FRAME or LENGTH_FRAME, notice and SHM or COMMAND
    elseif id == ids.command then
        role, channel = DATA_FRAME, COMMAND
    else
        return 0
    end
    local number = pinfo.number
    local r = can_frames[number]
    if not r then
        if pinfo.visited then return 0 end  -- not seen in the first pass: nothing known
        r = track_can(number, tvb, role, channel)
        can_frames[number] = r
    end

    local n = tvb:len()
    local name = channel_names[channel]
    local frame = tree:add(xr9al, tvb(), "XR9AL CAN " .. name .. " " .. can_kind_names[role])
    frame:add(f.can_kind, role):set_generated()
    frame:add(f.can_channel, channel):set_generated()
    if role == NOTICE_FRAME then
        frame:add(f.can_head, tvb(0, 4))
        frame:add(f.can_shm, tvb(4, 4))
        frame:append_text(string.format(", value 0x%08X", r.value))
        add_info(pinfo, string.format("shm 0x%08X", r.value))
    elseif role == LENGTH_FRAME then
        if n >= 4 then frame:add(f.can_head, tvb(0, 4)) end
        if n ~= 8 or tvb(0, 4):uint() ~= 0x00A5A5A5 then
            frame:add_proto_expert_info(e.can_length_form, n < 8
                and "Length frame of " .. n .. " bytes: a terminal reads the length from bytes 4 to 7 all the same"
                or "Length frame not beginning 00 A5 A5 A5: a terminal takes it as one all the same")
        end
        if r.length then
            frame:add(f.can_length, tvb(4, 4))
            frame:append_text(", " .. r.length .. " bytes follow")
            if r.length > TERMINAL_CAN_MESSAGE then frame:add_proto_expert_info(e.can_too_long) end
        end
        if r.interrupted then
            frame:add_proto_expert_info(e.can_interrupted, string.format(
                "Length frame before the message announced in frame %d was complete (%d of %d bytes): that message is lost",
                r.interrupted.announced_in, r.interrupted.gathered, r.interrupted.announced))
        end
        if not r.complete then add_info(pinfo, name .. " length " .. (r.length or "?")) end
    else
        if n > 0 then frame:add(f.can_data, tvb()) end
        if r.unannounced then
            frame:add_proto_expert_info(e.can_unannounced)
        elseif r.overrun then
            frame:add_proto_expert_info(e.can_overrun, string.format(
                "%d bytes where %d were still expected by the message announced in frame %d: a terminal drops it",
                n, r.overrun.expected, r.overrun.announced_in))
        else
            frame:add(f.can_offset, r.offset):set_generated()
            frame:add(f.can_announced_in, r.announced_in):set_generated()
            if r.reassembled_in then frame:add(f.can_reassembled_in, r.reassembled_in):set_generated() end
            if n > 0 then frame:append_text(string.format(", bytes %d-%d", r.offset, r.offset + n - 1)) end
        end
        if not r.complete then add_info(pinfo, name .. " data " .. n .. " bytes") end
    end
    if r.complete then show_message(tvb, pinfo, tree, r) end
    return n
end

---------------------------------------------------------------------------
-- Registration
---------------------------------------------------------------------------
-- Called from the TCP and UDP port tables and from the CAN identifier
-- tables, which hand over the identifier as the matched number (known in
-- every pass, with or without a tree, unlike a field's value).
function xr9al.dissector(tvb, pinfo, tree)
    local ptype = pinfo.port_type
    if ptype == PT_TCP or ptype == PT_UDP then return dissect_frames(tvb, pinfo, tree, endpoint_of(pinfo)) end
    return dissect_can(tvb, pinfo, tree, pinfo.match_uint)
end

function xr9al.init()
    reset_can()
end

local registered = {}

local function register(table_name, key)
    if key == nil then return end
    DissectorTable.get(table_name):add(key, xr9al)
    registered[#registered + 1] = { table_name, key }
end

local function register_all()
    for _, r in ipairs(registered) do DissectorTable.get(r[1]):remove(r[2], xr9al) end
    registered = {}
    local p = xr9al.prefs
    register("tcp.port", p.command_port)
    register("tcp.port", p.stream_port)
    register("udp.port", p.broadcast_port)
    local can_table = p.can_extended and "can.extended_id" or "can.id"
    local seen = {}
    for _, id in pairs(can_ids()) do
        if not seen[id] then
            seen[id] = true
            register(can_table, id)
        end
    end
end

function xr9al.prefs_changed()
    register_all()
end

register_all()
