#!/usr/bin/env bash
# A long fuzzing campaign: every target, one after another, for a fixed number
# of executions from its checked-in seeds, with a fresh scratch corpus under
# corpus-work/campaign/ (never committed). Prints one line of figures per
# target and exits 1 when any target reported a crash, leak or sanitizer error.
#   bash fuzz/campaign.sh BUILD [RUNS] [TARGET...]
set -uo pipefail
build=${1:?build folder}
runs=${2:-10000000}
shift $(($# < 2 ? $# : 2))
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(chunk negotiation tcp_session udp_session)
status=0
printf '%-12s %12s %9s %6s %7s %8s %8s %s\n' target executions exec/s cov ft rss_mb wall_s result
for name in "${targets[@]}"; do
  work="$here/corpus-work/campaign/$name"
  rm -rf "$work"
  mkdir -p "$work"
  log="$work.log"
  start=$(date +%s)
  "$build/fuzz/${name}_fuzz" -runs="$runs" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/" "$work" "$here/corpus/$name" >"$log" 2>&1
  rc=$?
  wall=$(($(date +%s) - start))
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)
  stat() { grep -E "^stat::$1:" "$log" | awk '{print $2}'; }
  cov=$(sed -nE 's/.* cov: ([0-9]+) .*/\1/p' <<<"$done_line")
  ft=$(sed -nE 's/.* ft: ([0-9]+) .*/\1/p' <<<"$done_line")
  result=ok
  if [ "$rc" -ne 0 ] || grep -qE '==[0-9]+==ERROR|SUMMARY:|deadly signal' "$log"; then
    result="FAILED (exit $rc, log $log)"
    status=1
  fi
  printf '%-12s %12s %9s %6s %7s %8s %8s %s\n' "$name" "$(stat number_of_executed_units)" \
    "$(stat average_exec_per_sec)" "${cov:-?}" "${ft:-?}" "$(stat peak_rss_mb)" "$wall" "$result"
done
exit $status
