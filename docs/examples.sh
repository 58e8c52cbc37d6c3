#!/usr/bin/env bash
# Keeps the examples of a document true to the tool. In its ```console
# blocks, each line "$ COMMAND" is run (with xr9al being the built tool, in
# a scratch folder shared by the block's commands) and the lines up to the
# next "$ " line or the block's end must be what it printed.
#
#   examples.sh TOOL DOC            exit 1 with a diff when an example is stale
#   examples.sh --update TOOL DOC   rewrite the examples from the tool
set -euo pipefail
update=0
if [ "${1:-}" = --update ]; then
  update=1
  shift
fi
[ $# = 2 ] || { echo "usage: examples.sh [--update] TOOL DOC" >&2; exit 2; }
tool=$(realpath "$1")
doc=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"
ln -s "$tool" "$scratch/bin/xr9al"

# The document with every example's output made anew.
regenerate() {
  local in_block=0 line
  while IFS= read -r line || [ -n "$line" ]; do
    if [ $in_block = 0 ]; then
      printf '%s\n' "$line"
      [ "$line" = '```console' ] && in_block=1 && rm -rf "$scratch/work" && mkdir "$scratch/work"
      continue
    fi
    case "$line" in
      '```')
        printf '%s\n' "$line"
        in_block=0 ;;
      '$ '*)
        printf '%s\n' "$line"
        (cd "$scratch/work" && PATH="$scratch/bin:$PATH" timeout 10 bash -c "${line#\$ }" 2>&1) || true ;;
      *) ;;  # the old output, replaced by the new
    esac
  done <"$doc"
}

regenerate >"$scratch/doc.md"
if [ $update = 1 ]; then
  cp "$scratch/doc.md" "$doc"
elif ! diff -u "$doc" "$scratch/doc.md"; then
  echo "$doc: examples differ from what the tool prints now (docs/examples.sh --update TOOL DOC rewrites them)"
  exit 1
fi
