#!/usr/bin/env bash
# Records a golden case from its inputs: runs tests/e2e/<case>/cmd in a fresh
# copy of input/ and writes expected/, stdout, stderr (log lines from the
# level letter on) and status. Review what it wrote before committing: a
# golden file is only as right as the run that produced it.
#   tools/e2e_record.sh build/dev/quillon tests/e2e/<case>
exec "$(dirname "$0")/../tests/e2e/run_case.sh" --record "$@"
