#!/usr/bin/env bash
# Runs one golden case: tests/e2e/<case>/
#   cmd       the arguments, shell-quoted, run in a fresh copy of input/
#   input/    the files the run starts with (optional)
#   expected/ the whole working folder after the run; without it the run
#             must leave the folder exactly as input/ made it
#   stdout    expected standard output ("Execution time" is not compared)
#   stderr    expected log lines from the level letter on; the working
#             folder is written as <work>
#   status    expected exit status
#   report.json  the run report, when cmd writes one as report.json in the
#             working folder (--report=report.json): compared with the
#             program path, the version and the start and end times masked
#             (and with --jobs the "-j <n>" and the threads), and kept out
#             of the folder's comparison
# stdout, stderr and status are required: an empty file means the run must
# print nothing there, so no check is skipped by leaving a file out.
# On failure it prints the first difference in full.
#   skip_<os> why the case cannot hold on that system (optional; the test
#             then reports itself skipped with status 77)
# QUILLON_EMULATOR, when set, is the command that runs the binary (wine for a
# Windows build), QUILLON_TARGET the system built for ("windows"); the
# expected files are the same for every system.
# With --record first, it writes expected/ (none when the run wrote
# nothing), stdout, stderr and status from the run instead
# (tools/e2e_record.sh); review them before committing.
# With --jobs <n> first, the run gets "-j <n>" before the case's arguments
# and must give what the serial run recorded, but for the order of the log
# lines (compared sorted); a case that tests the command line itself carries
# a serial_only file saying why it cannot take the option.
# With --compress <codec> first (zstd or gzip), the run gets
# "--compress=<codec>" before the case's arguments; every CSV it writes
# must be compressed (no plain .csv beside those input/ had), decompress
# whole with the codec's own tool, and the decompressed tree must be the
# expected one; messages name the files with the codec's extension, which
# is read as ".csv". A serial_only case is skipped here too.
set -u
record=0
jobs=
codec=
if [ "${1:-}" = "--record" ]; then
  record=1
  shift
elif [ "${1:-}" = "--jobs" ]; then
  jobs=$2
  shift 2
elif [ "${1:-}" = "--compress" ]; then
  codec=$2
  shift 2
fi
bin=$(realpath "$1")
case_dir=$2
if [ -n "${QUILLON_TARGET:-}" ] && [ -f "$case_dir/skip_$QUILLON_TARGET" ]; then
  echo "skipped on $QUILLON_TARGET: $(cat "$case_dir/skip_$QUILLON_TARGET")"
  exit 77
fi
if [ -n "$jobs$codec" ] && [ -f "$case_dir/serial_only" ]; then
  echo "serial only: $(cat "$case_dir/serial_only")"
  exit 77
fi
if [ "$codec" = zstd ] && [ "${QUILLON_TARGET:-}" = windows ]; then
  echo "skipped on windows: the Windows build has no zstd"
  exit 77
fi
case $codec in
  zstd) extension=.zst ;;
  gzip) extension=.gz ;;
  *) extension= ;;
esac
# Resolved, as the program sees it from its working folder.
work=$(realpath "$(mktemp -d)")
out=$(mktemp -d)
before=$(mktemp -d)
trap 'rm -rf "$work" "$out" "$before"' EXIT
if [ -d "$case_dir/input" ]; then
  cp -r "$case_dir/input/." "$work/"
  cp -r "$case_dir/input/." "$before/"
fi
unset POSIXLY_CORRECT EF_DUMPCORE
eval "set -- $(cat "$case_dir/cmd")"
if [ -n "$jobs" ]; then set -- -j "$jobs" "$@"; fi
if [ -n "$codec" ]; then set -- "--compress=$codec" "$@"; fi
(cd "$work" && exec ${QUILLON_EMULATOR:-} "$bin" "$@") >"$out/stdout" 2>"$out/stderr.raw"
echo $? >"$out/status"
# The time, pid and tid prefix of log lines differs on every run, and so
# does the working folder, which absolute paths in messages begin with.
# Under Wine the folder is seen on drive Z:, which stands for "/".
drive=
if [ "${QUILLON_TARGET:-}" = windows ]; then drive=Z:; fi
sed -E -e 's/^[0-9]{2}-[0-9]{2} [0-9:.]{12} +[0-9]+ +[0-9]+ //' \
  -e "s|$drive$work/|<work>/|g" "$out/stderr.raw" >"$out/stderr"
# The run report: what differs from run to run masked; the version too, so
# that a release does not rewrite every case (report_check.py checks it).
report_mask() {
  sed -E -e 's/"command_line":\["([^"\\]|\\.)*"/"command_line":["<quillon>"/' \
    -e 's/"version":"[^"]*"/"version":"<version>"/' \
    -e 's/"(start|end)_time":"[^"]*"/"\1_time":"<time>"/g' -e "s|$drive$work/|<work>/|g"
}
# Threads and compression must give the serial plain run's report, apart
# from the options themselves and the codec's extension in messages.
report_jobs_mask() {
  if [ -z "$jobs$codec" ]; then cat; return; fi
  sed -E -e 's/"command_line":\["<quillon>","--compress=[^"]*"/"command_line":["<quillon>"/' \
    -e 's/"command_line":\["<quillon>","-j","[0-9]+"/"command_line":["<quillon>"/' \
    -e 's/"threads":[0-9]+/"threads":<n>/' -e "s/\.csv$extension/.csv/g"
}
if [ -f "$work/report.json" ] && [ ! -f "$before/report.json" ]; then
  report_mask <"$work/report.json" | report_jobs_mask >"$out/report.json"
  rm "$work/report.json"
fi
if [ -n "$codec" ]; then
  sed -i -e "s/\.csv$extension/.csv/g" "$out/stderr"
  compressed_fail=0
  while IFS= read -r -d '' file; do
    if [ ! -e "$before/${file#"$work/"}" ]; then
      echo "written uncompressed: ${file#"$work/"}"
      compressed_fail=1
    fi
  done < <(find "$work" -name '*.csv' -print0)
  while IFS= read -r -d '' file; do
    if ! "$codec" -d -q -f "$file"; then
      echo "does not decompress whole: ${file#"$work/"}"
      compressed_fail=1
    fi
    rm -f "$file"
  done < <(find "$work" -name "*.csv$extension" -print0)
  if [ $compressed_fail = 1 ]; then exit 1; fi
fi

if [ $record = 1 ]; then
  cp "$out/stdout" "$out/stderr" "$out/status" "$case_dir/"
  rm -rf "$case_dir/expected" "$case_dir/report.json"
  if [ -f "$out/report.json" ]; then cp "$out/report.json" "$case_dir/"; fi
  echo "status $(cat "$case_dir/status")"
  if diff -r "$before" "$work" >/dev/null; then
    echo "nothing written: no expected/"
  else
    cp -r "$work" "$case_dir/expected"
    (cd "$case_dir/expected" && find . -type f | sort)
  fi
  exit 0
fi

fail=0
for f in cmd stdout stderr status; do
  if [ ! -f "$case_dir/$f" ]; then
    echo "$case_dir has no $f file (record the case with tools/e2e_record.sh)"
    fail=1
  fi
done
if [ $fail = 1 ]; then exit 1; fi
if ! diff -u "$case_dir/status" "$out/status"; then fail=1; fi
if ! diff -u <(grep -v '^Execution time: ' "$case_dir/stdout") \
             <(grep -v '^Execution time: ' "$out/stdout"); then fail=1; fi
if [ -n "$jobs" ]; then
  # Threads write their lines in their own order.
  if ! diff -u <(LC_ALL=C sort "$case_dir/stderr") <(LC_ALL=C sort "$out/stderr"); then fail=1; fi
elif ! diff -u "$case_dir/stderr" "$out/stderr"; then
  fail=1
fi
if [ -f "$case_dir/report.json" ] || [ -f "$out/report.json" ]; then
  if [ ! -f "$out/report.json" ]; then
    echo "the run wrote no report.json"
    fail=1
  elif [ ! -f "$case_dir/report.json" ]; then
    echo "the run wrote report.json, the case has none (record it)"
    fail=1
  elif ! diff -u <(report_jobs_mask <"$case_dir/report.json") "$out/report.json"; then
    fail=1
  fi
fi
# Without expected/ the folder must be as the run found it.
tree=$before
if [ -d "$case_dir/expected" ]; then tree=$case_dir/expected; fi
if ! diff -r "$tree" "$work" >"$out/tree.diff"; then
  fail=1
  head -n 40 "$out/tree.diff"
fi
exit $fail
