#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them all. Every figure is the
# median of interleaved rounds with its baseline (at least 5, after a warm-up
# round), printed with its spread and its ratio to a baseline measured in the
# same run, since the absolute numbers of a shared machine vary from run to run.
#   tools/bench.sh [FILTER] [--json FILE]
#     FILTER       a substring of the benchmark programs' names
#     --json FILE  also writes every figure to FILE as one JSON document
#                  (benchmark, case, metric, unit, better, repetitions, median,
#                  spread, baseline, ratio), so that runs can be compared
#   XR9AL_BENCH_REPETITIONS=N asks for more rounds than 5.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: tools/bench.sh [FILTER] [--json FILE]" >&2; exit 2; }
filter=""
json=""
while [ $# -gt 0 ]; do
  case "$1" in
    --json) [ $# -ge 2 ] || usage; json="$2"; shift 2 ;;
    --json=*) json="${1#--json=}"; shift ;;
    -h|--help) usage ;;
    -*) usage ;;
    *) [ -z "$filter" ] || usage; filter="$1"; shift ;;
  esac
done
if [ -n "$json" ]; then
  case "$json" in /*) ;; *) json="$PWD/$json" ;; esac
  : >"$json" || { echo "cannot write $json" >&2; exit 2; }
fi

bash tools/deps.sh
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DXR9AL_BUILD_TESTS=OFF -DXR9AL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

records=$(mktemp)
trap 'rm -f "$records"' EXIT
export XR9AL_BENCH_RECORDS="$records"
load=$(cut -d' ' -f1-3 /proc/loadavg)
echo "load average at start: $load ($(nproc) cores)"
found=0
failed=()
while IFS= read -r exe; do
  name=$(basename "$exe")
  [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
  found=1
  echo "=== $name"
  "$exe" || failed+=("$name")
  echo
done < <(find "$build/bench" -type f -perm -u+x -name 'bench_*' | sort)
[ "$found" = 1 ] || { echo "no benchmark matched '${filter}'"; exit 1; }

if [ -n "$json" ]; then
  commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
  git diff --quiet HEAD 2>/dev/null || commit="$commit+changes"
  {
    printf '{"generated":"%s","commit":"%s","cores":%s,"load_average_at_start":"%s",\n' \
      "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$commit" "$(nproc)" "$load"
    printf ' "figures":[\n'
    sed '$!s/$/,/' "$records"
    printf ']}\n'
  } >"$json"
  echo "figures written to $json"
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}"
  exit 1
fi
