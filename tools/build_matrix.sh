#!/usr/bin/env bash
# Builds quillon and its tests the way a user or a distribution does: plain
# CMake, no preset, so warnings stay warnings (QUILLON_WERROR off), with
# GCC and with clang in every build type. Each build goes to
# build/matrix/<compiler>-<type>/ with its log beside it; the script prints
# the warnings of each and fails when any build fails.
# Usage: build_matrix.sh [compiler...] (default: gcc clang); BUILD_TYPES
# (default: Debug Release RelWithDebInfo MinSizeRel) and JOBS narrow it.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
compilers=${*:-gcc clang}
types=${BUILD_TYPES:-Debug Release RelWithDebInfo MinSizeRel}
failed=0
for compiler in $compilers; do
  case $compiler in
    gcc) cc=gcc cxx=g++ ;;
    clang) cc=clang cxx=clang++ ;;
    *)
      echo "unknown compiler $compiler (gcc or clang)" >&2
      exit 2
      ;;
  esac
  for type in $types; do
    dir=build/matrix/$compiler-$type
    log=build/matrix/$compiler-$type.log
    mkdir -p build/matrix
    start=$(date +%s)
    if cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" \
      -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >"$log" 2>&1 &&
      cmake --build "$dir" -j "$jobs" >>"$log" 2>&1; then
      result=built
    else
      result=FAILED
      failed=1
    fi
    warnings=$(grep -c 'warning:' "$log")
    echo "$compiler $type: $result in $(($(date +%s) - start)) s, $warnings warnings ($log)"
    grep 'warning:' "$log" | sed 's/^/  /' | sort | uniq -c | sort -rn | head -n 10
  done
done
exit $failed
