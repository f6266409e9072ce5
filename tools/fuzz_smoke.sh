#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer and runs each for a few seconds from
# its saved corpus. FUZZ_SECONDS overrides the time per target.
set -eu
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-5}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
shopt -s nullglob
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  corpus=$(mktemp -d)
  if [ -d "fuzz/corpus/$name" ]; then cp -r "fuzz/corpus/$name/." "$corpus/"; fi
  dict=""
  if [ -f "fuzz/$name.dict" ]; then dict="-dict=fuzz/$name.dict"; fi
  echo "fuzzing $name for ${seconds}s"
  mkdir -p fuzz/artifacts
  build/fuzz/fuzz/$name -max_total_time="$seconds" -max_len=4096 $dict \
    -artifact_prefix=fuzz/artifacts/ "$corpus" >"$corpus.log" 2>&1 || {
    tail -n 40 "$corpus.log"
    echo "fuzz target $name failed; the input is in fuzz/artifacts/" >&2
    exit 1
  }
  rm -rf "$corpus" "$corpus.log"
done
echo "fuzz smoke run done"
