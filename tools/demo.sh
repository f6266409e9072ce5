#!/usr/bin/env bash
# Converts the bundled example into a fresh folder (default examples/out),
# lists what was written and shows the start of the three outputs that only
# exist because their frames were reassembled first: a J1939 broadcast
# (BAM), an ISO-TP answer and an NMEA 2000 fast-packet message.
# Usage: demo.sh <quillon> [output folder]
set -u
bin=$1
cd "$(dirname "$0")/.."
out=${2:-examples/out}
rm -rf "$out"
mkdir -p "$out"
"$bin" --dbc-can1=examples/engine.dbc --dbc-can1=examples/diag.dbc -O "$out" examples/logs
status=$?
echo "exit status: $status"
find "$out" -type f | sort | head -n 50
for shown in "EngineConfig:J1939 broadcast (BAM) of 20 bytes in 3 packets" \
  "VehicleInfo:ISO-TP answer of 16 bytes in 3 frames" \
  "EngineDynamic:NMEA 2000 fast packet of 26 bytes in 4 frames"; do
  message=${shown%%:*}
  file=$(find "$out" -path "*_${message}*" -name '*.csv' | sort | head -n 1)
  echo
  echo "${shown#*:}, reassembled: $file"
  [ -n "$file" ] && head -n 3 "$file"
done
exit $status
