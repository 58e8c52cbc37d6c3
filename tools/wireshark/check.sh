#!/usr/bin/env bash
# Checks the Wireshark dissector (xr9al.lua) with tshark:
#  1. the demo's Ethernet traffic, captured on loopback with dumpcap, must
#     decode to exactly the messages and bytes per channel that the demo's
#     own summary reports, in each direction of each session;
#  2. the demo's CAN traffic likewise, per channel (a bus has no direction):
#     captured on can0 where the kernel has CAN, otherwise written by the
#     demo's user-space bus (XR9CANBUS_PCAP);
#  3. crafted captures with malformed and truncated frames must decode
#     without a Lua error, each fault flagged as the expert info it is.
# Needs root (or capture rights) for dumpcap. Exits 1 naming what differs.
#
# --can-only: check 2 alone, on a real can0, with the tool already built and
# tshark installed (tools/vm/test.sh runs it so inside the VM).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
can_only=0
case "${1:-}" in
  --can-only) can_only=1 ;;
  "") ;;
  *) echo "usage: bash tools/wireshark/check.sh [--can-only]" >&2; exit 2 ;;
esac
build=${XR9AL_WS_BUILD:-build}
if [ "$can_only" = 0 ]; then
  XR9AL_NEED_WIRESHARK=1 bash tools/deps.sh
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target xr9al_tool >/dev/null
fi
tool="$root/$build/tools/xr9al"
lua="$root/tools/wireshark/xr9al.lua"

work=$(mktemp -d)
captures=()
cleanup() {
  for pid in "${captures[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

ts() { timeout 300 tshark -n -X "lua_script:$lua" "$@" 2>>"$work/tshark.err"; }

# Fails on a Lua error or an exception in the dissector anywhere in a capture.
decodes_cleanly() {  # capture [tshark options...]
  local capture=$1
  shift
  local errors
  ts -r "$capture" -V "$@" >"$work/verbose.txt" || { fail "tshark could not read $(basename "$capture")"; return; }
  errors=$(grep -c -E "Lua Error|Malformed Packet: XR9AL" "$work/verbose.txt" || true)
  if [ "$errors" != 0 ] || grep -q "Lua" "$work/tshark.err"; then
    fail "$(basename "$capture"): the dissector failed"
    grep -E "Lua Error|Malformed Packet: XR9AL" "$work/verbose.txt" | sort | uniq -c | head -5
    grep "Lua" "$work/tshark.err" | head -5
  fi
  : >"$work/tshark.err"
}

# Starts dumpcap on an interface into a file; returns once it has captured a
# probe (the command given, run every 0.1 s), since dumpcap opens the
# interface some time after it says so.
start_capture() {  # interface file capture-filter probe...
  local interface=$1 file=$2 filter=$3 log="$2.log"
  shift 3
  dumpcap -i "$interface" -B 64 ${filter:+-f "$filter"} -w "$file" 2>"$log" &
  captures+=($!)
  for _ in $(seq 100); do
    grep -q "Packets: " "$log" && return 0
    kill -0 "${captures[-1]}" 2>/dev/null || break
    "$@" 2>/dev/null || true
    sleep 0.1
  done
  echo "dumpcap could not capture on $interface:"
  cat "$log"
  return 1
}

# Stops every capture and fails when one lost packets.
stop_captures() {
  sleep 0.5  # the last packets reach the capture buffer
  for pid in "${captures[@]}"; do
    kill -INT "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  captures=()
  for log in "$work"/*.log; do
    grep -q "dropped on interface" "$log" || { fail "no capture summary in $(basename "$log")"; continue; }
    grep "dropped on interface" "$log" | grep -q -E ": [0-9]+/0 " || fail "capture lost packets: $(grep dropped "$log")"
  done
}

# Four consecutive ports that no socket on this machine uses.
pick_ports() {
  local used="" base local_address
  while read -r _ local_address _; do
    [[ $local_address == *:* ]] && used+="$((16#${local_address##*:}))"$'\n'
  done < <(cat /proc/net/tcp /proc/net/tcp6 /proc/net/udp /proc/net/udp6 2>/dev/null)
  for _ in $(seq 50); do
    base=$((20000 + RANDOM % 9000))
    if ! grep -q -x -E "$base|$((base + 1))|$((base + 2))|$((base + 3))" <<<"$used"; then
      echo "$base"
      return
    fi
  done
  echo 25000
}

# ---- 1 and 2: the demo ------------------------------------------------------
base=$(pick_ports)
cport=$base sport=$((base + 1)) bport=$((base + 2)) probe=$((base + 3))
udp_probe() { echo probe >"/dev/udp/127.0.0.1/$probe"; }
skip=usb
if [ "$can_only" = 0 ]; then
  start_capture lo "$work/eth.pcapng" "tcp port $cport or tcp port $sport or udp port $bport or udp port $probe" udp_probe
else
  skip=usb,eth
fi

# Where the kernel has CAN, the demo runs on can0 (the VM runner of tools/vm
# makes it; here it is made as a virtual bus when possible) and the capture
# is dumpcap's on can0; otherwise the user-space bus writes it.
can_capture="$work/can-bus.pcap"
if [ -e /sys/class/net/can0 ] || { ip link add dev can0 type vcan && ip link set can0 up; } 2>/dev/null; then
  can_capture="$work/can0.pcapng"
  # The probe is a notice on identifiers the demo does not use.
  start_capture can0 "$can_capture" "" "$tool" peer can shm 0 --iface can0 --ids 0x7F0,0x7F1,0x7F2,0x7F3
elif [ "$can_only" = 1 ]; then
  echo "FAILED: CAN: no can0 to capture on"
  exit 1
fi

XR9CANBUS_PCAP="$work/can-bus.pcap" timeout 600 "$tool" demo --skip "$skip" --file-mib 1 --pings 20 \
  --ports "$cport,$sport,$bport" --log "$work/demo-log" >"$work/demo.txt" 2>&1 || true
stop_captures
if ! grep -q "all checks passed" "$work/demo.txt"; then
  cat "$work/demo.txt"
  fail "the demo itself failed"
fi

# The demo's table per channel as medium|channel|msgs to|msgs from|bytes to|bytes from.
awk '/^per channel/ { on = 1; next }
     on && /^(Ethernet|CAN)/ {
       m = $1; for (i = 2; i <= NF - 7; i++) m = m " " $i
       print m "|" $(NF - 6) "|" $(NF - 3) "|" $(NF - 2) "|" $(NF - 1) "|" $NF }' \
  "$work/demo.txt" >"$work/demo-channels.txt"

# Loopback under load drops packets past the capture point, so the capture
# holds retransmissions and segments out of order; without out-of-order
# reassembly tshark loses every frame after such a gap.
ports=(-o "xr9al.command_port:$cport" -o "xr9al.stream_port:$sport" -o "xr9al.broadcast_port:$bport"
       -o tcp.reassemble_out_of_order:TRUE)
if [ "$can_only" = 0 ]; then
  decodes_cleanly "$work/eth.pcapng" "${ports[@]}"

  # Ethernet as tshark decodes it. Sessions: the demo runs server mode, then
  # client mode on the same ports, so a port's first connection that carries
  # frames is the server session's and its second the client session's; the
  # broadcasts of the client session come after its command connection
  # began. To the terminal: towards the listener in server mode, away from it
  # in client mode; datagrams from the remote tool's 127.0.0.2.
  ts -r "$work/eth.pcapng" "${ports[@]}" -Y xr9al -T fields -E separator=/t -E occurrence=a -E aggregator=, \
    -e frame.number -e tcp.stream -e tcp.srcport -e tcp.dstport -e ip.src -e xr9al.channel -e xr9al.length \
    >"$work/eth-fields.txt"
  awk -F'\t' -v C="$cport" -v S="$sport" '
    BEGIN { name[1] = "command"; name[2] = "stream"; name[3] = "shm"; name[4] = "broadcast"
            mode["server"] = "Ethernet (server mode)"; mode["client"] = "Ethernet (client mode)" }
    {
      if ($2 != "") {
        port = ($4 == C || $4 == S) ? $4 : $3
        if (!($2 in session)) {
          session[$2] = ++connections[port] == 1 ? "server" : "client"
          if (session[$2] == "client" && port == C && clientFrom == "") clientFrom = $1
        }
        s = session[$2]
        to = (s == "server") == ($4 == port)
      } else {
        s = (clientFrom != "" && $1 + 0 > clientFrom + 0) ? "client" : "server"
        to = $5 == "127.0.0.2"
      }
      n = split($6, channel, ","); split($7, length_, ","); used = 0
      for (i = 1; i <= n; i++) {
        bytes = channel[i] == 3 ? 4 : length_[++used]
        k = mode[s] "|" name[channel[i]]
        keys[k] = 1; msgs[k, to]++; sum[k, to] += bytes
      }
    }
    END { for (k in keys) printf "%s|%d|%d|%d|%d\n", k, msgs[k, 1], msgs[k, 0], sum[k, 1], sum[k, 0] }' \
    "$work/eth-fields.txt" | sort >"$work/eth-decoded.txt"
  grep "^Ethernet" "$work/demo-channels.txt" | grep -v "|0|0|0|0$" | sort >"$work/eth-demo.txt"
  if [ ! -s "$work/eth-demo.txt" ] || ! diff "$work/eth-demo.txt" "$work/eth-decoded.txt" >"$work/eth.diff"; then
    fail "Ethernet: tshark's messages differ from the demo's (< demo, > tshark)"
    cat "$work/eth.diff"
  else
    echo "Ethernet: tshark decodes what the demo reports:"
    sed 's/^/  /' "$work/eth-decoded.txt"
  fi
fi

# CAN: complete messages and notices per channel, both directions together.
if [ ! -s "$can_capture" ]; then
  fail "CAN: no capture at $can_capture"
else
  decodes_cleanly "$can_capture"
  ts -r "$can_capture" -Y xr9al -T fields -E separator=/t -E occurrence=a -E aggregator=, \
    -e xr9al.can.message.channel -e xr9al.can.message.length -e xr9al.can.shm.value >"$work/can-fields.txt"
  awk -F'\t' '
    BEGIN { name[1] = "command"; name[2] = "stream" }
    {
      n = split($1, channel, ","); split($2, length_, ",")
      for (i = 1; i <= n; i++) { msgs[name[channel[i]]]++; sum[name[channel[i]]] += length_[i] }
      n = split($3, value, ","); msgs["shm"] += n; sum["shm"] += 4 * n
    }
    END { for (c in msgs) if (msgs[c] > 0) printf "CAN|%s|%d|%d\n", c, msgs[c], sum[c] }' \
    "$work/can-fields.txt" | sort >"$work/can-decoded.txt"
  awk -F'|' '/^CAN/ && $3 + $4 > 0 { printf "CAN|%s|%d|%d\n", $2, $3 + $4, $5 + $6 }' "$work/demo-channels.txt" \
    | sort >"$work/can-demo.txt"
  if [ ! -s "$work/can-demo.txt" ] || ! diff "$work/can-demo.txt" "$work/can-decoded.txt" >"$work/can.diff"; then
    fail "CAN ($(basename "$can_capture")): tshark's messages differ from the demo's (< demo, > tshark)"
    cat "$work/can.diff"
  else
    echo "CAN ($(basename "$can_capture")): tshark decodes what the demo reports:"
    sed 's/^/  /' "$work/can-decoded.txt"
  fi
fi

if [ "$can_only" = 1 ]; then
  if [ "$failures" != 0 ]; then
    echo "wireshark check (CAN on can0): $failures failed"
    exit 1
  fi
  echo "wireshark check (CAN on can0): passed"
  exit 0
fi

# ---- 3: malformed and truncated frames ----------------------------------------
# Crafted with text2pcap on the tool's default ports and identifiers, so the
# preferences' defaults are the ones in use. One packet a line.
packets() {
  awk '{ print "0000 " $0 }' | text2pcap -q "$@" - "$out" >/dev/null 2>"$work/text2pcap.err" ||
    { cat "$work/text2pcap.err"; fail "text2pcap could not write $(basename "$out")"; }
}
out="$work/bad-command.pcap" packets -T 40000,5000 <<'EOF'
a5 a5 a5 a5 00 00 00 02 68 69
a5 a5 a5 a7 00 00 00 01 41
a5 a5 a5 a5 ff ff ff fe
a5 a5 a5 a5 7f 00 00 00 00 00
a7 a7 a7 a7 00 00 00 01 42
a1 a1 a1 a1 01 00 00 00 a5 a5 a5 a5 00 00 00 02 68 69
a5 a5 a5 a5 00 00 00 0a 30 31 32
33 34 35 36 37 38 39
a5 a5 a5
a5 00 00 00 01 7a
a5 a5 a5 a5 00 00 00 64 30 31 32 33 34 35 36 37 38 39
EOF
out="$work/bad-stream.pcap" packets -T 40001,5001 <<'EOF'
a7 a7 a7 a7 00 00 00 03 61 62 63
a5 a5 a5 a5 00 00 00 01 43
a1 a1 a1 a1 02 00 00 00
EOF
out="$work/bad-broadcast.pcap" packets -u 5002,5002 <<'EOF'
a2 a2 a2
a2 a2 a2 a2 00 00 00 32 68 69
a2 a2 a2 a2 00 00 00 14 64 69 73 63 6f 76 65 72 2a 69 70 3d 31 30 2e 30 2e 30 2e 37
00 01 02 03 04 05 06 07
a2 a2 a2 a2 00 00 00 01 61 a2 a2 a2 a2 00 00 00 01 62
EOF
# Frames the capture cut short (snapshot length): inside the payload, inside the header.
out="$work/long.pcap" packets -T 40002,5000 <<'EOF'
a5 a5 a5 a5 00 00 00 20 30 31 32 33 34 35 36 37 38 39 30 31 32 33 34 35 36 37 38 39 30 31 32 33 34 35 36 37 38 39 30 31
EOF
editcap -s 70 "$work/long.pcap" "$work/snapped-payload.pcap"
editcap -s 58 "$work/long.pcap" "$work/snapped-header.pcap"
# SocketCAN records: identifier word (big-endian), length, 3 zero bytes, 8 data bytes.
out="$work/bad-can.pcap" packets -l 227 <<'EOF'
00 00 01 00 03 00 00 00 61 62 63 00 00 00 00 00
00 00 01 01 05 00 00 00 00 a5 a5 a5 00 00 00 00
00 00 01 01 08 00 00 00 00 a5 a5 a5 00 00 00 04
00 00 01 00 06 00 00 00 01 02 03 04 05 06 00 00
00 00 02 01 08 00 00 00 00 a5 a5 a5 00 00 00 0a
00 00 02 00 08 00 00 00 30 31 32 33 34 35 36 37
00 00 02 01 08 00 00 00 00 a5 a5 a5 00 00 00 03
00 00 02 00 03 00 00 00 78 79 7a 00 00 00 00 00
00 00 01 01 08 00 00 00 00 a5 a5 a5 00 00 00 00
00 00 01 01 07 00 00 00 a1 a1 a1 a1 00 00 00 00
00 00 01 01 08 00 00 00 a1 a1 a1 a1 12 34 56 78
00 00 03 00 08 00 00 00 00 a5 a5 a5 00 00 00 01
80 00 01 01 08 00 00 00 00 a5 a5 a5 00 00 00 02
00 00 01 01 08 00 00 00 00 a5 a5 a5 00 00 07 d0
00 00 01 00 08 00 00 00 30 31 32 33 34 35 36 37
00 00 01 01 08 00 00 00 10 a5 a5 a5 00 00 00 01
00 00 01 00 01 00 00 00 41 00 00 00 00 00 00 00
EOF
editcap -s 12 "$work/bad-can.pcap" "$work/snapped-can.pcap"

experts=(bad_marker negative_length too_long foreign_channel truncated short_datagram can.length_form
         can.unannounced can.overrun can.interrupted can.too_long can.empty)
# Expert infos of the dissector in a capture, as "name=count ...", zero counts left out.
expert_counts() {  # capture [tshark options...]
  local capture=$1 fields=()
  shift
  for x in "${experts[@]}"; do fields+=(-e "xr9al.$x"); done
  ts -r "$capture" "$@" -T fields -E separator=/t -E occurrence=a -E aggregator=, "${fields[@]}" |
    awk -F'\t' -v names="${experts[*]}" '
      BEGIN { n = split(names, name, " ") }
      { for (i = 1; i <= n; i++) if ($i != "") count[i] += split($i, x, ",") }
      END { s = ""; for (i = 1; i <= n; i++) if (count[i]) s = s name[i] "=" count[i] " "; print s }'
}
expect() {  # what got wanted
  if [ "$2" != "$3" ]; then fail "$1: got '$2', wanted '$3'"; else echo "$1: $2"; fi
}
eth_bad=$(mergecap -w - "$work/bad-command.pcap" "$work/bad-stream.pcap" "$work/bad-broadcast.pcap" |
          tee "$work/bad-eth.pcapng" | wc -c)
[ "$eth_bad" -gt 0 ] || fail "crafted Ethernet capture is empty"
for c in bad-eth.pcapng snapped-payload.pcap snapped-header.pcap bad-can.pcap snapped-can.pcap; do
  decodes_cleanly "$work/$c"
done
expect "malformed Ethernet" "$(expert_counts "$work/bad-eth.pcapng")" \
  "bad_marker=2 negative_length=1 too_long=1 foreign_channel=3 truncated=1 short_datagram=1 "
expect "cut by the snapshot length" \
  "$(expert_counts "$work/snapped-payload.pcap")/$(expert_counts "$work/snapped-header.pcap")" "truncated=1 /truncated=1 "
expect "texts (frames across segments) and *ip= suffix" \
  "$(ts -r "$work/bad-eth.pcapng" -Y xr9al -T fields -E occurrence=a -e xr9al.text -e xr9al.broadcast.ip |
     tr ',\t' '\n\n' | grep -v '^$' | sort | tr '\n' ' ')" \
  "0123456789 10.0.0.7 C hi hi z "
expect "malformed CAN" "$(expert_counts "$work/bad-can.pcap")" \
  "can.length_form=3 can.unannounced=1 can.overrun=1 can.interrupted=2 can.too_long=1 can.empty=1 "
expect "CAN messages" \
  "$(ts -r "$work/bad-can.pcap" -Y xr9al.can.message.length -T fields -e xr9al.can.message.channel -e xr9al.can.message.length | tr -s '\t\n' ':,')" \
  "2:3,1:0,1:1,"
expect "CAN in extended mode" \
  "$(ts -r "$work/bad-can.pcap" -o xr9al.can_extended:TRUE -Y xr9al -T fields -e frame.number -e xr9al.can.length)" \
  "$(printf '13\t2')"

if [ "$failures" != 0 ]; then
  echo "wireshark check: $failures failed"
  exit 1
fi
echo "wireshark check: all passed"
