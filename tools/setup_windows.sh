#!/usr/bin/env bash
# Installs what the Windows cross build and its test run under Wine need,
# only when a package is missing: the mingw-w64 compilers (posix thread
# model), Wine, and GoogleTest's sources (its packaged libraries are Linux ones).
set -eu
exec "$(dirname "$0")/setup.sh" cmake ninja-build make git libstb-dev googletest libz-mingw-w64-dev \
  g++-mingw-w64-x86-64-posix wine64 wine
