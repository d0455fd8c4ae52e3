#!/usr/bin/env bash
# The main job on a private PostgreSQL cluster (--database postgres), its writer silent: with the
# commit-log follower, every change is announced (0 stale after settling, the auditor finds 0
# inconsistent, the follower announced the writer's changes); without it (--no-follower, the
# control), the caches keep old answers and the run fails. Short runs of 2 workers on 50,000 rows;
# answers stale beyond the one-second window are the demo's own verdict, not checked here (a test
# run beside other tests may be slowed past a window of time).
set -euo pipefail
demo="$1"
summary=$("$demo" --database postgres --processes 2 --duration 6 --rows 50000 --json \
  2>/dev/null) || true
echo "$summary"
jq -e '
  .settle.stale == 0 and .settle.checked > 0 and
  .writer.updates > 0 and .follower.changes_announced >= .writer.updates and
  .auditor.inconsistent == 0 and .auditor.samples > 0
' <<<"$summary" >/dev/null

set +e
control=$("$demo" --database postgres --no-follower --processes 2 --duration 6 --rows 50000 \
  --json 2>/dev/null)
code=$?
set -e
echo "$control"
[ "$code" -eq 1 ] || { echo "the run without a follower exited $code, not 1"; exit 1; }
jq -e '.settle.stale > 0 and (has("follower") | not)' <<<"$control" >/dev/null
