#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the fuzzers need,
# only when one is missing. Packages named as arguments replace the list
# (tools/setup_windows.sh names those of the Windows cross build).
set -eu
packages="cmake ninja-build g++ make git libgtest-dev libstb-dev libzstd-dev zlib1g-dev zstd clang libclang-rt-dev clang-format unicode-data dpkg-dev file man-db bsdutils binutils lintian bash-completion python3 python3-yaml python3-jsonschema slurm-wlm munge"
if [ $# -gt 0 ]; then packages="$*"; fi
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
