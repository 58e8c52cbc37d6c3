#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each
# for SECONDS (default 60) on its checked-in seeds (fuzz/corpus/<target>/).
# New inputs go to a scratch corpus, not into the repository. Prints, per
# target, the run time, executions and whether it found anything.
#   tools/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
XR9AL_NEED_CLANG=1 bash tools/deps.sh
seconds="${1:-60}"
shift || true
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXR9AL_FUZZ=ON \
  -DXR9AL_SANITIZERS=address,undefined,fuzzer-no-link -DXR9AL_BUILD_TESTS=OFF -DXR9AL_BUILD_BENCH=OFF \
  -DXR9AL_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzzers
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(find "$build/fuzz" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x -printf '%f\n' | sort)
fi
status=0
printf '%-32s %8s %12s %s\n' target seconds executions result
for t in "${targets[@]}"; do
  scratch="$build/corpus/$t"
  mkdir -p "$scratch" "fuzz/corpus/$t"
  log="$build/$t.log"
  if "$build/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/$t-" \
       "$scratch" "fuzz/corpus/$t" >"$log" 2>&1; then
    result=clean
  else
    result="FOUND (see $log)"
    status=1
  fi
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  printf '%-32s %8s %12s %s\n' "$t" "$seconds" "$execs" "$result"
done
exit $status
