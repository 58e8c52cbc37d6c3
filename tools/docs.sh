#!/usr/bin/env bash
# Builds the API reference from the installed headers into
# build-docs/docs/api/html. Any Doxygen warning, an undocumented public name
# among them, fails it. Only configures the project: nothing is compiled.
set -euo pipefail
cd "$(dirname "$0")/.."
XR9AL_NEED_DOXYGEN=1 bash tools/deps.sh
cmake -S . -B build-docs -DXR9AL_BUILD_TESTS=OFF -DXR9AL_BUILD_BENCH=OFF -DXR9AL_BUILD_TOOLS=OFF >/dev/null
cmake --build build-docs --target docs
