#!/usr/bin/env bash
# The main job stopped from outside (SIGTERM as a service manager sends it, SIGINT as an
# interrupt sent to its process alone) leaves nothing behind: its writer, its workers and its
# private redis-server end, and its run directory is removed. The exit status says which signal.
set -euo pipefail
demo="$1"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

for signal in TERM INT; do
    "$demo" --processes 2 --duration 120 --rows 20000 >"$out/stdout" 2>"$out/stderr" &
    pid=$!
    for _ in $(seq 1 240); do
        grep -q "workload running" "$out/stderr" && break
        kill -0 "$pid"  # still going
        sleep 0.5
    done
    grep -q "workload running" "$out/stderr"
    children=$(pgrep -P "$pid" | tr '\n' ' ')
    [ "$(echo $children | wc -w)" -eq 4 ] || { echo "children: $children"; exit 1; }  # redis, writer, 2 workers
    kill -s "$signal" "$pid"
    status=0
    wait "$pid" || status=$?
    sleep 0.2  # a child told to stop may take a moment to go
    expected=$((128 + $(kill -l "$signal")))
    [ "$status" -eq "$expected" ] || { echo "$signal: exit status $status, not $expected"; cat "$out/stderr"; exit 1; }
    for child in $children; do
        if kill -0 "$child" 2>/dev/null; then
            echo "$signal: process $child ($(cat /proc/$child/comm 2>/dev/null)) outlived the main job"
            kill -9 $children 2>/dev/null
            exit 1
        fi
    done
    if [ -e "${TMPDIR:-/tmp}/velcache-demo-$pid" ]; then
        echo "$signal: ${TMPDIR:-/tmp}/velcache-demo-$pid was left behind"
        exit 1
    fi
    grep -q "stopped by $signal" "$out/stderr" || { cat "$out/stderr"; exit 1; }
done
echo "stopped cleanly by TERM and INT"
