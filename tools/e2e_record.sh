#!/usr/bin/env bash
# Records a golden case from its inputs: runs tests/e2e/<case>/cmd in a fresh
# copy of input/ and writes expected/, stdout, stderr (log lines from the
# level letter on) and status. Review what it wrote before committing: a
# golden file is only as right as the run that produced it.
#   tools/e2e_record.sh build/dev/quillon tests/e2e/<case>
set -u
bin=$(realpath "$1")
case_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -d "$case_dir/input" ]; then cp -r "$case_dir/input/." "$work/"; fi
unset POSIXLY_CORRECT EF_DUMPCORE
eval "set -- $(cat "$case_dir/cmd")"
(cd "$work" && exec "$bin" "$@") >"$case_dir/stdout" 2>"$case_dir/stderr.raw"
echo $? >"$case_dir/status"
sed -E 's/^[0-9]{2}-[0-9]{2} [0-9:.]{12} +[0-9]+ +[0-9]+ //' "$case_dir/stderr.raw" >"$case_dir/stderr"
rm -f "$case_dir/stderr.raw"
rm -rf "$case_dir/expected"
cp -r "$work" "$case_dir/expected"
echo "status $(cat "$case_dir/status")"
(cd "$case_dir/expected" && find . -type f | sort)
