#!/usr/bin/env bash
# Cross-builds quillon and its tests for Windows and runs every unit,
# end-to-end and fuzz-replay test under Wine, in a Wine prefix of its own
# below build/windows/.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

export WINEPREFIX=${WINEPREFIX:-$PWD/build/windows/wine}
export WINEDEBUG=-all
# Without winedbg disabled a crashing test can report success.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
mkdir -p "$WINEPREFIX"
# A persistent server and a prefix made up front: otherwise every test pays
# for starting Wine, and the helper processes of a first start keep ctest's
# output pipes open until it times out.
# One left over from an interrupted run would make "-p" fail: stop it first.
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# To a file, not a pipe: the helpers it leaves running inherit its output.
if ! wineboot -i >"$WINEPREFIX/wineboot.log" 2>&1; then
  cat "$WINEPREFIX/wineboot.log"
  exit 1
fi

start=$(date +%s)
ctest --preset windows -j "$jobs"
echo "Tests under Wine took $(($(date +%s) - start)) s"
