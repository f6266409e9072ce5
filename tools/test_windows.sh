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
# One left over from an interrupted run would make "-p" fail: stop it first
# and wait until it is gone.
wineserver -k 2>/dev/null || true
wineserver -w
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# To a file, not a pipe: the helpers it leaves running inherit its output.
if ! wineboot -i >"$WINEPREFIX/wineboot.log" 2>&1; then
  cat "$WINEPREFIX/wineboot.log"
  exit 1
fi

# Wine itself now and then fails a test program before it runs (exit status
# not 0 within 0.01 s, no output at all) or, seen once, leaves ctest waiting
# after the program's last test passed. So each test gets one more try; a
# test that needs it is named below, and one that fails twice fails the
# run. The limit stays at 300 s per test (the end-to-end cases get it here):
# the slowest unit test takes 45 to 90 s under Wine and has passed 180 s
# on a loaded machine.
log=build/windows/ctest.log
start=$(date +%s)
status=0
ctest --preset windows -j "$jobs" --timeout 300 --repeat until-pass:2 --output-log "$log" ||
  status=$?
echo "Tests under Wine took $(($(date +%s) - start)) s"
# First tries are numbered "n/total"; a failed one means the test was run again.
retried=$(sed -nE 's#^ *[0-9]+/[0-9]+ Test +\#[0-9]+: ([^ ]+) .*\*\*\*(Failed|Timeout|Exception).*#\1#p' "$log")
if [ -n "$retried" ]; then
  echo "Failed on the first try under Wine, run again:" >&2
  printf '  %s\n' $retried >&2
fi
exit "$status"
