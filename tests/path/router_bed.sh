# A client host C and a server host S (network namespaces on this machine)
# with a router R between them whose link towards C is the bottleneck: tbf
# limits what R sends to C and holds a queue of up to LATENCY, so that a
# download from S fills that queue as it would in a real router (a limit on
# the sender's own interface does not fill: its TCP holds its queue back).
# Addresses come from 198.18.0.0/15 only. TCP in S and C uses reno, whose
# queue-filling is what the bed is for (BBR keeps queues short by design).
# Source it; router_bed_cleanup, run by the caller's traps, removes all of it.
#
#   bed_available || exit 77          # from testbed.sh: root, netns, tbf
#   router_bed_up 20mbit 200ms        # RBED_C, RBED_R, RBED_S: namespace names
#   ip netns exec "$RBED_S" ...       # S at $RBED_ADDR_S, C at $RBED_ADDR_C
#   router_bed_cleanup

RBED_ADDR_S=198.18.1.1
RBED_ADDR_RS=198.18.1.2
RBED_ADDR_RC=198.18.1.5
RBED_ADDR_C=198.18.1.6
RBED_C=""
RBED_R=""
RBED_S=""

# Namespaces of a bed whose process is gone (killed outright: no trap ran).
router_bed_remove_stale() {
  local ns pid
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E '^qvr-[0-9]+-[0-9]+-[crs]$'); do
    pid=${ns#qvr-}
    pid=${pid%%-*}
    kill -0 "$pid" 2>/dev/null || ip netns del "$ns" 2>/dev/null
  done
}

# router_bed_up RATE LATENCY: the three hosts, routed, with R's link towards
# C limited to RATE and a queue of up to LATENCY (tc syntax: 20mbit, 200ms).
router_bed_up() {
  router_bed_remove_stale
  local tag="$$-$RANDOM" short="${$}${RANDOM}"
  RBED_C="qvr-$tag-c"
  RBED_R="qvr-$tag-r"
  RBED_S="qvr-$tag-s"
  local ns
  for ns in "$RBED_C" "$RBED_R" "$RBED_S"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
  done
  local vs="qvs${short}" vrs="qvrs${short}" vrc="qvrc${short}" vc="qvc${short}"
  vs=${vs:0:15} vrs=${vrs:0:15} vrc=${vrc:0:15} vc=${vc:0:15}
  ip link add "$vs" netns "$RBED_S" type veth peer name "$vrs" netns "$RBED_R"
  ip link add "$vc" netns "$RBED_C" type veth peer name "$vrc" netns "$RBED_R"
  ip -n "$RBED_S" addr add "$RBED_ADDR_S/30" dev "$vs"
  ip -n "$RBED_R" addr add "$RBED_ADDR_RS/30" dev "$vrs"
  ip -n "$RBED_R" addr add "$RBED_ADDR_RC/30" dev "$vrc"
  ip -n "$RBED_C" addr add "$RBED_ADDR_C/30" dev "$vc"
  ip -n "$RBED_S" link set "$vs" up
  ip -n "$RBED_R" link set "$vrs" up
  ip -n "$RBED_R" link set "$vrc" up
  ip -n "$RBED_C" link set "$vc" up
  ip -n "$RBED_S" route add default via "$RBED_ADDR_RS"
  ip -n "$RBED_C" route add default via "$RBED_ADDR_RC"
  ip netns exec "$RBED_R" sysctl -qw net.ipv4.ip_forward=1
  for ns in "$RBED_S" "$RBED_C"; do
    ip netns exec "$ns" sysctl -qw net.ipv4.tcp_congestion_control=reno
  done
  ip netns exec "$RBED_R" tc qdisc add dev "$vrc" root tbf rate "$1" burst 32kbit latency "$2"
}

router_bed_cleanup() {
  local ns
  for ns in "$RBED_C" "$RBED_R" "$RBED_S"; do
    [ -n "$ns" ] && ip netns del "$ns" 2>/dev/null
  done
  RBED_C="" RBED_R="" RBED_S=""
  return 0
}
