#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds, starting from its
# checked-in seed corpus; new inputs go to a scratch folder, not the seeds, and
# a crashing input is saved there as crash-*. Exits 1 when any target failed.
set -uo pipefail
build=${1:?build folder}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
status=0
for target in "$build"/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  work="$here/corpus-work/$name"
  mkdir -p "$work"
  log="$work/last-run.log"
  echo "== $name for ${seconds}s" >&2
  "$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/" "$work" "$here/corpus/$name" >"$log" 2>&1
  rc=$?
  grep -E '^#[0-9]+.*(DONE|INITED)|stat::number_of_executed_units|stat::peak_rss' "$log" | tail -3 >&2
  if [ "$rc" -ne 0 ]; then
    echo "!! $name failed (exit $rc); log: $log" >&2
    grep -E '==[0-9]+==ERROR|SUMMARY|deadly signal|Test unit written' "$log" >&2
    status=1
  fi
done
exit $status
