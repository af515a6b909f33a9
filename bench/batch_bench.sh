#!/usr/bin/env bash
# Times batch scans: N throwaway sshd on loopback addresses scanned at --jobs 1, 8 and 32 against
# the scan of one of them; and, as root, a /24's worth of hosts inside a network namespace made
# for the purpose, all but a few of which never answer.
#
#   bench/batch_bench.sh [QELTO_CLI] [--hosts N] [--rounds R] [--connect-timeout S]
#
# QELTO_CLI defaults to build/bin/qelto-cli. N servers (default 8, at most 40) on
# 127.0.0.2…; R rounds of each figure (default 3, at most 20); the silent hosts' connect time-out
# S seconds (default 1). Prints the median wall time of each and its ratio to one host's scan.
# Then the peak memory (largest resident set) of batches of 16 and 64 loopback SSH hosts at
# --jobs 8 and 32 against one host's scan: it grows with --jobs, not with the number of hosts.
# The namespace part (tests/support/nethosts.sh silent) scans 198.51.100.1–251, which exist only
# inside that namespace and swallow every packet, plus 3 servers started inside it: 254 hosts, at
# --jobs 32 and --jobs 256 (the silent ones are found together before the pool starts: one
# time-out either way). It is skipped, saying so, when not root.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
hosts=8
rounds=3
timeout=1
positional=()
while (($#)); do
    case $1 in
    --hosts) hosts=${2:?--hosts needs a number}; shift 2 ;;
    --rounds) rounds=${2:?--rounds needs a number}; shift 2 ;;
    --connect-timeout) timeout=${2:?--connect-timeout needs seconds}; shift 2 ;;
    -h | --help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) positional+=("$1"); shift ;;
    esac
done
for v in "$hosts:1:40" "$rounds:1:20" "$timeout:1:10"; do
    IFS=: read -r n lo hi <<<"$v"
    if ! [[ $n =~ ^[0-9]+$ ]] || ((n < lo || n > hi)); then
        echo "参数应在 $lo…$hi 之间：$n" >&2
        exit 2
    fi
done
cli=$(realpath "${positional[0]:-$root/build/bin/qelto-cli}")
[[ -x $cli ]] || { echo "找不到 $cli" >&2; exit 1; }
sshd_sh=$root/tests/sources/ssh/test_sshd.sh
netns_sh=$root/tests/support/nethosts.sh
per_run_limit=300 # seconds; no single run may hang the benchmark

dir=$(mktemp -d /tmp/qelto-batchbench.XXXXXX)
ns=qbb$$
ns_made=0
servers=()
finish() {
    local s
    for s in "${servers[@]}"; do bash "$sshd_sh" stop "$s" >/dev/null 2>&1 || true; done
    ((ns_made)) && bash "$netns_sh" down "$ns"
    rm -rf -- "$dir"
}
trap finish EXIT

median() { sort -n | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
now_ms() { date +%s%3N; }

# Starts COUNT servers (through PREFIX…, e.g. a namespace) on 127.0.0.2…; every one takes the
# first one's client key, and the first one's HOME knows them all. Their URLs go into FILE, that
# HOME into $server_home.
server_home=""
start_servers() {
    local tag=$1 count=$2 file=$3
    shift 3
    local i s first=""
    : >"$file"
    for ((i = 0; i < count; i++)); do
        s=$dir/$tag$i
        servers+=("$s")
        "$@" bash "$sshd_sh" start "$s" --address "127.0.0.$((i + 2))" >/dev/null
        # shellcheck disable=SC1091
        (. "$s/env" && echo "ssh://$USER@$ADDRESS:$PORT" >>"$file")
        if [[ -z $first ]]; then
            first=$s
        else
            cat "$first/home/.ssh/id_ed25519.pub" >>"$s/authorized_keys.$(id -un)"
            cat "$s/home/.ssh/known_hosts" >>"$first/home/.ssh/known_hosts"
        fi
    done
    server_home=$first/home
}

# Median wall time in ms of R runs of qelto-cli scan ARGS… (through PREFIX when set) with HOME.
PREFIX=()
timed() {
    local home=$1 t0 t1 times=()
    shift
    for ((r = 0; r < rounds; r++)); do
        t0=$(now_ms)
        HOME=$home timeout "$per_run_limit" "${PREFIX[@]}" "$cli" scan "$@" >/dev/null 2>&1 || true
        t1=$(now_ms)
        times+=($((t1 - t0)))
    done
    printf '%s\n' "${times[@]}" | median
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.1f", a / b}'; }

unset SSH_AUTH_SOCK SSH_AGENT_PID QELTO_PASSWORD
echo "== $hosts 台回环地址上的 SSH 主机（中位数，$rounds 轮）=="
start_servers lo "$hosts" "$dir/lo.txt"
home=$server_home
mapfile -t urls <"$dir/lo.txt"
one=$(timed "$home" --json "${urls[0]}")
printf '%-16s %8s ms\n' "一台主机" "$one"
for jobs in 1 8 32; do
    t=$(timed "$home" --jobs "$jobs" "${urls[@]}")
    printf '%-16s %8s ms   = %s × 一台\n' "--jobs $jobs" "$t" "$(ratio "$t" "$one")"
done

# Median peak memory in KiB (the largest resident set of the process) of R runs of qelto-cli
# scan ARGS… with HOME.
peak() {
    local home=$1 values=()
    shift
    for ((r = 0; r < rounds; r++)); do
        values+=("$(HOME=$home python3 -c '
import resource, subprocess, sys
try:
    subprocess.run(sys.argv[2:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=float(sys.argv[1]))
except subprocess.TimeoutExpired:
    pass
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
' "$per_run_limit" "$cli" scan "$@")")
    done
    printf '%s\n' "${values[@]}" | median
}

echo
echo "== 峰值内存：64 台回环地址上的 SSH 主机（最大常驻内存，中位数，$rounds 轮）=="
start_servers mem 64 "$dir/mem.txt"
memhome=$server_home
mapfile -t memurls <"$dir/mem.txt"
one=$(peak "$memhome" --json "${memurls[0]}")
printf '%-20s %8s KiB\n' "一台主机" "$one"
for batch in "16 8" "64 8" "64 32"; do
    read -r n jobs <<<"$batch"
    m=$(peak "$memhome" --jobs "$jobs" "${memurls[@]:0:n}")
    printf '%-20s %8s KiB   = %s × 一台\n' "$n 台，--jobs $jobs" "$m" "$(ratio "$m" "$one")"
done

echo
echo "== 254 台主机，其中 251 台从不回答（网络命名空间内，连接时限 $timeout 秒）=="
if ((EUID != 0)); then
    echo "跳过：需要 root 才能建立网络命名空间"
    exit 0
fi
if ! bash "$netns_sh" silent "$ns" >/dev/null; then
    echo "跳过：无法建立网络命名空间"
    exit 0
fi
ns_made=1
start_servers ns 3 "$dir/ns.txt" bash "$netns_sh" exec "$ns" c
nshome=$server_home
{
    cat "$dir/ns.txt"
    for i in $(seq 1 251); do echo "198.51.100.$i"; done
} >"$dir/hosts.txt"
PREFIX=(bash "$netns_sh" exec "$ns" c)
one=$(timed "$nshome" "$(head -n1 "$dir/ns.txt")")
printf '%-16s %8s ms\n' "一台主机" "$one"
for jobs in 32 256; do
    t=$(timed "$nshome" --connect-timeout "$timeout" --jobs "$jobs" --hosts-file "$dir/hosts.txt")
    printf '%-16s %8s ms   （目标：%s 秒时限 + 活主机的检测，即约 %s ms）\n' "--jobs $jobs" "$t" \
        "$timeout" "$((timeout * 1000 + one))"
done
