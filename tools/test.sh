#!/usr/bin/env bash
# Builds the project and runs every test. XR9AL_SANITIZERS=address,undefined
# (or thread) builds and runs the suite under those sanitizers instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
san="${XR9AL_SANITIZERS:-}"
build="build${san:+-${san//,/-}}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXR9AL_SANITIZERS="$san" >/dev/null
cmake --build "$build" -j"$(nproc)"
if [[ "$san" == *thread* ]]; then
  # Qt's own locks are invisible to the thread sanitizer: what races wholly
  # inside Qt is listed there.
  export TSAN_OPTIONS="suppressions=$PWD/tests/tsan-qt.supp ${TSAN_OPTIONS:-}"
fi
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 300 ${XR9AL_CTEST_ARGS:-}
