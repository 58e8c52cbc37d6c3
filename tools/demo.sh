#!/usr/bin/env bash
# Builds the library and runs the main job: the xr9al demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target xr9al_tool
exec ./build/tools/xr9al "$@"
