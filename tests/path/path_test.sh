#!/usr/bin/env bash
# quarvent between two hosts (network namespaces on this machine) joined by
# a shaped, lossy link: runs complete with their reports over TCP and UDP,
# a UDP run with --udp-timeout survives 2 % loss each way while one without
# it ends with the watchdog, and a link that is down gives a clean connect
# failure. Needs root and namespaces; exits 77 (skipped) with one line where
# they are not there.
#
#   tests/path/path_test.sh path/to/quarvent
set -uo pipefail
QUARVENT=$(realpath "$1")
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=testbed.sh
source "$HERE/testbed.sh"

bed_available || exit 77

# shellcheck source=path_common.sh
source "$HERE/path_common.sh"

# measure NAME ARGS...: quarvent measure in B against A, output in $WORK/NAME,
# exit code in $WORK/NAME.rc; bounded by timeout (a hang is a failure).
measure() {
  local name=$1
  shift
  timeout -s INT -k 10 60 ip netns exec "$BED_B" "$QUARVENT" measure --address "$BED_ADDR_A" \
    --port "$PORT" "$@" >"$WORK/$name" 2>"$WORK/$name.err"
  echo $? >"$WORK/$name.rc"
}
rc() { cat "$WORK/$1.rc"; }

# The full report's lines, in order.
expect_report_shape() {
  local name=$1 proto=$2
  python3 - "$WORK/$name" "$proto" <<'PY' || fail "$name: report shape"
import re, sys
text = open(sys.argv[1], encoding="utf-8").read().splitlines()
expected = [r"--- %s \(198\.18\.0\.1\) \[.*\] ---$" % sys.argv[2], r"経過時間 : ",
            r"トータルスループット : [0-9.]+ \[[KM]B/s\]$", r"受信スループット : ",
            r"送信スループット : ", r"受信サイズ : ", r"受信：最小/最大 : ", r"送信サイズ : ",
            r"送信：最小/最大 : ", r"KernelTime / UserTime = "]
lines = [l for l in text if l]
if len(lines) != len(expected) or not all(re.match(e, l) for e, l in zip(expected, lines)):
    print("\n".join(text), file=sys.stderr)
    sys.exit(1)
PY
}

bed_up || exit 1
bed_rate A 100mbit
bed_rate B 100mbit
start_serve || exit 1

echo "== TCP and UDP over 100 Mbit/s, no loss" >&2
measure tcp --pattern 10 --duration auto
[ "$(rc tcp)" = 0 ] || fail "tcp: exit $(rc tcp): $(cat "$WORK/tcp.err")"
expect_report_shape tcp TCP
measure udp --pattern 10 --duration auto -u
[ "$(rc udp)" = 0 ] || fail "udp: exit $(rc udp): $(cat "$WORK/udp.err")"
expect_report_shape udp UDP

echo "== UDP with 2 % loss each way and --udp-timeout 50" >&2
# The negotiation and the end marker are short datagrams that nothing
# retransmits: a lost one would stall the run before its data phase (or
# leave the server's session waiting), whatever the option. Only the
# requests and chunks (64 KB) are lost here.
bed_loss A 20 200
bed_loss B 20 200
measure lossy --pattern 10 --duration auto -u --udp-timeout 50 --json
[ "$(rc lossy)" = 0 ] || fail "lossy: exit $(rc lossy): $(cat "$WORK/lossy.err")"
python3 - "$WORK/lossy" <<'PY' || fail "lossy: JSON"
import json, sys
doc = json.load(open(sys.argv[1], encoding="utf-8"))
(run,) = doc["runs"]
end = run["end"]
assert end["outcome"] == "completed", end["outcome"]
lost, requests = end["lost"], end["requests_sent"]
assert 0 < lost < 0.2 * requests, (lost, requests)
assert requests == end["chunks_received"] + lost, end
for key, total in (("bytes_received", "bytes_received"), ("bytes_sent", "bytes_sent"),
                   ("chunks", "chunks_received"), ("requests", "requests_sent"), ("lost", "lost")):
    assert sum(i[key] for i in run["intervals"]) == end[total], key
assert any(l.startswith("受信：損失/要求 : %d / %d " % (lost, requests)) for l in end["report"])
print("lost %d of %d requests" % (lost, requests), file=sys.stderr)
PY

echo "== the same without --udp-timeout: the watchdog ends it" >&2
measure stalled --pattern 10 --duration auto -u
[ "$(rc stalled)" = 1 ] || fail "stalled: exit $(rc stalled)"
grep -q "^Watchdog Timeout\.$" "$WORK/stalled" || fail "stalled: no watchdog line: $(cat "$WORK/stalled")"

echo "== link down: a clean connect failure" >&2
bed_loss A 0
bed_loss B 0
bed_link down
measure down --pattern 0 --duration 15
[ "$(rc down)" = 1 ] || fail "down: exit $(rc down)"
grep -q "^connect() Failed\.  ErrCode=" "$WORK/down" || fail "down: $(cat "$WORK/down")"

stop_serve
[ "$FAILURES" -eq 0 ] || exit 1
echo "path tests passed" >&2
