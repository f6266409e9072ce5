#!/usr/bin/env bash
# The bundled example as `make demo` shows it: the committed logs are what
# examples/make_logs.py writes, and the demo converts them with status 0,
# reassembling every transfer the script puts in (12 J1939 broadcasts, 6
# ISO-TP answers, 30 NMEA 2000 fast-packet messages) into a decoded row of
# its message, and nothing fails or is left over.
# Usage: example_demo.sh <quillon>
set -euo pipefail
binary=$(realpath "$1")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
fail() {
  echo "$*"
  failed=1
}

python3 "$source_dir/examples/make_logs.py" "$scratch/logs"
for log in "$source_dir"/examples/logs/*; do
  cmp -s "$log" "$scratch/logs/$(basename "$log")" ||
    fail "$log is not what examples/make_logs.py writes: run it and commit the logs"
done
[ "$(ls "$scratch/logs")" = "$(ls "$source_dir/examples/logs")" ] ||
  fail "examples/logs/ holds other files than examples/make_logs.py writes"

status=0
"$source_dir/tools/demo.sh" "$binary" "$scratch/out" >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
[ $status = 0 ] || fail "the demo ended with status $status"
[ ! -s "$scratch/stderr" ] || fail "the demo logged: $(cat "$scratch/stderr")"
for line in "Successful sessions: 48" "Failed sessions: 0" "Unfinished sessions: 0" "- Files: 18"; do
  grep -qxF -- "- $line" "$scratch/stdout" || grep -qxF -- "$line" "$scratch/stdout" ||
    fail "the demo's summary lacks \"$line\""
done

# rows <message folder>: the data rows of that output over both days.
rows() {
  local total=0 file
  for file in "$scratch"/out/3B912722_out/"$1"/*/*/*/*.csv; do
    total=$((total + $(wc -l <"$file") - 1))
  done
  echo $total
}
[ "$(rows CAN1_EngineConfig_S00)" = 12 ] || fail "EngineConfig (J1939 BAM): $(rows CAN1_EngineConfig_S00) rows, not 12"
[ "$(rows CAN1_VehicleInfo)" = 6 ] || fail "VehicleInfo (ISO-TP): $(rows CAN1_VehicleInfo) rows, not 6"
[ "$(rows CAN1_EngineDynamic_S17)" = 30 ] || fail "EngineDynamic (fast packet): $(rows CAN1_EngineDynamic_S17) rows, not 30"

# The first reassembled message of each kind, decoded, as the demo shows it.
grep -qxF "1715990352.170000,650.000000,10.000000,1800.000000,90.000000,2300.000000,2400.000000" "$scratch/stdout" ||
  fail "the first EngineConfig row differs"
grep -qxF "1715990355.034000,98.000000,61856.000000,49074.800000,63.200000,27.650000,3955.000000,55.000000,0.000000" \
  "$scratch/stdout" || fail "the first VehicleInfo row differs"
grep -qxF "1715990351.018000,0.000000,394.800000,365.300000,358.310000,27.960000,19.400000,1320918.000000,48.000000,53.000000" \
  "$scratch/stdout" || fail "the first EngineDynamic row differs"
if [ $failed != 0 ]; then
  echo "--- the demo's output:"
  cat "$scratch/stdout"
fi
exit $failed
