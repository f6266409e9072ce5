#!/usr/bin/env bash
# Fails on an include that goes against the layers of HACKING.md:
#   platform <- support <- input <- dbc <- tp, output <- app
# A library may include its own headers and those of the layers below it;
# tp and output are siblings and include neither each other nor app. Only
# platform/ includes operating-system headers: elsewhere an angle include
# must be a standard header (no ".h") or a listed third-party one.
# Reads the sources only, so it needs no build.
set -eu
cd "$(dirname "$0")/.."

allowed() {  # the folders a library may include from
  case $1 in
    platform) echo "platform" ;;
    support) echo "support platform" ;;
    input) echo "input support platform" ;;
    dbc) echo "dbc input support platform" ;;
    tp) echo "tp dbc input support platform" ;;
    output) echo "output dbc input support platform" ;;
    app) echo "app tp output dbc input support platform" ;;
    *) echo "" ;;
  esac
}
third_party="stb/stb_sprintf.h zlib.h zstd.h"

fail=0
for dir in src/*/; do
  layer=$(basename "$dir")
  ok=$(allowed "$layer")
  if [ -z "$ok" ]; then
    echo "$dir: folder missing from the layer table in tools/layer_check.sh"
    fail=1
    continue
  fi
  while IFS=: read -r file line text; do
    # A header without a folder (the generated build_info.h) is the library's own.
    if ! [[ $text =~ include[[:space:]]*\"([^/\"]*)/ ]]; then continue; fi
    target=${BASH_REMATCH[1]}
    if [[ " $ok " != *" $target "* ]]; then
      echo "$file:$line: $layer may not include $target/: $text"
      fail=1
    fi
  done < <(grep -Hn -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$dir"*.h "$dir"*.cpp 2>/dev/null || true)
  if [ "$layer" = platform ]; then continue; fi
  while IFS=: read -r file line text; do
    [[ $text =~ \<([^\>]*)\> ]]
    header=${BASH_REMATCH[1]}
    if [[ "$header" == *.h && " $third_party " != *" $header "* ]]; then
      echo "$file:$line: only platform/ includes system headers: $text"
      fail=1
    fi
  done < <(grep -Hn -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*<' "$dir"*.h "$dir"*.cpp 2>/dev/null || true)
done
if [ $fail = 1 ]; then
  echo "Layer check failed: see the layer table in HACKING.md" >&2
fi
exit $fail
