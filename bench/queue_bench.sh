#!/usr/bin/env bash
# Targets per minute of qelto-cli worker with 1, 2 and 4 workers sharing one PostgreSQL archive,
# over two host sets: recorded machines (every scan saved: the archive's own pace) and loopback
# hosts that never answer or refuse (the hosts' own time: each silent one costs a connect
# time-out). Prints targets per minute and the rows the archive took per second.
#
#   bench/queue_bench.sh [QELTO_CLI] [--targets N] [--jobs J]
#
# The archive is QELTO_TEST_PG (tools/test starts a throwaway server and sets it); N targets per
# set (default 48), J scans at a time per worker (default 8). Silent hosts are loopback ports that
# accept and never speak, with a connect time-out of 1 s.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
targets=48
jobs=8
positional=()
while (($#)); do
    case $1 in
    --targets) targets=${2:?--targets needs a number}; shift 2 ;;
    --jobs) jobs=${2:?--jobs needs a number}; shift 2 ;;
    -h | --help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) positional+=("$1"); shift ;;
    esac
done
for v in "$targets:4:400" "$jobs:1:64"; do
    IFS=: read -r n lo hi <<<"$v"
    if ! [[ $n =~ ^[0-9]+$ ]] || ((n < lo || n > hi)); then
        echo "参数应在 $lo…$hi 之间：$n" >&2
        exit 2
    fi
done
cli=$(realpath "${positional[0]:-$root/build/bin/qelto-cli}")
[[ -x $cli ]] || { echo "找不到 $cli" >&2; exit 1; }
if [ -z "${QELTO_TEST_PG:-}" ]; then
    echo "跳过：没有 QELTO_TEST_PG（tools/test 启动一个临时 PostgreSQL 并设置它）"
    exit 0
fi
export QELTO_ARCHIVE=$QELTO_TEST_PG LC_ALL=C.UTF-8
"$cli" archive init >/dev/null
"$cli" queue remove --all >/dev/null

# Loopback listeners that accept and never answer (half of the silent set), and closed ports.
scratch=$(mktemp -d)
python3 - "$scratch/ports" "$((targets / 2))" <<'PY' &
import socket, sys, time
socks = []
for _ in range(int(sys.argv[2])):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(64)
    socks.append(s)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write("\n".join(str(s.getsockname()[1]) for s in socks) + "\n")
import os
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
time.sleep(600)
PY
listener=$!
trap 'kill $listener 2>/dev/null; rm -rf "$scratch"; "$cli" queue remove --all >/dev/null 2>&1 || true' EXIT
for _ in $(seq 100); do [ -f "$scratch/ports" ] && break; sleep 0.1; done
silent=()
while read -r port; do silent+=("ssh://127.0.0.1:$port"); done <"$scratch/ports"
closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
for i in $(seq $((targets - ${#silent[@]}))); do silent+=("ssh://127.0.0.$((i + 1)):$closed"); done
recorded=()
for i in $(seq "$targets"); do recorded+=("pc-$i"); done

info_rows() { "$cli" queue list --json | python3 -c 'import json,sys; print(sum(t["scans"] for t in json.load(sys.stdin)["targets"]))'; }

# One round: the set queued, W workers until none is due, the wall time.
round() {
    local workers=$1 set=$2
    shift 2
    "$cli" queue remove --all >/dev/null
    "$cli" queue add "$@" --department 信息部 --person 测试 >/dev/null
    local before after start end pids=()
    before=$(info_rows)
    start=$(date +%s.%N)
    for w in $(seq "$workers"); do
        "$cli" worker --once --jobs "$jobs" --connect-timeout 1 --timeout 5 --lease 1m \
            --name "bench-$w" ${snapshot:+--snapshot "$snapshot"} 2>/dev/null &
        pids+=($!)
    done
    wait "${pids[@]}"
    end=$(date +%s.%N)
    after=$(info_rows)
    python3 - "$set" "$workers" "$#" "$start" "$end" "$((after - before))" <<'PY'
import sys
name, workers, n, start, end, saved = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5]), int(sys.argv[6])
t = end - start
print(f"{name}\t{workers} 个扫描程序\t{n} 个目标\t{t:6.2f} 秒\t{n / t * 60:8.0f} 个/分钟\t保存 {saved / t:6.1f} 行/秒")
PY
}

echo "== 检测队列：每个扫描程序同时 $jobs 个，$targets 个目标"
for workers in 1 2 4; do
    snapshot=$root/tests/scan/machines/desktop.json round "$workers" 快照主机 "${recorded[@]}"
done
for workers in 1 2 4; do
    snapshot='' round "$workers" 无应答和拒绝的主机 "${silent[@]}"
done
