#!/usr/bin/env bash
# Runs in the guest (tools/vm/test.sh): the same test executables as on the
# host, their bus switched to the kernel's; then the demo through ctest and
# the Wireshark dissector against a capture of the demo on can0.
set -uo pipefail
cd build
export XR9AL_CAN_BUS=kernel
failed=()
step() {  # name command...
  local name=$1 start=$SECONDS
  shift
  "$@" || failed+=("$name")
  echo "vm: $name took $((SECONDS - start)) s"
}
step can_test tests/can/can_test
step can_load_test tests/can/can_load_test
step memorymedia_test tests/memorymedia/memorymedia_test
step demo ctest -R '^ToolDemo\.CanSessionOnTheKernelsCan0$' --output-on-failure
step wireshark bash ../tools/wireshark/check.sh --can-only
if [ ${#failed[@]} -gt 0 ]; then
  echo "vm: failed: ${failed[*]}"
  exit 1
fi
echo "vm: CAN suite on vcan, hot-plugged drive, demo on can0 and its capture passed"
