#!/usr/bin/env bash
# Converts a generated fleet with examples/slurm/convert-fleet.sbatch on a
# one-node Slurm started here (munged, slurmctld, slurmd, as root, under a
# temporary folder) and checks that the 4 tasks' merged output tree is one
# run's, byte for byte, and that their reader and writer counters (in the
# summaries and in their --report documents) add up.
# The daemons are stopped by their pid files on every way out.
# Usage: tools/test_slurm.sh [quillon binary]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(realpath "${1:-$root/build/release/quillon}")
"$root/tools/setup.sh" slurm-wlm munge g++ >/dev/null

S=$(mktemp -d /tmp/quillon-slurm.XXXXXX)
stop() {
  local f
  for f in "$S/slurmd.pid" "$S/slurmctld.pid" "$S/munge/munged.pid"; do
    if [ -s "$f" ]; then
      local pid
      pid=$(cat "$f")
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
  done
}
cleanup() {
  stop
  rm -rf "$S"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# The fleet: 12 loggers, 3 sessions of 3 splits with the awkward cases of
# tests/fleet_gen.h, and a logger whose ID differs from another's only in
# case ("truck-05" beside "TRUCK-05").
cat >"$S/gen.cpp" <<'CPP'
#include "fleet_gen.h"
int main(int, char** argv) {
  return quillon::test::write_fleet(argv[1], quillon::test::FleetShape()) ? 0 : 1;
}
CPP
g++ -std=c++20 -O1 -I"$root/tests" "$S/gen.cpp" -o "$S/gen"
"$S/gen" "$S/corpus"
mkdir "$S/corpus/fleet/L05c"
for f in "$S"/corpus/fleet/L05/*.TXT; do
  sed 's/^# Logger ID: TRUCK-05/# Logger ID: truck-05/' "$f" >"$S/corpus/fleet/L05c/$(basename "$f")"
done
dbc="--dbc-can1=$S/work/j1939.dbc --dbc-can1=$S/work/can.dbc"
cp -r "$S/corpus" "$S/single"
mkdir "$S/single/out"
(cd "$S/single" && "$bin" --non-interactive --dbc-can1=j1939.dbc --dbc-can1=can.dbc -O out fleet \
  >"$S/single.out" 2>"$S/single.err") && single_status=0 || single_status=$?
cp -r "$S/corpus" "$S/work"
mkdir "$S/work/out"

# Munge with a key, socket and pid file of its own.
mkdir -p "$S/munge"
dd if=/dev/urandom of="$S/munge/munge.key" bs=1024 count=1 status=none
chown -R munge:munge "$S/munge"
chmod 711 "$S/munge"
chmod 400 "$S/munge/munge.key"
chmod 755 "$S"
su -s /bin/sh munge -c "munged --key-file=$S/munge/munge.key --socket=$S/munge/munge.sock \
  --pid-file=$S/munge/munged.pid --seed-file=$S/munge/seed --log-file=$S/munge/munged.log"

# Ports of this run's own, so that another Slurm on the machine is not met.
port=$((20000 + $$ % 20000))
H=$(hostname -s)
C=$(nproc)
M=$(($(free -m | awk '/Mem:/{print $2}') - 1024))
mkdir -p "$S/slurmd" "$S/state"
cat >"$S/slurm.conf" <<CONF
ClusterName=quillontest
SlurmctldHost=$H
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
AuthInfo=socket=$S/munge/munge.sock
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SlurmctldPidFile=$S/slurmctld.pid
SlurmdPidFile=$S/slurmd.pid
SlurmdSpoolDir=$S/slurmd
StateSaveLocation=$S/state
SlurmctldLogFile=$S/slurmctld.log
SlurmdLogFile=$S/slurmd.log
SlurmUser=root
ReturnToService=2
MpiDefault=none
SchedulerType=sched/backfill
JobCompType=jobcomp/none
NodeName=$H CPUs=$C RealMemory=$M State=UNKNOWN
PartitionName=main Nodes=$H Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$S/slurm.conf"
slurmctld
slurmd
for _ in $(seq 100); do
  sinfo -h -o %t 2>/dev/null | grep -q idle && break
  sleep 0.2
done
sinfo -h -o %t | grep -q idle || { echo "test_slurm: the node did not come up" >&2; exit 1; }

(cd "$S" && QUILLON="$bin" QUILLON_IN="$S/work/fleet" QUILLON_OUT="$S/work/out" QUILLON_DBC="$dbc" \
  sbatch --wait --array=0-3 --output="$S/task-%a.out" --error="$S/task-%a.err" \
  "$root/examples/slurm/convert-fleet.sbatch" >/dev/null) && array_status=0 || array_status=$?
stop

fail=0
csvs=$(find "$S/single/out" -name '*.csv' | wc -l)
if [ "$csvs" -lt 100 ]; then
  echo "test_slurm: one run wrote only $csvs CSV files" >&2
  fail=1
fi
if ! diff -r "$S/single/out" "$S/work/out" >"$S/diff.txt"; then
  echo "test_slurm: the merged tree differs from one run's:" >&2
  head -20 "$S/diff.txt" >&2
  fail=1
fi
# The reader and writer counters (the sizes are rounded to MB: left out).
counters() { awk '/^Reader summary|^Writer summary/{c=1} /^Transport/{c=0} c && /^- / && !/^- Size/{print $NF}' "$@"; }
expected=$(counters "$S/single.out" | paste -sd' ')
summed=$(for k in 0 1 2 3; do counters "$S/task-$k.out" | paste -sd' '; done |
  awk '{for (i = 1; i <= NF; i++) s[i] += $i; n = NF} END {for (i = 1; i <= n; i++) printf "%s%d", (i > 1 ? " " : ""), s[i]}')
if [ "$expected" != "$summed" ]; then
  echo "test_slurm: counters of the tasks ($summed) do not add up to one run's ($expected)" >&2
  fail=1
fi
# One run fails a log of this fleet (status 8): so does the array.
if [ "$single_status" -ne 8 ] || [ "$array_status" -eq 0 ]; then
  echo "test_slurm: one run gave $single_status, the array $array_status (want 8 and a failure)" >&2
  fail=1
fi
# The tasks' reports add up to one run's counters too.
reported=$(python3 - "$S/work/out.reports" <<'PY'
import json, sys
totals = None
for k in range(4):
    d = json.load(open("%s/shard-%d.json" % (sys.argv[1], k)))
    assert d["shard"] == {"index": k, "count": 4}, d["shard"]
    row = [d["reader"]["files"], d["reader"]["messages"], d["writer"]["files"],
           d["writer"]["messages"], d["writer"]["signals"]]
    totals = row if totals is None else [a + b for a, b in zip(totals, row)]
print(" ".join(map(str, totals)))
PY
) || reported="no reports"
if [ "$expected" != "$reported" ]; then
  echo "test_slurm: the tasks' reports ($reported) do not add up to one run ($expected)" >&2
  fail=1
fi
for k in 0 1 2 3; do
  [ -s "$S/task-$k.out" ] || { echo "test_slurm: task $k printed no summary" >&2; fail=1; }
done
if [ "$fail" -ne 0 ]; then
  for k in 0 1 2 3; do tail -5 "$S/task-$k.err" >&2; done
fi
[ "$fail" -eq 0 ] && echo "test_slurm: 1 passed, 0 failed" || echo "test_slurm: 0 passed, 1 failed"
exit "$fail"
