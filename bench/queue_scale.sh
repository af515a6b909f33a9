#!/usr/bin/env bash
# The scan queue at the scale of a large network (root only): W workers of J scans each over a
# /20 or /16 whose addresses never answer, and a handful of real OpenSSH hosts, on a PostgreSQL
# server with stock settings. Prints per round: the time, targets per minute, measured ÷ bound
# (bound: silent hosts × connect time-out ÷ all the workers' places), the archive connections
# opened (pg_stat_database), the server's CPU per target, and the workers' peak memory; and
# checks that every live host was saved exactly once.
#
#   bench/queue_scale.sh [QELTO_CLI] [--prefix 20|16] [--workers W] [--jobs J] [--ssh K]
#                        [--rounds R] [--connect-timeout S]
#
# Defaults: /20, 4 workers × 64 jobs, 5 SSH hosts, 1 round, 2 s. Everything runs inside network
# namespaces the script makes (tests/support/nethosts.sh silent): the range 198.18.0.0/PREFIX
# (set aside for benchmarks, never routed) is sent to a gateway nobody answers for, so every SYN
# is swallowed inside them; the SSH hosts and the server listen on the namespace's own loopback.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
prefix=20 workers=4 jobs=64 ssh=5 rounds=1 timeout=2
positional=()
while (($#)); do
    case $1 in
    --prefix) prefix=${2:?--prefix needs 20 or 16}; shift 2 ;;
    --workers) workers=${2:?--workers needs a number}; shift 2 ;;
    --jobs) jobs=${2:?--jobs needs a number}; shift 2 ;;
    --ssh) ssh=${2:?--ssh needs a number}; shift 2 ;;
    --rounds) rounds=${2:?--rounds needs a number}; shift 2 ;;
    --connect-timeout) timeout=${2:?--connect-timeout needs seconds}; shift 2 ;;
    -h | --help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) positional+=("$1"); shift ;;
    esac
done
for v in "$prefix:16:20" "$workers:1:8" "$jobs:1:256" "$ssh:1:8" "$rounds:1:5" "$timeout:1:10"; do
    IFS=: read -r n lo hi <<<"$v"
    if ! [[ $n =~ ^[0-9]+$ ]] || ((n < lo || n > hi)); then
        echo "参数应在 $lo…$hi 之间：$n" >&2
        exit 2
    fi
done
((prefix == 16 || prefix == 20)) || { echo "--prefix 只能是 20 或 16" >&2; exit 2; }
cli=$(realpath "${positional[0]:-$root/build/test/cli/qelto-cli}")
[[ -x $cli ]] || { echo "找不到 $cli" >&2; exit 1; }
if ((EUID != 0)); then
    echo "跳过：需要 root（网络命名空间）"
    exit 0
fi

name=qs$((RANDOM % 100000))
ns=$name-c
dir=$(mktemp -d /tmp/qelto-qscale.XXXXXX)
chmod 755 "$dir"
finish() {
    for k in $(seq "$ssh"); do
        ip netns exec "$ns" bash "$root/tests/sources/ssh/test_sshd.sh" stop "$dir/ssh$k" \
            >/dev/null 2>&1 || true
    done
    ip netns exec "$ns" bash "$root/tests/archive/test_pg.sh" stop "$dir/pg" >/dev/null 2>&1 || true
    bash "$root/tests/support/nethosts.sh" down "$name" >/dev/null 2>&1 || true
    rm -rf -- "$dir"
}
trap finish EXIT
inside() { ip netns exec "$ns" "$@"; }

bash "$root/tests/support/nethosts.sh" silent "$name" >/dev/null
ip -n "$ns" route add "198.18.0.0/$prefix" via 192.0.2.2 dev qa0
inside env TEST_PG_PASSWORD=pw bash "$root/tests/archive/test_pg.sh" start "$dir/pg" >/dev/null
# shellcheck disable=SC1091,SC2153 # the server's ADDRESS, PORT, USER, VERSION
pg_port=$(. "$dir/pg/env" && echo "$PORT")
psql_in() { inside env PGPASSWORD=pw psql -h 127.0.0.1 -p "$pg_port" -U qelto -Atqc "$1" "${2:-qscale}"; }
psql_in "CREATE DATABASE qscale" postgres
export QELTO_ARCHIVE="Provider=PostgreSQL;Host=127.0.0.1;Port=$pg_port;Database=qscale;User ID=qelto;Password=pw"
export LC_ALL=C.UTF-8
inside "$cli" archive init >/dev/null

# The SSH hosts, each an sshd of its own on 127.0.0.K+1; all take the first one's client key.
live=()
for k in $(seq "$ssh"); do
    inside bash "$root/tests/sources/ssh/test_sshd.sh" start "$dir/ssh$k" \
        --address "127.0.0.$((k + 1))" >/dev/null
    # shellcheck disable=SC1090 # the sshd's ADDRESS, PORT, USER
    port=$(. "$dir/ssh$k/env" && echo "$PORT")
    # shellcheck disable=SC1090
    user=$(. "$dir/ssh$k/env" && echo "$USER")
    live+=("ssh://$user@127.0.0.$((k + 1)):$port")
    if ((k > 1)); then
        cat "$dir/ssh1/home/.ssh/id_ed25519.pub" >>"$dir/ssh$k/authorized_keys.$user"
        cat "$dir/ssh$k/home/.ssh/known_hosts" >>"$dir/ssh1/home/.ssh/known_hosts"
    fi
done
home=$dir/ssh1/home

silent=$(((1 << (32 - prefix)) - 2))
targets=$((silent + ssh))
postmaster=$(head -n 1 "$dir/pg/data/postmaster.pid")
# The server's CPU time so far in clock ticks: the postmaster's, and that of its ended children.
server_ticks() { awk '{ print $14 + $15 + $16 + $17 }' "/proc/$postmaster/stat"; }
sessions() { psql_in "SELECT sessions FROM pg_stat_database WHERE datname = 'qscale'"; }

echo "== 检测队列：/$prefix（$silent 个无应答地址）+ $ssh 台 SSH 主机，$workers 个扫描程序 × $jobs，连接时限 $timeout 秒"
for r in $(seq "$rounds"); do
    inside "$cli" queue remove --all >/dev/null
    add_start=$(date +%s.%N)
    inside "$cli" queue add "198.18.0.0/$prefix" --department 信息部 --person 测试 >/dev/null
    add_end=$(date +%s.%N)
    inside "$cli" queue add "${live[@]}" --department 信息部 --person 测试 >/dev/null
    before_sessions=$(sessions)
    before_ticks=$(server_ticks)
    start=$(date +%s.%N)
    pids=()
    for w in $(seq "$workers"); do
        inside env HOME="$home" /usr/bin/time -f %M -o "$dir/mem$w" timeout 1800 "$cli" worker \
            --once --jobs "$jobs" --connect-timeout "$timeout" --timeout 20 --lease 5m \
            --name "w$w" 2>"$dir/log$w" &
        pids+=($!)
    done
    status=0
    for p in "${pids[@]}"; do wait "$p" || status=1; done
    end=$(date +%s.%N)
    after_ticks=$(server_ticks)
    # Less one: the look itself is a session.
    opened=$(($(sessions) - before_sessions - 1))
    saved=$(psql_in "SELECT count(*) FROM scan_queue WHERE scans = 1 AND host LIKE 'ssh://%'")
    twice=$(psql_in "SELECT count(*) FROM scan_queue WHERE scans > 1")
    infos=$(psql_in "SELECT count(*) FROM info")
    peak=$(sort -n "$dir"/mem* | tail -n 1)
    python3 - "$r" "$targets" "$silent" "$timeout" "$workers" "$jobs" "$start" "$end" \
        "$opened" "$((after_ticks - before_ticks))" "$(getconf CLK_TCK)" "$peak" \
        "$add_start" "$add_end" <<'PY'
import sys
r, n, silent, timeout, workers, jobs = map(int, sys.argv[1:7])
start, end = float(sys.argv[7]), float(sys.argv[8])
opened, ticks, hz, peak = int(sys.argv[9]), int(sys.argv[10]), int(sys.argv[11]), int(sys.argv[12])
add = float(sys.argv[14]) - float(sys.argv[13])
t = end - start
bound = silent * timeout / (workers * jobs)
print(f"第 {r} 轮\t{t:7.1f} 秒\t{n / t * 60:8.0f} 个/分钟\t实测÷下限 {t / bound:5.2f}（下限 {bound:.1f} 秒）"
      f"\t档案连接 {opened}（每个扫描程序 {opened / workers:.1f}）"
      f"\t服务器 CPU {ticks / hz * 1000 / n:.3f} 毫秒/目标\t峰值内存 {peak / 1024:.0f} MB\tqueue add {add:.2f} 秒")
PY
    echo "  SSH 主机保存一次：$saved / $ssh；保存多于一次的目标：$twice；info 行：$infos；扫描程序状态：$status"
    ((saved == ssh && twice == 0 && infos == ssh * r)) || { echo "结果不对：见 $dir/log*" >&2; tail -n 5 "$dir"/log* >&2; exit 1; }
done
