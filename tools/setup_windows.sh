#!/usr/bin/env bash
# Installs what the Windows cross build and its test run under Wine need,
# only when a package is missing: the mingw-w64 compilers (posix thread
# model), Wine, and GoogleTest's sources (its packaged libraries are Linux ones).
set -eu
packages="cmake ninja-build make git libstb-dev googletest g++-mingw-w64-x86-64-posix wine64 wine"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends $missing
fi
