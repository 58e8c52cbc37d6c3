#!/usr/bin/env bash
# The VM stage: the CAN suite on the kernel's vcan, the drive tests with a
# USB drive hot-plugged through the monitor, the demo on the real can0 and
# the Wireshark dissector against dumpcap's capture of it, in one boot of
# tools/vm/run.sh. Builds build/ as tools/test.sh does.
# XR9AL_SOAK_SCALE (default 0.05 here: the guest runs 10 to 30 times slower)
# scales the load and soak counts. Exits 75 when the VM cannot be had.
set -euo pipefail
cd "$(dirname "$0")/../.."
XR9AL_NEED_WIRESHARK=1 bash tools/deps.sh  # the guest runs this machine's tshark
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target can_test can_load_test memorymedia_test xr9al_tool
export XR9AL_SOAK_SCALE="${XR9AL_SOAK_SCALE:-0.05}"
exec bash tools/vm/run.sh -- bash tools/vm/guest-tests.sh
