#!/usr/bin/env bash
# Keeps a document's code true to a source file: each ```cpp block of DOC
# must stand in SOURCE as it is, whole lines in one piece, so the document
# shows only code that compiles and runs.
#
#   code-blocks.sh DOC SOURCE   exit 1 naming each block that SOURCE lacks
set -euo pipefail
[ $# = 2 ] || { echo "usage: code-blocks.sh DOC SOURCE" >&2; exit 2; }
doc=$1
source_text=$'\n'"$(cat "$2")"$'\n'
blocks=0 stale=0 in_block=0 block="" start=0 n=0
while IFS= read -r line || [ -n "$line" ]; do
  n=$((n + 1))
  if [ $in_block = 0 ]; then
    if [ "$line" = '```cpp' ]; then
      in_block=1 block="" start=$n
    fi
    continue
  fi
  if [ "$line" = '```' ]; then
    in_block=0 blocks=$((blocks + 1))
    if [[ "$source_text" != *$'\n'"$block"* ]]; then
      echo "$doc:$start: this block is not in $2 as it stands"
      stale=$((stale + 1))
    fi
    continue
  fi
  block+="$line"$'\n'
done <"$doc"
[ $in_block = 0 ] || { echo "$doc:$start: block not closed"; exit 1; }
[ $blocks -gt 0 ] || { echo "$doc: no cpp blocks"; exit 1; }
[ $stale = 0 ] || exit 1
echo "$doc: all $blocks code blocks are in $2"
