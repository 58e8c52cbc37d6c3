#!/usr/bin/env bash
# Checks that hosts can consume the library the ways their ecosystem expects:
#  1. cmake --install into a prefix; every installed header compiles on its
#     own from there, and the sample host builds out of tree against it
#     (find_package(Xr9Al)) and runs;
#  2. pkg-config sees the same prefix;
#  3. the Debian packages (tools/deb.sh: built from debian/ with
#     dpkg-buildpackage, lintian clean) install with apt-get on this machine;
#     the runtime package holds the library alone and reaches the platform
#     libraries through their virtual package names; the sample host builds
#     and runs against the installed packages, and so does the installed
#     tool's demo; then they are purged again.
# Pass --no-deb to skip step 3 (it installs packages system-wide).
set -euo pipefail
cd "$(dirname "$0")/.."
XR9AL_NEED_PACKAGING=1 bash tools/deps.sh
work="$(pwd)/build-package"
rm -rf "$work"
mkdir -p "$work"
cmake -S . -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXR9AL_BUILD_TESTS=OFF -DXR9AL_BUILD_BENCH=OFF \
      -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$work/build" -j"$(nproc)"

echo "== install tree"
DESTDIR="$work/root" cmake --install "$work/build" >/dev/null
prefix="$work/root/usr"
libdir="$(dirname "$(find "$prefix" -name libxr9al.so | head -n1)")"
# Every installed header compiles on its own from the installed tree (a
# header that includes one we do not install fails here).
qtflags="$(pkg-config --cflags Qt5Core Qt5Network)"
headers=0
while IFS= read -r header; do
  printf '#include "%s"\n' "$header" |
    ${CXX:-c++} -std=c++17 -fPIC -fsyntax-only -x c++ -I"$prefix/include/xr9al" $qtflags - ||
    { echo "installed header does not compile on its own: $header"; exit 1; }
  headers=$((headers + 1))
done < <(cd "$prefix/include/xr9al" && find . -name '*.h' | sed 's|^\./||' | sort)
echo "installed headers: $headers, each compiles on its own"
cmake -S examples/sample-host -B "$work/host-tree" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/host-tree"
LD_LIBRARY_PATH="$libdir" "$work/host-tree/sample_host"
echo "pkg-config: xr9al $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --modversion xr9al)"
echo "libxr9al exports $(nm -D --defined-only "$libdir/libxr9al.so" | wc -l) symbols"

if [ "${1:-}" = "--no-deb" ]; then exit 0; fi
echo "== Debian packages"
started=$(date +%s)
bash tools/deb.sh "$work/deb"
debs=("$work"/deb/libxr9al1_*.deb "$work"/deb/libxr9al-dev_*.deb "$work"/deb/xr9al-tools_*.deb
      "$work"/deb/xr9al-platform-standins_*.deb)
if dpkg-deb -c "${debs[0]}" | grep -E 'lib(osal|ktdei)|\.h$'; then
  echo "libxr9al1 must hold the library alone"; exit 1
fi
depends="$(dpkg-deb -f "${debs[0]}" Depends)"
case "$depends" in
  *standins*) echo "libxr9al1 names the stand-ins: $depends"; exit 1 ;;
  *libosal1*libktdei1*|*libktdei1*libosal1*) ;;
  *) echo "libxr9al1 does not depend on libosal1 and libktdei1: $depends"; exit 1 ;;
esac
export DEBIAN_FRONTEND=noninteractive
# Leave the machine as we found it.
trap 'apt-get purge -y -qq libxr9al1 libxr9al-dev xr9al-tools xr9al-platform-standins >/dev/null 2>&1 || true' EXIT
apt-get install -y -qq --allow-downgrades "${debs[@]}" >"$work/apt-install.log" 2>&1 ||
  { cat "$work/apt-install.log"; echo "the packages do not install"; exit 1; }
cmake -S examples/sample-host -B "$work/host-deb" >/dev/null
cmake --build "$work/host-deb"
"$work/host-deb/sample_host"
echo "pkg-config: xr9al $(pkg-config --modversion xr9al): $(pkg-config --libs xr9al)"
man -l "$(man -w xr9al)" >/dev/null
xr9al demo --file-mib 1 --pings 20 --log "$work/demo-log" >"$work/demo.out" ||
  { cat "$work/demo.out"; echo "the installed tool's demo failed"; exit 1; }
tail -n 1 "$work/demo.out"
echo "Debian packages: built, lintian clean, installed and used in $(( $(date +%s) - started )) s"
echo "package check passed"
