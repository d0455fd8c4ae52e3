#!/usr/bin/env bash
# A short run of the main job (2 workers, a few seconds) on a private redis-server: its JSON
# summary must show no stale entry after settling, every layer answering, announcements
# reaching every worker, derived answers kept and then dropped when a part changed, loads taken
# under leases (the default), no caller error (the database never failed), and the features and
# chaos figures present, fills of known content not announced, and the library's auditor
# (on by default) judging samples; its recorded history (--history) read by `velcache audit` (the
# second argument), which finds no read behind a committed write by more than 5 s (a run of
# 5 s: an announcement that never came would leave its readers behind until the end, while a
# slowed machine may delay one past the main job's 1 s window). A second run announces every
# fill and takes a database outage from its control FIFO, begun 1 s into the workload so that
# the caches hold answers to give during it (begun before, every query of a slowed run could be
# a miss that waits out the outage's 1 s busy time-out, and none an answer). Answers
# stale beyond the one-second window are the demo's own verdict, not checked here: that window
# is a time, and a test run beside other tests may be slowed past it.
set -euo pipefail
demo="$1"
cli="$2"
history=$(mktemp "${TMPDIR:-/tmp}/velcache-history.XXXXXX")
trap 'rm -f "$history"' EXIT
summary=$("$demo" --processes 2 --duration 5 --rows 50000 --json --history "$history" \
  2>/dev/null) || true
echo "$summary"
jq -e '
  .settle.stale == 0 and .settle.checked > 0 and
  (.layers | [.memory, .disk, .redis, .sqlite] | all(.answers > 0)) and
  (.announcements.received_per_worker | length == 2 and all(. > 0)) and
  .writer.updates > 0 and .read_through.loads > 0 and
  .derived.built > 0 and .derived.dropped_dirty > 0 and
  .features.leases and .features.fail_safe and .read_through.leases_taken > 0 and
  .caller_errors.total == 0 and
  .traffic.skip_known_fills and .traffic.fills_not_published > 0 and
  .traffic.published_per_change > 0 and
  (.chaos.herd | has("max_loads_per_key") and has("mean_loads_per_key")) and
  (.chaos.outage | has("p99_us") and has("max_us") and has("caller_errors")) and
  .auditor.on and .auditor.samples > 0 and .auditor.consistent > 0 and (.auditor | has("nines"))
' <<<"$summary" >/dev/null
verdict=$("$cli" audit "$history" --window-ms 5000)
echo "$verdict" | tail -1
grep -Eq '^[1-9][0-9]* reads, [1-9][0-9]* writes, 0 stale beyond 5000 ms$' <<<"$verdict"

fifo=$(mktemp -u "${TMPDIR:-/tmp}/velcache-control.XXXXXX")
mkfifo "$fifo"
log=$(mktemp "${TMPDIR:-/tmp}/velcache-log.XXXXXX")
trap 'rm -f "$fifo" "$history" "$log"' EXIT
exec 3<>"$fifo"
(
  for _ in $(seq 1200); do
    grep -q '^workload running for' "$log" && break
    sleep 0.1
  done
  sleep 1
  echo outage-begin >&3
) &
beginner=$!
summary=$("$demo" --processes 2 --duration 5 --rows 50000 --json --publish-every-fill \
  --control "$fifo" 3>&- 2>"$log") || true
kill "$beginner" 2>/dev/null || true
wait "$beginner" 2>/dev/null || true
echo "$summary"
grep '^control:' "$log" || true
jq -e '
  .settle.stale == 0 and (.traffic.skip_known_fills | not) and
  .traffic.fills_not_published == 0 and .traffic.published > 0 and .chaos.outage.answers > 0
' <<<"$summary" >/dev/null
