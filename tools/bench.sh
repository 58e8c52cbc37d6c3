#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them all. Every figure is printed
# with a baseline measured in the same run and the ratio to it, since the
# absolute numbers of a shared machine vary from run to run.
#   tools/bench.sh [FILTER]   (FILTER: a substring of the benchmark programs' names)
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DXR9AL_BUILD_TESTS=OFF -DXR9AL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
filter="${1:-}"
found=0
while IFS= read -r exe; do
  name=$(basename "$exe")
  [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
  found=1
  echo "=== $name"
  "$exe"
  echo
done < <(find "$build/bench" -type f -perm -u+x -name 'bench_*' | sort)
[ "$found" = 1 ] || { echo "no benchmark matched '${filter}'"; exit 1; }
