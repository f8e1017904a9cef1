#!/usr/bin/env bash
# quarvent over IPv6 between two hosts (network namespaces on this machine),
# addresses from 2001:2::/48 and a link-local pair on the veth: one
# dual-stack serve measured over TCP and UDP, UDP clients of either of the
# host's two addresses answered from that address (the client's connected
# socket drops anything else), the same under --max-clients, and a link-local
# server reached with %interface. Needs root and namespaces; exits 77
# (skipped) with one line where they or IPv6 are not there.
#
#   tests/path/path_ipv6_test.sh path/to/quarvent
set -uo pipefail
QUARVENT=$(realpath "$1")
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=testbed.sh
source "$HERE/testbed.sh"

bed_available || exit 77

# shellcheck source=path_common.sh
source "$HERE/path_common.sh"

# run NAME ADDRESS HEADER ARGS...: one 10-s run of pattern 10 from B against
# ADDRESS; it must end with a full report whose header names HEADER.
run() {
  local name=$1 address=$2 header=$3
  shift 3
  timeout -s INT -k 10 60 ip netns exec "$BED_B" "$QUARVENT" measure --address "$address" \
    --port "$PORT" --pattern 10 --duration auto "$@" >"$WORK/$name" 2>"$WORK/$name.err"
  local rc=$?
  [ "$rc" = 0 ] || fail "$name: exit $rc: $(cat "$WORK/$name" "$WORK/$name.err")"
  head -n 1 "$WORK/$name" | grep -qF -- "$header" ||
    fail "$name: header: $(head -n 1 "$WORK/$name")"
  grep -q "^KernelTime / UserTime = " "$WORK/$name" || fail "$name: no full report"
}

# session_line PEER: serve's log names a session of that peer.
session_line() {
  grep -qF -- " session $1" "$WORK/serve.log" || fail "no session line of $1: $(cat "$WORK/serve.log")"
}

bed_up || exit 1
if ! bed_ipv6; then
  echo "path test bed: no IPv6 in this kernel" >&2
  exit 77
fi

echo "== one dual-stack serve: TCP and UDP over IPv6, UDP over IPv4" >&2
start_serve || exit 1
run tcp6 "$BED6_A" "--- TCP ($BED6_A) ["
# The system answers from one of A's two addresses when left to choose:
# over both, a run completes only if every answer leaves from the address
# the client sent to.
run udp6 "[$BED6_A]" "--- UDP ($BED6_A) [" -u
run udp6-second "[$BED6_A2]" "--- UDP ($BED6_A2) [" -u
run udp4 "$BED_ADDR_A" "--- UDP ($BED_ADDR_A) [" -u
run ll "$BED6_LL_A%$BED_VETH_B" "--- TCP ($BED6_LL_A%$BED_VETH_B) ["
run ll-udp "$BED6_LL_A%$BED_VETH_B" "--- UDP ($BED6_LL_A%$BED_VETH_B) [" -u
stop_serve
session_line "[$BED6_B]:"
session_line "$BED_ADDR_B:"
session_line "[$BED6_LL_B%$BED_VETH_A]:"

echo "== --max-clients: a session's socket answers from the address it was sent to" >&2
start_serve --max-clients 4 || exit 1
run many-udp6 "$BED6_A" "--- UDP ($BED6_A) [" -u
run many-udp6-second "$BED6_A2" "--- UDP ($BED6_A2) [" -u
run many-ll "$BED6_LL_A%$BED_VETH_B" "--- UDP ($BED6_LL_A%$BED_VETH_B) [" -u
stop_serve

echo "== serve -6 --bind on one address" >&2
start_serve -6 --bind "$BED6_A2" || exit 1
grep -qF "(TCP and UDP) at $BED6_A2" "$WORK/serve.log" || fail "bind: $(cat "$WORK/serve.log")"
run bound "$BED6_A2" "--- TCP ($BED6_A2) [" -6
stop_serve

[ "$FAILURES" -eq 0 ] || exit 1
echo "IPv6 path tests passed" >&2
