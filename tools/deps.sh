#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail
need=(cmake make g++ pkg-config qtbase5-dev libgtest-dev libgmock-dev libbenchmark-dev groff-base)
[ "${XR9AL_NEED_CLANG:-0}" = 1 ] && need+=(clang libclang-rt-dev)
[ "${XR9AL_NEED_LLVM:-0}" = 1 ] && need+=(llvm)
[ "${XR9AL_NEED_PACKAGING:-0}" = 1 ] && need+=(dpkg-dev lintian)
[ "${XR9AL_NEED_WIRESHARK:-0}" = 1 ] && need+=(tshark)
# The virtual machine of tools/vm and what its guest runs from the shared root;
# qemu without the recommended graphical front ends.
lean=()
[ "${XR9AL_NEED_VM:-0}" = 1 ] && lean+=(qemu-system-x86 cpio iproute2 can-utils mtools dosfstools)
[ "${XR9AL_NEED_DOXYGEN:-0}" = 1 ] && lean+=(doxygen)
missing=()
lean_missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
for p in "${lean[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || lean_missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ ${#lean_missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]} ${lean_missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # dumpcap stays without setuid: CI captures as root.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  apt-get update -qq
  [ ${#missing[@]} -eq 0 ] || apt-get install -y -qq "${missing[@]}" >/dev/null
  [ ${#lean_missing[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${lean_missing[@]}" >/dev/null
fi
