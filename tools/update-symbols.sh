#!/usr/bin/env bash
# Rewrites debian/libxr9al1.symbols from a built libxr9al.so: every exported
# name, C++ names demangled with (c++) tags, each at the given version (the
# first release that has it; default the project's version).
#
#   bash tools/update-symbols.sh build/libxr9al.so.1.0.0 [VERSION]
#
# Run it only on purpose: the file is the record of the binary interface, and
# the package build fails when the library's exported names differ from it.
# Names already in the file keep the version recorded there.
set -euo pipefail
cd "$(dirname "$0")/.."
lib="${1:?usage: tools/update-symbols.sh LIBRARY [VERSION]}"
version="${2:-$(sed -n 's/^project(xr9al VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)}"
out=debian/libxr9al1.symbols
declare -A known=()
if [ -f "$out" ]; then
  while IFS= read -r line; do
    [[ "$line" == " "* ]] || continue
    name="${line% *}"; known["${name# }"]="${line##* }"
  done < "$out"
fi
raw="$(mktemp)"
trap 'rm -f "$raw"' EXIT
dpkg-gensymbols -q -plibxr9al1 -v"$version" -e"$lib" -O"$raw" >/dev/null
{
  echo "libxr9al.so.1 libxr9al1 #MINVER#"
  echo "* Build-Depends-Package: libxr9al-dev"
  grep '^ ' "$raw" | sed 's/^ \(.*\) [^ ]*$/\1/' | while IFS= read -r sym; do
    name="${sym%@*}"
    if [[ "$name" == _Z* ]]; then
      entry="(c++)\"$(c++filt "$name")@${sym##*@}\""
    else
      entry="$sym"
    fi
    echo " $entry ${known[$entry]:-$version}"
  done | LC_ALL=C sort -u
} > "$out"
echo "$out: $(grep -c '^ ' "$out") symbols"
