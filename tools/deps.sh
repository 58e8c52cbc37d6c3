#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail
need=(cmake make g++ pkg-config qtbase5-dev libgtest-dev libgmock-dev libbenchmark-dev groff-base)
[ "${XR9AL_NEED_CLANG:-0}" = 1 ] && need+=(clang libclang-rt-dev)
[ "${XR9AL_NEED_LLVM:-0}" = 1 ] && need+=(llvm)
[ "${XR9AL_NEED_PACKAGING:-0}" = 1 ] && need+=(dpkg-dev lintian)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
