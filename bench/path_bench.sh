#!/usr/bin/env bash
# quarvent across a shaped, lossy link between two network namespaces (the
# test bed of tests/path): for each rate and loss, TCP patterns 0 to 2 next
# to iperf3 with the same chunk size (-R -l), and the lock-step patterns 7 to
# 10 over TCP and over UDP (with --udp-timeout) with their round trips and
# losses. Writes a Markdown table on stdout. Needs root.
#
#   bench/path_bench.sh path/to/quarvent [SECONDS per run, default 5]
# RATES (tc rates, "10mbit 100mbit 1000mbit"), LOSSES (per mille, "0 1 10")
# and UDP_TIMEOUT_MS (50) may be set in the environment.
set -uo pipefail
QUARVENT=$(realpath "$1")
SECONDS_PER_RUN=${2:-5}
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../tests/path/testbed.sh
source "$HERE/../tests/path/testbed.sh"
bed_available || exit 1
command -v iperf3 >/dev/null || { echo "path_bench: needs iperf3" >&2; exit 1; }

WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  bed_cleanup
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

PORT=47100
IPERF_PORT=47101
UDP_TIMEOUT_MS=${UDP_TIMEOUT_MS:-50}

bed_up || exit 1
# A UDP run's end marker can be lost too, which leaves the server's session
# waiting for requests: the idle timeout ends such a session, and the service
# listens again.
ip netns exec "$BED_A" "$QUARVENT" serve --port "$PORT" --keep-serving --idle-timeout 2 \
  2>"$WORK/serve.log" &
PIDS+=($!)
ip netns exec "$BED_A" iperf3 -s -p "$IPERF_PORT" >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 1 300); do
  grep -q "^quarvent serve: listening on port $PORT " "$WORK/serve.log" && break
  sleep 0.1
done
sleep 0.5 # iperf3 -s says nothing when it is ready

# quarvent measure in B for SECONDS_PER_RUN seconds (continuous, then Ctrl+C);
# its JSON document in $WORK/q.json.
quarvent_run() {
  ip netns exec "$BED_B" "$QUARVENT" measure --address "$BED_ADDR_A" --port "$PORT" \
    --duration continuous --json "$@" >"$WORK/q.json" 2>/dev/null &
  local pid=$!
  sleep "$SECONDS_PER_RUN"
  kill -INT "$pid" 2>/dev/null
  wait "$pid"
}

# One cell as "MB/s" or "MB/s · p50/p99 ms · lost %".
cell() {
  python3 - "$WORK/q.json" "$1" <<'PY'
import json, sys
try:
    doc = json.load(open(sys.argv[1], encoding="utf-8"))
    end = doc["runs"][-1]["end"]
except Exception:
    print("(no result)")
    sys.exit()
mbs = end["throughput_bytes_per_s"]["received"] / 2**20
out = "%.2f" % mbs
if sys.argv[2] == "rtt":
    r = end["rtt_us"]
    out += " · %.2f/%.2f ms" % (r["p50"] / 1000, r["p99"] / 1000)
    if end.get("lost") is not None and end["requests_sent"]:
        out += " · %.1f %%" % (100.0 * end["lost"] / end["requests_sent"])
    if end["outcome"] not in ("aborted", "completed"):
        out += " (%s)" % end["outcome"]
print(out)
PY
}

iperf_mbs() {
  ip netns exec "$BED_B" iperf3 -c "$BED_ADDR_A" -p "$IPERF_PORT" -R -l "$1" -t "$SECONDS_PER_RUN" -J \
    >"$WORK/i.json" 2>/dev/null
  python3 -c 'import json,sys
try: print("%.2f" % (json.load(open(sys.argv[1]))["end"]["sum_received"]["bits_per_second"] / 8 / 2**20))
except Exception: print("nan")' "$WORK/i.json"
}

echo "Two namespaces on one machine joined by veth; rate by tbf on each sender, loss by nftables on"
echo "each receiver (the same share each way); ${SECONDS_PER_RUN} s per run; MB/s = 2^20 bytes/s received."
echo "UDP runs use --udp-timeout ${UDP_TIMEOUT_MS}. Cells of patterns 7-10: MB/s received · round trip p50/p99 · loss."
echo
echo "| Rate | Loss | P0 TCP / iperf3 | P1 TCP / iperf3 | P2 TCP / iperf3 | P7 TCP | P7 UDP | P8 TCP | P8 UDP | P9 TCP | P9 UDP | P10 TCP | P10 UDP |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
for rate in ${RATES:-10mbit 100mbit 1000mbit}; do
  bed_rate A "$rate"
  bed_rate B "$rate"
  for loss in ${LOSSES:-0 1 10}; do
    bed_loss A "$loss"
    bed_loss B "$loss"
    row="| ${rate%mbit} Mbit/s | $(awk "BEGIN{printf \"%g %%\", $loss / 10}") "
    for p in 0 1 2; do
      chunk=$((4096 >> p))
      quarvent_run --pattern "$p"
      q=$(cell plain)
      i=$(iperf_mbs "$chunk")
      ratio=$(awk "BEGIN{ if ($i > 0) printf \"%.3f\", $q / $i; else print \"-\" }")
      row+="| $q / $i (${ratio}) "
      echo "  rate $rate loss $loss pattern $p: $q / $i" >&2
    done
    for p in 7 8 9 10; do
      quarvent_run --pattern "$p"
      row+="| $(cell rtt) "
      quarvent_run --pattern "$p" -u --udp-timeout "$UDP_TIMEOUT_MS"
      row+="| $(cell rtt) "
      [ "$loss" -eq 0 ] || sleep 3 # past the idle timeout of a session whose end marker was lost
      echo "  rate $rate loss $loss pattern $p done" >&2
    done
    echo "$row|"
  done
done
