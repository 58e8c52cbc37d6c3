#!/usr/bin/env bash
# Line and region coverage of the library's own sources over the whole test
# suite (clang source-based coverage), to check that a change to the tests
# leaves no library path unexercised that was exercised before. Prints the
# per-file table and keeps it in build-coverage/coverage.txt.
#   tools/coverage.sh        (load tests at XR9AL_SOAK_SCALE=0.25 unless set)
# The tests that compare log lines fail here: the log names functions as GCC
# renders them, clang renders pointer types with a blank. Their paths still
# count.
set -euo pipefail
cd "$(dirname "$0")/.."
XR9AL_NEED_CLANG=1 XR9AL_NEED_LLVM=1 bash tools/deps.sh
build=build-coverage
flags="-fprofile-instr-generate -fcoverage-mapping"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DXR9AL_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -rf "$build/profiles"
mkdir -p "$build/profiles"
(cd "$build" && LLVM_PROFILE_FILE="$PWD/profiles/%p-%m.profraw" XR9AL_SOAK_SCALE="${XR9AL_SOAK_SCALE:-0.25}" \
  ctest -j"$(nproc)" --timeout 300 ${XR9AL_CTEST_ARGS:-}) || echo "coverage: some tests failed; figures below still count them"
llvm-profdata merge -sparse "$build"/profiles/*.profraw -o "$build/merged.profdata"
mapfile -t binaries < <(find "$build" -type f \( -name '*.so*' -o -perm -u+x \) ! -name '*.profraw' \
  ! -path '*/CMakeFiles/*' -exec sh -c 'head -c4 "$1" | grep -q ELF' _ {} \; -print | sort)
objects=()
for b in "${binaries[@]:1}"; do objects+=(-object "$b"); done
llvm-cov report "${binaries[0]}" "${objects[@]}" -instr-profile="$build/merged.profdata" \
  -ignore-filename-regex='(^|/)(tests|tools|platform|bench|fuzz|examples|build[^/]*)/|^/usr/' \
  | tee "$build/coverage.txt"
