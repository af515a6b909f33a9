#!/usr/bin/env bash
# Hosts behind a real interface, for tests and benchmarks (root only): a client namespace and a
# hosts namespace joined by a veth pair, a firewall in the hosts namespace, and nothing else.
#
#   nethosts.sh up NAME            creates NAME-c (client, 198.18.8.1/24) and NAME-h (hosts)
#   nethosts.sh drop NAME ADDR PORT    NAME-h silently drops TCP to ADDR:PORT
#   nethosts.sh reject NAME ADDR PORT  NAME-h answers TCP to ADDR:PORT with a reset (refused)
#   nethosts.sh client NAME K      adds a client namespace NAME-cK (K 1–9, 198.18.9.4K+1/30)
#   nethosts.sh exec NAME c|cK|h CMD…  runs CMD inside NAME-c, NAME-cK or NAME-h
#   nethosts.sh silent NAME            creates NAME-c and NAME-x, where nobody ever answers;
#                                      prints SILENT='198.51.100.0/24'
#   nethosts.sh down NAME              deletes them all (idempotent)
#
# NAME-h owns 198.18.8.2–198.18.8.254 on its end of the veth (198.18.0.0/15 is set aside for
# benchmarking and never routed), and the whole of 198.18.12.0/22 as local addresses (a server
# bound to 0.0.0.0 there answers every one of them). The client namespace's only routes lead into
# NAME-h; neither namespace has a route anywhere else, so no packet ever leaves the two. Each
# has its own loopback. The firewall is an nftables table "qelto" whose input chain accepts
# everything but the ports named by drop and reject. A further client NAME-cK (a scanner of
# several, each on a machine of its own) has a veth pair of its own into NAME-h, 198.18.9.4K+1 at
# its end and 198.18.9.4K+2 at NAME-h's, and like NAME-c a route to 198.18.12.0/22 only.
#
# silent: NAME-c holds its own loopback (servers started inside it are reached there) and one end
# of a veth pair, 192.0.2.1/30. Its only other route sends 198.51.100.0/24 (documentation
# addresses, never assigned to a network) through the gateway 192.0.2.2, whose neighbour entry is
# permanent and names a MAC that nobody has: the frames reach the other end of the veth in
# NAME-x, which has no address and drops them. So every SYN to 198.51.100.x is swallowed, no ARP
# is sent, and no packet ever leaves the two namespaces: neither has a route anywhere else.
set -euo pipefail

# usage, die, need_root, need_program, on_exit, disarm
# shellcheck source=fixture.sh
. "$(dirname "${BASH_SOURCE[0]}")/fixture.sh"

(($# >= 2)) || usage
command=$1
name=$2
[[ $name =~ ^[a-z][a-z0-9-]{0,9}$ ]] || die "bad namespace name: $name"
client=$name-c
hosts=$name-h
peer=$name-x

down() {
    local ns
    for ns in "$client" "$hosts" "$peer"; do ip netns del "$ns" 2>/dev/null || true; done
    for k in $(seq 1 9); do ip netns del "$client$k" 2>/dev/null || true; done
}

# Dies unless none of the namespaces exists yet; deletes them again if the script fails.
fresh() {
    need_root "network namespaces"
    ! ip netns list | grep -qE "^($client|$hosts|$peer)( |$)" || die "$name already exists"
    on_exit down
}

rule() {
    local verdict=$1 address=$2 port=$3
    [[ $address =~ ^198\.18\.[0-9]{1,3}\.[0-9]{1,3}(/(2[2-9]|3[0-2]))?$ ]] || die "not a test address: $address"
    [[ $port =~ ^[0-9]{1,5}$ ]] || die "bad port: $port"
    ip netns exec "$hosts" nft add rule inet qelto input ip daddr "$address" tcp dport "$port" \
        "$verdict"
}

case $command in
up)
    need_root "network namespaces"
    need_program nft "the nftables package"
    fresh
    ip netns add "$client"
    ip netns add "$hosts"
    ip -n "$client" link add qc0 type veth peer name qh0 netns "$hosts"
    ip -n "$client" link set lo up
    ip -n "$hosts" link set lo up
    ip -n "$client" addr add 198.18.8.1/24 dev qc0
    ip -n "$hosts" addr add 198.18.8.2/24 dev qh0
    for i in $(seq 3 254); do echo "addr add 198.18.8.$i/24 dev qh0"; done | ip -n "$hosts" -batch -
    ip -n "$client" link set qc0 up
    ip -n "$hosts" link set qh0 up
    ip -n "$hosts" route add local 198.18.12.0/22 dev lo
    ip -n "$client" route add 198.18.12.0/22 via 198.18.8.2 dev qc0
    ip netns exec "$hosts" nft -f - <<'NFT'
table inet qelto {
    chain input {
        type filter hook input priority 0; policy accept;
    }
}
NFT
    # Check what was made: the client reaches the hosts namespace and nothing else.
    routes=$(ip -n "$client" -4 route show | sed "s/ *$//" | sort)
    expected=$(printf '%s\n' "198.18.12.0/22 via 198.18.8.2 dev qc0" \
        "198.18.8.0/24 dev qc0 proto kernel scope link src 198.18.8.1" | sort)
    [[ $routes == "$expected" ]] || die "unexpected routes in $client: $routes"
    [[ -z $(ip -n "$hosts" -4 route show | grep -v '^198\.18\.8\.0/24 dev qh0 ' || true) ]] ||
        die "unexpected routes in $hosts"
    disarm
    ;;
silent)
    fresh
    ip netns add "$client"
    ip netns add "$peer"
    # Created inside NAME-c, so that neither end ever sits in this namespace.
    ip -n "$client" link add qa0 type veth peer name qb0 netns "$peer"
    ip -n "$client" link set lo up
    ip -n "$client" addr add 192.0.2.1/30 dev qa0
    ip -n "$client" link set qa0 up
    ip -n "$peer" link set qb0 up
    ip -n "$client" neigh replace 192.0.2.2 lladdr 02:00:5e:00:53:02 dev qa0 nud permanent
    ip -n "$client" route add 198.51.100.0/24 via 192.0.2.2 dev qa0
    # Check what was made: the routes NAME-c has are the two above (and loopback's), nothing else.
    routes=$(ip -n "$client" -4 route show | sed "s/ *$//" | sort)
    expected=$(printf '%s\n' "192.0.2.0/30 dev qa0 proto kernel scope link src 192.0.2.1" \
        "198.51.100.0/24 via 192.0.2.2 dev qa0" | sort)
    [[ $routes == "$expected" ]] || die "unexpected routes in $client: $routes"
    [[ -z $(ip -n "$client" -6 route show | grep -v '^fe80::/64\|^::1 ' || true) ]] ||
        die "unexpected IPv6 routes in $client"
    [[ -z $(ip -n "$peer" -4 route show) ]] || die "unexpected routes in $peer"
    disarm
    echo "SILENT='198.51.100.0/24'"
    ;;
client)
    (($# == 3)) && [[ $3 =~ ^[1-9]$ ]] || usage
    need_root "network namespaces"
    ip netns list | grep -qE "^$hosts( |$)" || die "$name is not up"
    extra=$client$3
    ! ip netns list | grep -qE "^$extra( |$)" || die "$extra already exists"
    near=198.18.9.$((4 * $3 + 1))
    far=198.18.9.$((4 * $3 + 2))
    trap 'ip netns del "$extra" 2>/dev/null || true' EXIT  # its veth pair goes with it
    ip netns add "$extra"
    ip -n "$extra" link add qc0 type veth peer name "qh$3" netns "$hosts"
    ip -n "$extra" link set lo up
    ip -n "$extra" addr add "$near/30" dev qc0
    ip -n "$hosts" addr add "$far/30" dev "qh$3"
    ip -n "$extra" link set qc0 up
    ip -n "$hosts" link set "qh$3" up
    ip -n "$extra" route add 198.18.12.0/22 via "$far" dev qc0
    routes=$(ip -n "$extra" -4 route show | sed "s/ *$//" | sort)
    expected=$(printf '%s\n' "198.18.12.0/22 via $far dev qc0" \
        "198.18.9.$((4 * $3))/30 dev qc0 proto kernel scope link src $near" | sort)
    [[ $routes == "$expected" ]] || die "unexpected routes in $extra: $routes"
    trap - EXIT
    ;;
drop) (($# == 4)) || usage; rule drop "$3" "$4" ;;
reject) (($# == 4)) || usage; rule "reject with tcp reset" "$3" "$4" ;;
exec)
    (($# >= 4)) || usage
    side=$3
    shift 3
    case $side in
    c) exec ip netns exec "$client" "$@" ;;
    c[1-9]) exec ip netns exec "$client${side#c}" "$@" ;;
    h) exec ip netns exec "$hosts" "$@" ;;
    *) usage ;;
    esac
    ;;
down) down ;;
*) usage ;;
esac
