#!/usr/bin/env bash
# Runs a fuzz target over its corpus, then fuzzes for RUNS executions from SEED: the same inputs
# on every run, so that a failure is a finding, never chance. New inputs go to a scratch
# directory that is removed afterwards; the repository's corpus is only read. A failing input
# is kept in FUZZ_ARTIFACTS (when set) before the scratch directory goes.
# usage: replay.sh TARGET CORPUS RUNS SEED MALLOC_LIMIT_MB
set -euo pipefail
target="$1" corpus="$2" runs="$3" seed="$4" limit="$5"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/new" "$scratch/artifacts"
status=0
(cd "$scratch" && "$target" -runs="$runs" -seed="$seed" -malloc_limit_mb="$limit" \
  -rss_limit_mb=2048 -timeout=30 -print_final_stats=1 -artifact_prefix="$scratch/artifacts/" \
  "$scratch/new" "$corpus") || status=$?
if [ "$status" -ne 0 ] && [ -n "${FUZZ_ARTIFACTS:-}" ]; then
  mkdir -p "$FUZZ_ARTIFACTS" && cp -r "$scratch/artifacts/." "$FUZZ_ARTIFACTS/"
fi
exit "$status"
