#!/usr/bin/env bash
# Converts the bundled example into a fresh folder and lists what was written.
set -u
bin=$1
cd "$(dirname "$0")/.."
out=examples/out
rm -rf "$out"
mkdir -p "$out"
"$bin" --dbc-can1=examples/engine.dbc -O "$out" examples/logs
status=$?
echo "exit status: $status"
find "$out" -type f | sort | head -n 50
