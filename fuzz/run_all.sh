#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds, starting from its
# checked-in seed corpus; new inputs go to a scratch folder, not the seeds.
set -euo pipefail
build=${1:?build folder}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
status=0
for target in "$build"/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  work="$here/corpus-work/$name"
  mkdir -p "$work"
  echo "== $name for ${seconds}s" >&2
  "$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    "$work" "$here/corpus/$name" 2>&1 | grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss|==[0-9]+==ERROR|SUMMARY)|cov:' | tail -4 || true
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
done
exit $status
