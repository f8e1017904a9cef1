#!/usr/bin/env bash
# Latency under load against the truth of a real queue: a client C, a router
# R and a server S (network namespaces on this machine), R's link towards C
# limited by tbf to 20 Mbit/s with a queue of up to 200 ms, and then 5 ms.
# A UDP chat probe (pattern 5, --udp-timeout 1000) runs alone, then beside
# four TCP downloads: its idle p50 stays below 1 ms, and its loaded p50 is
# the queue's delay, within 0.5x to 1.5x of the configured latency plus the
# bottleneck's serialisation (tbf's burst and one full frame). The load's TCP
# is reno in C and S (router_bed.sh): BBR, this machine's default, keeps
# queues short by design and would measure its own behaviour, not the queue.
# Needs root and namespaces; exits 77 (skipped) with one line where they are
# not there.
#
#   tests/path/path_load_test.sh path/to/quarvent
set -uo pipefail
QUARVENT=$(realpath "$1")
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=testbed.sh
source "$HERE/testbed.sh"
# shellcheck source=router_bed.sh
source "$HERE/router_bed.sh"

bed_available || exit 77

# Serve runs in S, and the traps remove the router bed.
BED_CLEANUP=router_bed_cleanup
# shellcheck source=path_common.sh
source "$HERE/path_common.sh"

RATE_BITS=20000000

# check LATENCY_MS: one 30-s measurement on a bed with that queue.
check() {
  local latency=$1 name="load-$1ms"
  router_bed_up 20mbit "${latency}ms"
  SERVE_NS=$RBED_S
  start_serve --max-clients 8 || { fail "$name: serve"; router_bed_cleanup; return; }
  timeout -s INT -k 10 120 ip netns exec "$RBED_C" "$QUARVENT" measure --address "$RBED_ADDR_S" \
    --port "$PORT" -u --udp-timeout 1000 --pattern 5 --load 0x4 --duration 30 --json \
    >"$WORK/$name.json" 2>"$WORK/$name.err"
  # Exit 1 may be a load session that TCP's retransmission backoff in the
  # short queue stalled until the watchdog ended it: the figures below say
  # which sessions failed, and only the probe's failure fails the test.
  local rc=$?
  [ "$rc" -le 1 ] || fail "$name: exit $rc: $(head -c 400 "$WORK/$name.err")"
  python3 - "$WORK/$name.json" "$latency" "$RATE_BITS" <<'PY' || fail "$name: figures"
import json, sys
doc = json.load(open(sys.argv[1], encoding="utf-8"))
latency_ms, rate = float(sys.argv[2]), float(sys.argv[3])
load = doc["load"]
idle, loaded = load["idle"], load["loaded"]
# What the bottleneck adds beyond its queue: tbf's burst (32 kbit) and one
# full frame (1514 bytes) at the rate.
serialisation_ms = (32000 + 1514 * 8) / rate * 1000
idle_p50 = idle["rtt_us"]["p50"] / 1000
loaded_p50 = loaded["rtt_us"]["p50"] / 1000
print(f"queue {latency_ms:g} ms: idle p50 {idle_p50:.3f} ms RPM {idle['rpm']:.0f}; "
      f"loaded p50 {loaded_p50:.3f} ms p90 {loaded['rtt_us']['p90'] / 1000:.3f} ms "
      f"p99 {loaded['rtt_us']['p99'] / 1000:.3f} ms RPM {loaded['rpm']:.0f}; "
      f"loss idle {idle['lost']}/{idle['requests']} loaded {loaded['lost']}/{loaded['requests']}; "
      f"load {load['load_bytes_per_s_received'] * 8 / 1e6:.2f} Mbit/s; "
      f"loaded from {loaded['from_s']} s")
ok = True
if not (idle["rtt_us"]["count"] > 0 and idle_p50 < 1.0):
    print("idle p50 not below 1 ms"); ok = False
low, high = 0.5 * latency_ms, 1.5 * latency_ms + serialisation_ms
if not (loaded["rtt_us"]["count"] > 0 and low <= loaded_p50 <= high):
    print(f"loaded p50 not in {low:.3f}..{high:.3f} ms"); ok = False
if load["load_started_s"] is None or loaded["from_s"] < load["load_started_s"] + 2:
    print("the loaded phase began before the load had settled"); ok = False
for s in doc["sessions"]:
    end = (s["run"] or {}).get("end") or {}
    if s["run"] is None or end.get("outcome") not in ("completed", "aborted"):
        print(f"session {s['session']} (class {s['class']}): {end.get('outcome')} {end.get('failure')}")
if doc["classes"][0]["failed"] != 0:
    print("the probe failed"); ok = False
sys.exit(0 if ok else 1)
PY
  stop_serve
  router_bed_cleanup
}

check 200
check 5

if [ "$FAILURES" -ne 0 ]; then
  echo "$FAILURES failure(s)" >&2
  exit 1
fi
echo "path_load: all checks passed"
