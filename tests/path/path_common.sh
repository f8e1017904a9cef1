# What the path tests share once the bed is available: a scratch folder,
# quarvent serve in host A (or in the namespace SERVE_NS names) and its stop,
# the cleanup that the traps run on exit, failure and interrupt (the bed's
# own is bed_cleanup, or the function BED_CLEANUP names), and the count of
# failures. Source it after testbed.sh, with QUARVENT set.

WORK=$(mktemp -d)
SERVE_PID=""
stop_serve() {
  [ -n "$SERVE_PID" ] || return 0
  kill -TERM "$SERVE_PID" 2>/dev/null
  wait "$SERVE_PID" 2>/dev/null
  SERVE_PID=""
}
cleanup() {
  stop_serve
  "${BED_CLEANUP:-bed_cleanup}"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
FAILURES=0
fail() {
  echo "FAIL: $*" >&2
  FAILURES=$((FAILURES + 1))
}

PORT=47000
# start_serve ARGS...: quarvent serve in A (or SERVE_NS), waited for by its readiness line
# (bounded).
start_serve() {
  : >"$WORK/serve.log"
  # Started directly (not through a function, whose subshell would take the
  # signal instead), so that SERVE_PID is serve itself.
  ip netns exec "${SERVE_NS:-$BED_A}" "$QUARVENT" serve --port "$PORT" "$@" 2>"$WORK/serve.log" &
  SERVE_PID=$!
  for _ in $(seq 1 300); do
    grep -q "^quarvent serve: listening on port $PORT " "$WORK/serve.log" && return 0
    kill -0 "$SERVE_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "quarvent serve did not come up:" >&2
  cat "$WORK/serve.log" >&2
  return 1
}
