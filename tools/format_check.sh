#!/usr/bin/env bash
# Fails when a C++ source file is not clang-format clean.
set -eu
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || find src tests fuzz bench -name '*.cpp' -o -name '*.h')
[ -n "$files" ] || exit 0
if ! clang-format --dry-run --Werror $files; then
  echo "Run: clang-format -i \$(git ls-files '*.cpp' '*.h')" >&2
  exit 1
fi
