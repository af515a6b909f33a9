#!/usr/bin/env bash
# A pair of network namespaces in which hosts never answer, for tests and benchmarks (root only).
#
#   netns.sh up NAME       creates NAME and NAME-x; prints SILENT='198.51.100.0/24'
#   netns.sh exec NAME CMD…  runs CMD inside NAME
#   netns.sh down NAME     deletes both (idempotent)
#
# NAME holds its own loopback (127.0.0.0/8: servers started inside it are reached there) and one
# end of a veth pair, 192.0.2.1/30. Its only other route sends 198.51.100.0/24 (documentation
# addresses, never assigned to a network) through the gateway 192.0.2.2, whose neighbour entry is
# permanent and names a MAC that nobody has: the frames reach the other end of the veth in NAME-x,
# which has no address and drops them. So every SYN to 198.51.100.x is swallowed, no ARP is sent,
# and no packet ever leaves the two namespaces: neither has a route anywhere else.
set -euo pipefail

usage() {
    sed -n '4,6p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
die() {
    echo "netns.sh: $*" >&2
    exit 1
}

(($# >= 2)) || usage
command=$1
name=$2
[[ $name =~ ^[a-z][a-z0-9-]{0,11}$ ]] || die "bad namespace name: $name"
peer=$name-x

down() {
    ip netns del "$name" 2>/dev/null || true
    ip netns del "$peer" 2>/dev/null || true
}

case $command in
up)
    ((EUID == 0)) || die "needs root"
    ! ip netns list | grep -qE "^($name|$peer)( |$)" || die "$name already exists"
    trap down EXIT
    ip netns add "$name"
    ip netns add "$peer"
    # Created inside NAME, so that neither end ever sits in this namespace.
    ip -n "$name" link add qa0 type veth peer name qb0 netns "$peer"
    ip -n "$name" link set lo up
    ip -n "$name" addr add 192.0.2.1/30 dev qa0
    ip -n "$name" link set qa0 up
    ip -n "$peer" link set qb0 up
    ip -n "$name" neigh replace 192.0.2.2 lladdr 02:00:5e:00:53:02 dev qa0 nud permanent
    ip -n "$name" route add 198.51.100.0/24 via 192.0.2.2 dev qa0
    # Check what was made: the routes NAME has are the two above (and loopback's), nothing else.
    routes=$(ip -n "$name" -4 route show | sed "s/ *$//" | sort)
    expected=$(printf '%s\n' "192.0.2.0/30 dev qa0 proto kernel scope link src 192.0.2.1" \
        "198.51.100.0/24 via 192.0.2.2 dev qa0" | sort)
    [[ $routes == "$expected" ]] || die "unexpected routes in $name: $routes"
    [[ -z $(ip -n "$name" -6 route show | grep -v '^fe80::/64\|^::1 ' || true) ]] ||
        die "unexpected IPv6 routes in $name"
    [[ -z $(ip -n "$peer" -4 route show) ]] || die "unexpected routes in $peer"
    trap - EXIT
    echo "SILENT='198.51.100.0/24'"
    ;;
exec)
    shift 2
    (($#)) || usage
    ip netns list | grep -qE "^$name( |$)" || die "no namespace $name"
    exec ip netns exec "$name" "$@"
    ;;
down) down ;;
*) usage ;;
esac
