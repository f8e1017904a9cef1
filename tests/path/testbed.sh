# Two hosts on this machine for path tests and benchmarks: network
# namespaces A and B joined by a veth pair, A at 198.18.0.1 and B at
# 198.18.0.2 (the range set aside for benchmarking networks), each direction
# with an optional rate limit (tbf on the sender's side) and random loss
# (nftables in the receiver's input hook, which sees whole datagrams after
# reassembly). Source it; everything it makes is removed by bed_cleanup,
# which the caller's traps run on exit, failure and interrupt.
#
#   bed_available || exit 77     # root, namespaces, veth, tbf and nftables
#   bed_up                       # BED_A, BED_B: namespace names (unique per run)
#   bed_rate A 100mbit           # what A sends, at most 100 Mbit/s
#   bed_loss B 20 [MINLEN]       # B drops 20 in 1000 datagrams coming from A
#                                # (only those longer than MINLEN bytes)
#   bed_ipv6                     # and IPv6 (below), or false without it
#   bed_exec A cmd...            # runs cmd in A
#   bed_link down|up             # takes the link down or up again
#   bed_cleanup

BED_ADDR_A=198.18.0.1
BED_ADDR_B=198.18.0.2
BED_A=""
BED_B=""
BED_VETH_A=""
BED_VETH_B=""

# Why the bed cannot be built here, or nothing; one line.
bed_unavailable_reason() {
  [ "$(id -u)" -eq 0 ] || { echo "needs root"; return; }
  for tool in ip tc nft; do
    command -v "$tool" >/dev/null 2>&1 || { echo "needs $tool"; return; }
  done
  local probe="qvprobe-$$-$RANDOM"
  if ! ip netns add "$probe" 2>/dev/null; then
    echo "cannot create network namespaces"
    return
  fi
  local ok=""
  if ip -n "$probe" link add qvp0 type veth peer name qvp1 2>/dev/null &&
    ip netns exec "$probe" tc qdisc add dev qvp0 root tbf rate 1mbit burst 32kbit latency 50ms 2>/dev/null &&
    ip netns exec "$probe" nft add table inet qvprobe 2>/dev/null; then
    ok=1
  fi
  ip netns del "$probe" 2>/dev/null
  [ -n "$ok" ] || echo "no veth, tbf or nftables in this kernel"
}

bed_available() {
  local reason
  reason=$(bed_unavailable_reason)
  [ -z "$reason" ] && return 0
  echo "path test bed not available: $reason" >&2
  return 1
}

# Namespaces left by a bed whose process was killed outright (no trap ran):
# their names carry the pid of a process that is gone.
bed_remove_stale() {
  local ns pid
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E '^qv-[0-9]+-[0-9]+-[ab]$'); do
    pid=${ns#qv-}
    pid=${pid%%-*}
    kill -0 "$pid" 2>/dev/null || ip netns del "$ns" 2>/dev/null
  done
}

bed_up() {
  bed_remove_stale
  local tag="$$-$RANDOM"
  BED_A="qv-$tag-a"
  BED_B="qv-$tag-b"
  BED_VETH_A="qva${tag//-/}"
  BED_VETH_B="qvb${tag//-/}"
  BED_VETH_A=${BED_VETH_A:0:15}
  BED_VETH_B=${BED_VETH_B:0:15}
  ip netns add "$BED_A"
  ip netns add "$BED_B"
  ip link add "$BED_VETH_A" netns "$BED_A" type veth peer name "$BED_VETH_B" netns "$BED_B"
  ip -n "$BED_A" addr add "$BED_ADDR_A/30" dev "$BED_VETH_A"
  ip -n "$BED_B" addr add "$BED_ADDR_B/30" dev "$BED_VETH_B"
  local ns
  for ns in "$BED_A" "$BED_B"; do ip -n "$ns" link set lo up; done
  ip -n "$BED_A" link set "$BED_VETH_A" up
  ip -n "$BED_B" link set "$BED_VETH_B" up
  for ns in "$BED_A" "$BED_B"; do
    ip netns exec "$ns" nft add table inet qvbed
    ip netns exec "$ns" nft add chain inet qvbed input '{ type filter hook input priority 0; }'
  done
}

# bed_rate A|B RATE: limits what that side sends (tc rate syntax: 100mbit).
bed_rate() {
  local ns dev
  if [ "$1" = A ]; then ns=$BED_A dev=$BED_VETH_A; else ns=$BED_B dev=$BED_VETH_B; fi
  ip netns exec "$ns" tc qdisc replace dev "$dev" root tbf rate "$2" burst 64kbit latency 100ms
}

# bed_loss A|B N [MINLEN]: that side drops N in 1000 datagrams from the other
# side at random; with MINLEN, only datagrams longer than MINLEN bytes (so that
# a UDP run's negotiation and end marker, which nothing retransmits, get through).
bed_loss() {
  local ns peer size=""
  if [ "$1" = A ]; then ns=$BED_A peer=$BED_ADDR_B; else ns=$BED_B peer=$BED_ADDR_A; fi
  ip netns exec "$ns" nft flush chain inet qvbed input
  [ "$2" -gt 0 ] || return 0
  [ -n "${3:-}" ] && size="meta length > $3"
  # shellcheck disable=SC2086 # $size is empty or three words
  ip netns exec "$ns" nft add rule inet qvbed input ip saddr "$peer" $size \
    numgen random mod 1000 '<' "$2" drop
}

# IPv6 on the link, from the benchmarking prefix 2001:2::/48: A at
# 2001:2::1 and 2001:2::11 (a host with two addresses, as IPv6 hosts have),
# B at 2001:2::2, and the link-local pair fe80::a (A) and fe80::b (B) on the
# veth (reached as fe80::a%$BED_VETH_B from B). Without duplicate address
# detection, so they serve at once. False when this kernel has no IPv6.
BED6_A=2001:2::1
BED6_A2=2001:2::11
BED6_B=2001:2::2
BED6_LL_A=fe80::a
BED6_LL_B=fe80::b
bed_ipv6() {
  ip -n "$BED_A" -6 addr add "$BED6_A/64" dev "$BED_VETH_A" nodad 2>/dev/null || return 1
  ip -n "$BED_A" -6 addr add "$BED6_A2/64" dev "$BED_VETH_A" nodad &&
    ip -n "$BED_B" -6 addr add "$BED6_B/64" dev "$BED_VETH_B" nodad &&
    ip -n "$BED_A" -6 addr add "$BED6_LL_A/64" dev "$BED_VETH_A" nodad &&
    ip -n "$BED_B" -6 addr add "$BED6_LL_B/64" dev "$BED_VETH_B" nodad
}

bed_exec() {
  local ns
  if [ "$1" = A ]; then ns=$BED_A; else ns=$BED_B; fi
  shift
  ip netns exec "$ns" "$@"
}

bed_link() {
  ip -n "$BED_A" link set "$BED_VETH_A" "$1"
  ip -n "$BED_B" link set "$BED_VETH_B" "$1"
}

# Removes both namespaces (the veth pair and every rule go with them); the
# processes in them must have ended first.
bed_cleanup() {
  [ -n "$BED_A" ] && ip netns del "$BED_A" 2>/dev/null
  [ -n "$BED_B" ] && ip netns del "$BED_B" 2>/dev/null
  BED_A=""
  BED_B=""
  return 0
}
