#!/usr/bin/env bash
# Prints the binary interface of a built libxr9al.so: every exported name, then
# the layout (size, offsets, virtual slots) of every record its public headers
# declare. Two dumps that differ mean a host built against one library may not
# work with the other.
#
#   bash tools/abi-dump.sh build/libxr9al.so.1.0.0 > abi.txt
#
# Needs a build with debug information (the default RelWithDebInfo).
set -euo pipefail
cd "$(dirname "$0")/.."
lib="${1:?usage: tools/abi-dump.sh LIBRARY}"
echo "## exported names"
nm -D --defined-only "$lib" | awk '{print $2, $3}' | sort
echo "## record layouts"
records=$(grep -rhoE '^(class|struct) +(XR9AL_EXPORT +)?[A-Za-z0-9_]+ *(final)? *[:{]' \
            access can xr9eth support memorymedia vocabulary --include='*.h' \
          | sed -E 's/^(class|struct) +(XR9AL_EXPORT +)?([A-Za-z0-9_]+).*/\3/' | sort -u)
args=()
for r in $records; do args+=(-ex "ptype /o $r"); done
gdb -batch -nx "${args[@]}" "$lib" 2>&1 | grep -v '^warning:'
