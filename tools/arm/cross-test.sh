#!/usr/bin/env bash
# Cross-builds the library, the platform stand-ins, the tool and the tests for
# the terminal (32-bit ARM hard-float, Debian armhf), runs the test suite under
# qemu-arm and prints the stripped size of libxr9al.so on armhf.
#
# Run on a Debian build machine as root:
#   bash tools/arm/cross-test.sh [build-dir]        (default: build-arm)
#
# Nothing armhf is installed on the machine. The script adds the cross
# compiler and qemu-user when missing; it registers armhf as a foreign
# architecture only while apt resolves and downloads the armhf set (and
# unregisters it again if it was not registered before); the packages are
# fetched with `apt-get download` and unpacked with `dpkg -x` into
# <build-dir>/sysroot. The machine's own Qt and libraries stay as they are.
# Later runs reuse that sysroot without asking apt.
#
# Environment:
#   XR9AL_ARM_JOBS=N       parallel build and test jobs (default 2)
#   XR9AL_ARM_REFRESH=1    ask the mirror again (new versions, new sysroot)
#   XR9AL_CTEST_ARGS=...   more ctest arguments (e.g. "-R Osal")
#
# Exit status:
#   0   built, every test passed
#   1   build or test failure
#   2   wrong environment (not root, not Debian/apt, no host Qt tools)
#   75  the package mirror could not supply a consistent armhf set now
#       (index or package download failed, or the unpacked Qt libraries do
#       not resolve on the target's loader); nothing about the code is known:
#       try again later
set -uo pipefail

readonly EX_MIRROR=75
readonly TRIPLET=arm-linux-gnueabihf
readonly QT_HOST_BINS=/usr/lib/qt5/bin
jobs="${XR9AL_ARM_JOBS:-2}"

cd "$(dirname "$0")/../.." || exit 2
src="$PWD"
build="${1:-build-arm}"
case "$build" in /*) ;; *) build="$src/$build" ;; esac
sysroot="$build/sysroot"
debs="$build/armhf-debs"

started=$(date +%s)
phase_start=$started
phase() {  # name of the phase that just ended
  local now
  now=$(date +%s)
  printf 'arm: %-28s %4ss\n' "$1" "$((now - phase_start))"
  phase_start=$now
}
die() { echo "arm: $2" >&2; exit "$1"; }
mirror_fail() { die "$EX_MIRROR" "package mirror: $1 (exit $EX_MIRROR: no consistent armhf set now, try later)"; }

[ "$(id -u)" = 0 ] || die 2 "run as root (apt-get, dpkg --add-architecture)"
command -v apt-get >/dev/null && command -v dpkg >/dev/null || die 2 "needs a Debian machine (apt-get, dpkg)"
export DEBIAN_FRONTEND=noninteractive

# --- build machine's tools ---------------------------------------------------
need=()
command -v ${TRIPLET}-g++ >/dev/null || need+=(g++-${TRIPLET})
command -v qemu-arm >/dev/null || need+=(qemu-user)
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
[ -x "$QT_HOST_BINS/moc" ] || need+=(qtbase5-dev-tools)
if [ ${#need[@]} -gt 0 ]; then
  echo "arm: installing ${need[*]}"
  apt-get update -qq || echo "arm: apt-get update reported errors; trying the install anyway"
  apt-get install -y -qq "${need[@]}" >/dev/null || die 2 "could not install ${need[*]}"
fi
[ -x "$QT_HOST_BINS/moc" ] || die 2 "no moc in $QT_HOST_BINS"
phase "build machine's tools"

# --- the armhf set ------------------------------------------------------------
# Runtime closure of what the tests load, through Depends and Pre-Depends.
runtime_roots=(libqt5core5a libqt5network5 libstdc++6 libgcc-s1 libc6)
# Headers, link-time files, CMake package files and the mkspec that Qt's
# package files check for; their own dependencies (GL, X11, the armhf Qt
# tools) are not needed for Core and Network.
dev_pkgs=(qtbase5-dev qt5-qmake libgtest-dev libgmock-dev libc6-dev linux-libc-dev libcrypt-dev libnsl-dev)
stamp="$sysroot/.xr9al-packages"

# armhf stays registered only while apt resolves and downloads: with it, every
# plain `apt-get update` on the machine also fetches armhf indexes and fails
# as a whole whenever one of them is mid-sync on the mirror.
added_arch=0
drop_arch() {
  if [ "$added_arch" = 1 ]; then
    dpkg --remove-architecture armhf || echo "arm: could not unregister armhf (dpkg --remove-architecture armhf)" >&2
    added_arch=0
  fi
}
trap drop_arch EXIT

fetch_set() {  # sets want: the .deb file names of the set, all in $debs
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf || die 2 "dpkg --add-architecture armhf failed"
    added_arch=1
  fi
  # A partly failed update (one index mid-sync) leaves the other indexes
  # usable; whether the set is consistent is checked on what gets unpacked.
  apt-get update -qq 2>&1 | sed 's/^/arm: apt: /' >&2
  compgen -G "/var/lib/apt/lists/*binary-armhf_Packages*" >/dev/null ||
    mirror_fail "no armhf package index could be fetched"

  local closure pkgs info p v a f
  closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
              --no-replaces --no-enhances "${runtime_roots[@]/%/:armhf}" 2>/dev/null |
            sed -n 's/^\([a-z0-9][a-z0-9.+-]*\):armhf$/\1/p' | sort -u)
  [ -n "$closure" ] || mirror_fail "apt-cache knows no armhf libqt5core5a"
  # shared-mime-info: data for QMimeDatabase, which nothing here uses.
  pkgs=$(printf '%s\n' $closure "${dev_pkgs[@]}" | grep -vx 'shared-mime-info' | sort -u)
  # Candidate version of each, and the file name apt-get download gives it.
  info=$(apt-cache show --no-all-versions $(printf '%s:armhf ' $pkgs) 2>/dev/null |
         awk '/^Package:/ { p = $2 } /^Version:/ { v = $2 } /^Architecture:/ { a = $2 }
              /^$/ { if (p != "") print p, v, a; p = "" } END { if (p != "") print p, v, a }')
  want=""
  local missing=()
  mkdir -p "$debs"
  for p in $pkgs; do
    v=""
    read -r _ v a < <(printf '%s\n' "$info" | awk -v p="$p" '$1 == p { print; exit }')
    [ -n "$v" ] || mirror_fail "no armhf candidate for $p"
    f="${p}_${v//:/%3a}_${a}.deb"
    want+="$f"$'\n'
    [ -s "$debs/$f" ] || missing+=("$p:armhf")
  done
  want=$(printf '%s' "$want" | sort -u)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "arm: downloading ${#missing[@]} armhf packages"
    (cd "$debs" && apt-get download -q -o APT::Sandbox::User=root "${missing[@]}" >/dev/null) ||
      mirror_fail "apt-get download failed"
  fi
  drop_arch
  for f in $want; do
    [ -s "$debs/$f" ] || mirror_fail "download did not give $f"
  done
  # Versions no longer wanted go, so that the sysroot holds one of each.
  for f in "$debs"/*.deb; do
    printf '%s\n' "$want" | grep -qxF "$(basename "$f")" || rm -f "$f"
  done
}

# A sysroot once unpacked stays pinned to its packages; XR9AL_ARM_REFRESH=1
# asks the mirror again.
want=""
if [ "${XR9AL_ARM_REFRESH:-0}" != 1 ] && [ -f "$stamp" ]; then
  want=$(cat "$stamp")
  for f in $want; do [ -s "$debs/$f" ] || want=""; done
fi
[ -n "$want" ] || fetch_set
phase "armhf packages"

if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
  rm -rf "$sysroot"
  mkdir -p "$sysroot"
  for f in $want; do
    dpkg -x "$debs/$f" "$sysroot" || mirror_fail "cannot unpack $f"
  done
  # Absolute symbolic links in the packages (e.g. lib -> /usr/lib/...) would
  # lead out of the sysroot into the build machine's amd64 files.
  find "$sysroot" -type l -lname '/*' | while read -r l; do
    ln -sfn "$sysroot$(readlink "$l")" "$l"
  done
  printf '%s\n' "$want" >"$stamp"
fi
phase "sysroot"

# The set is consistent when the target's own loader resolves every library
# and symbol version that Qt Network (and through it Qt Core) needs.
loader="$sysroot/lib/ld-linux-armhf.so.3"
[ -e "$loader" ] || loader="$sysroot/usr/lib/ld-linux-armhf.so.3"
qtnet=$(ls "$sysroot/usr/lib/$TRIPLET"/libQt5Network.so.5 2>/dev/null) || mirror_fail "no libQt5Network.so.5 unpacked"
resolved=$(qemu-arm -L "$sysroot" "$loader" --list "$qtnet" 2>&1)
if [ $? -ne 0 ] || printf '%s\n' "$resolved" | grep -q 'not found'; then
  printf '%s\n' "$resolved" | sed 's/^/arm: ld.so: /' >&2
  rm -f "$stamp"  # unpack anew next time
  mirror_fail "the armhf Qt libraries do not resolve in the sysroot"
fi
host_qt=$("$QT_HOST_BINS/moc" -v 2>&1 | awk '{print $2}')
target_qt=$(sed -n 's/^set(Qt5Core_VERSION_STRING "\(.*\)")/\1/p' \
              "$sysroot/usr/lib/$TRIPLET/cmake/Qt5Core/Qt5CoreConfigVersion.cmake" 2>/dev/null)
[ -n "$target_qt" ] || target_qt=$(sed -n 's/^set(PACKAGE_VERSION \(.*\))/\1/p' \
              "$sysroot/usr/lib/$TRIPLET/cmake/Qt5Core/Qt5CoreConfigVersion.cmake")
echo "arm: host moc $host_qt, target Qt $target_qt"
[ "${host_qt%.*}" = "${target_qt%.*}" ] ||
  die 2 "the build machine's moc ($host_qt) is not of the target's Qt line ($target_qt)"

# --- build ----------------------------------------------------------------------
cmake -S "$src" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/$TRIPLET.cmake" \
  -DXR9AL_ARM_SYSROOT="$sysroot" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DXR9AL_BUILD_BENCH=OFF >"$build/configure.log" 2>&1 ||
  { tail -40 "$build/configure.log"; die 1 "configure failed (see $build/configure.log)"; }
phase "configure"
cmake --build "$build" -j"$jobs" || die 1 "cross build failed"
phase "build"

# --- tests under qemu-arm --------------------------------------------------------
ctest_log="$build/ctest-arm.log"
(cd "$build" && ctest --output-on-failure -j"$jobs" --timeout 300 ${XR9AL_CTEST_ARGS:-}) 2>&1 | tee "$ctest_log"
ctest_rc=${PIPESTATUS[0]}
phase "tests (qemu-arm)"
if ! grep -Eq '^[0-9]+% tests passed, [0-9]+ tests failed out of [1-9]' "$ctest_log"; then
  die 1 "ctest ran no test (discovery through the emulator failed?)"
fi

# --- size on the target ------------------------------------------------------
lib="$build/libxr9al.so"
stripped="$build/libxr9al.stripped.so"
cp -L "$lib" "$stripped" && ${TRIPLET}-strip "$stripped" || die 1 "cannot strip $lib"
file "$stripped" 2>/dev/null | sed 's/^/arm: /'
echo "arm: libxr9al.so stripped on armhf: $(stat -c %s "$stripped") bytes"
echo "arm: wall time $(( $(date +%s) - started ))s"
[ "$ctest_rc" = 0 ] || die 1 "tests failed under qemu-arm"
exit 0
