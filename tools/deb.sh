#!/usr/bin/env bash
# Builds the Debian packages (debian/) as on a fresh Debian machine: installs
# the build dependencies with apt-get build-dep, runs dpkg-buildpackage -us
# -uc -b on a copy of the sources, and checks the result with lintian, which
# must have nothing to say. The packages, their -dbgsym packages and the
# .changes end up in OUTDIR (default build-deb).
#
#   bash tools/deb.sh [OUTDIR]
#
# The build fails when the library's exported names differ from
# debian/libxr9al1.symbols (see debian/README.Debian).
set -euo pipefail
cd "$(dirname "$0")/.."
XR9AL_NEED_PACKAGING=1 bash tools/deps.sh
out="${1:-build-deb}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac
rm -rf "$out"
mkdir -p "$out/src"

# dpkg-buildpackage writes its results beside the source folder: build in a
# copy under OUTDIR, without build folders.
tar --exclude='./build*' --exclude=./.git --exclude='./obj-*' -cf - . | tar -xf - -C "$out/src"

export DEBIAN_FRONTEND=noninteractive
if ! apt-get build-dep -y -qq "$out/src" >/dev/null; then
  apt-get update -qq
  apt-get build-dep -y -qq "$out/src" >/dev/null
fi
# At most two jobs: the build machines are shared. The package build runs no
# tests (debian/rules says why).
export DEB_BUILD_OPTIONS="parallel=$(( $(nproc) < 2 ? $(nproc) : 2 ))"
if ! (cd "$out/src" && dpkg-buildpackage -us -uc -b) >"$out/dpkg-buildpackage.log" 2>&1; then
  tail -n 60 "$out/dpkg-buildpackage.log"
  echo "package build failed (whole log: $out/dpkg-buildpackage.log)"
  exit 1
fi
changes="$(ls "$out"/*.changes)"
(cd "$out" && ls -1 ./*.deb | sed 's|^\./||')

# lintian warns when run as root; as an unprivileged user it prints nothing
# at all for clean packages.
lint=(lintian)
if [ "$(id -u)" = 0 ] && runuser -u nobody -- test -r "$changes"; then
  lint=(runuser -u nobody -- lintian)
fi
report="$("${lint[@]}" "$changes" 2>&1 | grep -vx 'running with root privileges is not recommended!' || true)"
if [ -n "$report" ]; then
  echo "$report"
  echo "lintian: the packages are not clean"
  exit 1
fi
echo "lintian: nothing to report"
