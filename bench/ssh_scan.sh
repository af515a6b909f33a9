#!/usr/bin/env bash
# Times a remote scan over SSH against the bare minimum and against a configuration-management
# fact gatherer, in the same run, on a throwaway sshd on 127.0.0.2.
#
#   bench/ssh_scan.sh [QELTO_CLI [SSH_BARE_EXEC]] [--rounds N]
#
# QELTO_CLI defaults to build/release/cli/qelto-cli, SSH_BARE_EXEC to bench/ssh_bare_exec of the
# same build folder (then build/c). Per round (default 15, at most 100), in turn:
#   qelto  `qelto-cli scan ssh://USER@ADDRESS:PORT --json` with HOME holding the key and known_hosts
#   bare   ssh_bare_exec: connect, key login, exec `true`, disconnect (libssh)
#   ansible `ansible all -i ADDRESS, -m setup`, a fresh connection each time (no ControlMaster)
# Prints the median wall time of each, the ratios qelto/bare and qelto/ansible, and the median
# bytes on the wire per run (all connections of a run summed), counted by a byte-counting relay
# in front of sshd in a separate pass of up to 3 rounds, so that the relay does not slow the timed
# runs.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
rounds=15
positional=()
while (($#)); do
    case $1 in
    --rounds) rounds=${2:?--rounds needs a number}; shift 2 ;;
    -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) positional+=("$1"); shift ;;
    esac
done
if ! [[ $rounds =~ ^[0-9]+$ ]] || ((rounds < 1 || rounds > 100)); then
    echo "--rounds: 1…100" >&2
    exit 2
fi

cli=${positional[0]:-$root/build/release/cli/qelto-cli}
bare=${positional[1]:-}
if [[ -z $bare ]]; then
    for candidate in "$(dirname "$(dirname "$cli")")/bench/ssh_bare_exec" "$root/build/c/bench/ssh_bare_exec"; do
        if [[ -x $candidate ]]; then bare=$candidate; break; fi
    done
fi
[[ -n $bare && -x $bare ]] || { echo "找不到 ssh_bare_exec；先用 -DQELTO_BENCH=ON 构建" >&2; exit 1; }
command -v ansible >/dev/null || { echo "找不到 ansible" >&2; exit 1; }
per_run_limit=120 # seconds; no single run may hang the benchmark

dir=$(mktemp -d /tmp/qelto-sshbench.XXXXXX)
relay_pid=""
finish() {
    [[ -n $relay_pid ]] && kill "$relay_pid" 2>/dev/null
    bash "$root/tests/sources/ssh/test_sshd.sh" stop "$dir/sshd" >/dev/null 2>&1 || true
    rm -rf -- "$dir"
}
trap finish EXIT

bash "$root/tests/sources/ssh/test_sshd.sh" start "$dir/sshd" >/dev/null
# shellcheck disable=SC1091
. "$dir/sshd/env"
home=$dir/sshd/home
unset SSH_AUTH_SOCK SSH_AGENT_PID

# The byte-counting relay: ADDRESS:relay_port → ADDRESS:PORT. Writes "open" when a connection
# comes in and "done SENT RECEIVED" (as sshd sees it) when both directions have ended.
relay_log=$dir/relay.log
: >"$relay_log"
python=/usr/bin/python3
[[ -x $python ]] || python=python3
"$python" -c '
import asyncio, sys
host, port, log = sys.argv[1], int(sys.argv[2]), sys.argv[3]

def note(line):
    with open(log, "a") as f:
        f.write(line + "\n")

async def pipe(reader, writer, counts, i):
    try:
        while data := await reader.read(65536):
            counts[i] += len(data)
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    try:
        writer.write_eof()
    except (ConnectionError, OSError, RuntimeError):
        pass

async def handle(client_reader, client_writer):
    note("open")
    counts = [0, 0]  # from the client, from the server
    try:
        server_reader, server_writer = await asyncio.open_connection(host, port)
    except OSError:
        client_writer.close()
        note("done 0 0")
        return
    await asyncio.gather(pipe(client_reader, server_writer, counts, 0),
                         pipe(server_reader, client_writer, counts, 1))
    server_writer.close()
    client_writer.close()
    note(f"done {counts[1]} {counts[0]}")

async def main():
    server = await asyncio.start_server(handle, host, 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()

asyncio.run(main())
' "$ADDRESS" "$PORT" "$relay_log" >"$dir/relay.port" 2>/dev/null &
relay_pid=$!
for _ in $(seq 1 50); do [[ -s $dir/relay.port ]] && break; sleep 0.1; done
relay_port=$(head -n1 "$dir/relay.port")
[[ -n $relay_port ]] || { echo "字节计数中继未能启动" >&2; exit 1; }
echo "[$ADDRESS]:$relay_port $HOSTKEY_PUB" >>"$KNOWN_HOSTS"

# One run of a peer against a port; its exit status is the peer's.
run_peer() {
    local peer=$1 port=$2
    case $peer in
    qelto)
        HOME=$home timeout "$per_run_limit" "$cli" scan "ssh://$USER@$ADDRESS:$port" --json
        ;;
    bare)
        timeout "$per_run_limit" "$bare" "$ADDRESS" "$port" "$USER" "$CLIENT_KEY" "$KNOWN_HOSTS"
        ;;
    ansible)
        (cd "$dir" && HOME=$home ANSIBLE_HOST_KEY_CHECKING=True ANSIBLE_PYTHON_INTERPRETER=auto_silent \
            ANSIBLE_SSH_ARGS="-o ControlMaster=no -o UserKnownHostsFile=$KNOWN_HOSTS -o GlobalKnownHostsFile=/dev/null" \
            timeout "$per_run_limit" ansible all -i "$ADDRESS," -m setup \
            -e "ansible_port=$port ansible_user=$USER ansible_ssh_private_key_file=$CLIENT_KEY")
        ;;
    esac
}

peers=(bare ansible)
if [[ -x $cli ]] && run_peer qelto "$PORT" >/dev/null 2>"$dir/qelto.err"; then
    peers=(qelto bare ansible)
else
    echo "qelto-cli ($cli) 不能扫描 ssh://，只测另外两项：" >&2
    head -n 3 "$dir/qelto.err" >&2 2>/dev/null || true
fi
for peer in "${peers[@]}"; do # warm-up, and a check that each one works at all
    if ! run_peer "$peer" "$PORT" >/dev/null 2>"$dir/$peer.err"; then
        echo "$peer 运行失败：" >&2
        tail -n 5 "$dir/$peer.err" >&2
        exit 1
    fi
done

median() { sort -n | awk '{v[NR] = $1} END {if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

now_us() { local t=${EPOCHREALTIME/./}; echo $((10#$t)); }

declare -A times
for ((round = 0; round < rounds; round++)); do
    n=${#peers[@]}
    for ((k = 0; k < n; k++)); do # a different peer goes first each round
        peer=${peers[(round + k) % n]}
        start=$(now_us)
        run_peer "$peer" "$PORT" >/dev/null 2>&1 || { echo "$peer 在第 $((round + 1)) 轮失败" >&2; exit 1; }
        times[$peer]+="$(($(now_us) - start)) "
    done
done

# Bytes: runs through the relay, one at a time; a run's connections are those opened during it.
declare -A sent received conns
byte_rounds=$((rounds < 3 ? rounds : 3))
for ((round = 0; round < byte_rounds; round++)); do
    for peer in "${peers[@]}"; do
        before=$(wc -l <"$relay_log")
        run_peer "$peer" "$relay_port" >/dev/null 2>&1 || { echo "$peer 经中继失败" >&2; exit 1; }
        for _ in $(seq 1 50); do # until every connection of the run has closed (≤ 5 s)
            opened=$(tail -n +"$((before + 1))" "$relay_log" | grep -c '^open' || true)
            closed=$(tail -n +"$((before + 1))" "$relay_log" | grep -c '^done' || true)
            ((opened > 0 && opened == closed)) && break
            sleep 0.1
        done
        read -r s r c < <(tail -n +"$((before + 1))" "$relay_log" |
            awk '/^done/ {s += $2; r += $3; c++} END {print s + 0, r + 0, c + 0}')
        sent[$peer]+="$s "
        received[$peer]+="$r "
        conns[$peer]+="$c "
    done
done

printf '%s 轮（交替）；服务器 %s:%s\n' "$rounds" "$ADDRESS" "$PORT"
echo "         中位时间 ms   服务器发送 B   服务器接收 B   连接数"
declare -A med bytes
for peer in "${peers[@]}"; do
    med[$peer]=$(tr ' ' '\n' <<<"${times[$peer]}" | grep . | median)
    s=$(tr ' ' '\n' <<<"${sent[$peer]}" | grep . | median)
    r=$(tr ' ' '\n' <<<"${received[$peer]}" | grep . | median)
    bytes[$peer]=$((s + r))
    printf '%-8s %12.1f %14s %14s %8s\n' "$peer" "$(awk -v t="${med[$peer]}" 'BEGIN {print t / 1000}')" \
        "$s" "$r" "$(tr ' ' '\n' <<<"${conns[$peer]}" | grep . | median)"
done
if [[ -n ${med[qelto]:-} ]]; then
    awk -v q="${med[qelto]}" -v b="${med[bare]}" -v a="${med[ansible]}" \
        'BEGIN {printf "时间：qelto/bare %.2f×（目标 ≤ 1.5×）  qelto/ansible %.3f×（目标 ≤ 0.2×）\n", q / b, q / a}'
    awk -v q="${bytes[qelto]}" -v a="${bytes[ansible]}" \
        'BEGIN {printf "字节（双向合计）：qelto/ansible %.3f×\n", q / a}'
fi
