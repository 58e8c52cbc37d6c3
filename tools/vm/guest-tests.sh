#!/usr/bin/env bash
# Runs in the guest (tools/vm/test.sh): the same test executables as on the
# host, their bus switched to the kernel's; then the demo through ctest.
set -uo pipefail
cd build
export XR9AL_CAN_BUS=kernel
failed=()
# The all-channels load and the soak are left to the host: their time bounds
# are set for native speed, not for an emulated CPU.
for t in tests/can/can_test "tests/can/can_load_test --gtest_filter=-CanLoad.EveryMessage*:*CanSoak*" \
         tests/memorymedia/memorymedia_test; do
  start=$SECONDS
  ./$t || failed+=("${t%% *}")
  echo "vm: ${t%% *} took $((SECONDS - start)) s"
done
ctest -R '^ToolDemo\.CanSessionOnTheKernelsCan0$' --output-on-failure || failed+=(demo)
if [ ${#failed[@]} -gt 0 ]; then
  echo "vm: failed: ${failed[*]}"
  exit 1
fi
echo "vm: CAN suite on vcan, hot-plugged drive and demo on can0 passed"
