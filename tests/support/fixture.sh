# What every test server's control script (test_sshd.sh, test_kdc.sh, test_cupsd.sh,
# shellcheck shell=bash
# test_pg.sh) and nethosts.sh share; sourced, after `set -euo pipefail`.
#
#   usage                      the script's usage lines (its first block of "#   " comment
#                              lines) on stderr; exit 2
#   die TEXT…                  "script: TEXT" on stderr; exit 1
#   need_root [WHAT]           die "needs root" unless root
#   need_program PATH|NAME [HINT]  die unless the program is there
#   is_loopback ADDR           127.0.0.0/8 or ::1
#   bracketed ADDR             [::1] for IPv6, ADDR otherwise
#   free_port ADDR [udp]       a port free on ADDR (for TCP, and UDP too with `udp`)
#   listening ADDR PORT        something listens on ADDR:PORT (TCP)
#   wait_until TENTHS CHECK…   runs CHECK every 0.1 s until it succeeds (0) or gives up (2),
#                              at most TENTHS times; true when it succeeded
#   alive PID                  runs, and is not a zombie
#   end_tree PID               ends PID and its descendants, SIGKILL after about 2 s
#   owned_pid FILE DIR         the pid in FILE if that process has DIR on its command line
#   stop_pidfile FILE DIR      ends that process (and its descendants), removes FILE
#   make_state_dir DIR MARKER  makes DIR private, marks it, prints its absolute path
#   remove_state_dir DIR MARKER [CLEANUP]  runs CLEANUP DIR, removes DIR; only a marked DIR;
#                              nothing when DIR is gone
#   on_exit COMMAND / disarm   a cleanup run if the script fails from here on / no longer

die() {
    echo "${0##*/}: $*" >&2
    exit 1
}

usage() {
    awk '/^#   /{ on = 1; sub(/^# /, ""); print; next } on { exit }' "$0" >&2
    exit 2
}

need_root() {
    ((EUID == 0)) || die "needs root${1:+ ($1)}"
}

need_program() {
    if [[ $1 == */* ]]; then
        [[ -x $1 ]] || die "$1 not found${2:+ ($2)}"
    else
        command -v "$1" >/dev/null || die "$1 not found${2:+ ($2)}"
    fi
}

# True for the addresses a test server may use: the loopback range and ::1, nothing else.
is_loopback() {
    [[ $1 =~ ^127\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$ || $1 == ::1 ]]
}

# "[::1]" for an IPv6 address, the address itself otherwise.
bracketed() {
    if [[ $1 == *:* ]]; then echo "[$1]"; else echo "$1"; fi
}

# The kernel picks it when python3 is there; otherwise a random one that `ss` does not list. The
# server binds it moments later, so a start retries on a clash.
free_port() {
    local address=$1 udp=${2:-} port py=/usr/bin/python3
    [[ -x $py ]] || py=$(command -v python3 || true)
    if [[ -n $py ]]; then
        port=$("$py" -c '
import socket, sys
a, udp = sys.argv[1], sys.argv[2] == "udp"
fam = socket.AF_INET6 if ":" in a else socket.AF_INET
for _ in range(50):
    t = socket.socket(fam, socket.SOCK_STREAM)
    t.bind((a, 0))
    port = t.getsockname()[1]
    if udp:
        try:
            socket.socket(fam, socket.SOCK_DGRAM).bind((a, port))
        except OSError:
            continue
    print(port)
    sys.exit(0)
sys.exit(1)
' "$address" "$udp" 2>/dev/null) && [[ -n $port ]] && { echo "$port"; return; }
    fi
    [[ -z $udp ]] || die "no free port found on $address"
    for _ in $(seq 1 50); do
        port=$((20000 + RANDOM % 40000))
        if ! ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then
            echo "$port"
            return
        fi
    done
    die "no free port found on $address"
}

listening() {
    local address=$1 port=$2
    if command -v ss >/dev/null 2>&1; then
        ss -Hltn "sport = :$port" 2>/dev/null | grep -qF "$(bracketed "$address"):$port"
    else
        (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null
    fi
}

wait_until() {
    local tenths=$1 rc
    shift
    for _ in $(seq 1 "$tenths"); do
        rc=0
        "$@" || rc=$?
        ((rc == 0)) && return 0
        ((rc == 2)) && return 1
        sleep 0.1
    done
    return 1
}

# Running, and not merely a zombie waiting for a parent that does not reap it.
alive() {
    [[ -n ${1:-} ]] && kill -0 "$1" 2>/dev/null || return 1
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [[ ${stat:0:1} != Z ]]
}

# Every descendant of a process, each listed before its own children.
descendants() {
    local child
    for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
        echo "$child"
        descendants "$child"
    done
}

none_alive() {
    local p
    for p in "$@"; do alive "$p" && return 1; done
    return 0
}

end_tree() {
    local pid=$1 all
    alive "$pid" || return 0
    all="$pid $(descendants "$pid" | tr '\n' ' ')"
    # shellcheck disable=SC2086 # a list of pids
    kill -TERM $all 2>/dev/null || true
    # shellcheck disable=SC2086
    wait_until 20 none_alive $all || kill -KILL $all 2>/dev/null || true
}

# Guards against a reused pid: the process must still name DIR on its command line.
owned_pid() {
    local file=$1 dir=$2 pid
    [[ -f $file ]] || return 0
    pid=$(head -n1 "$file" | tr -dc '0-9')
    [[ -n $pid && -r /proc/$pid/cmdline ]] || return 0
    if tr '\0' ' ' </proc/"$pid"/cmdline | grep -qF "$dir"; then echo "$pid"; fi
}

stop_pidfile() {
    local pid
    pid=$(owned_pid "$1" "$2")
    [[ -n $pid ]] && end_tree "$pid"
    rm -f "$1"
}

# DIR (new, or an empty folder) becomes private to its owner and carries the file MARKER: only
# folders with the marker are ever removed.
make_state_dir() {
    local dir=$1 marker=$2
    [[ -n $dir && $dir != / ]] || die "bad DIR"
    [[ $dir != *"'"* ]] || die "DIR must not contain a single quote"
    if [[ -e $dir ]]; then
        [[ -d $dir && -z $(ls -A "$dir") ]] || die "$dir exists and is not an empty folder"
    fi
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd -P)
    chmod 0700 "$dir"
    : >"$dir/$marker"
    echo "$dir"
}

remove_state_dir() {
    local dir=$1 marker=$2 cleanup=${3:-}
    [[ -n $dir && $dir != / ]] || die "bad DIR"
    [[ -e $dir ]] || return 0
    [[ -f $dir/$marker ]] || die "$dir was not made by ${0##*/}; leaving it alone"
    dir=$(cd "$dir" && pwd -P)
    [[ -z $cleanup ]] || "$cleanup" "$dir"
    rm -rf -- "$dir"
}

on_exit() {
    # shellcheck disable=SC2064 # fixed now, on purpose
    trap "$1" EXIT
}

disarm() {
    trap - EXIT
}
