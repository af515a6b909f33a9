#!/usr/bin/env bash
# A throwaway OpenSSH server on a loopback address, for tests and benchmarks.
#
#   test_sshd.sh start DIR [--address 127.0.0.2] [--noise] [--force-command CMD]
#                          [--password-user NAME PASSWORD] [--set-env NAME=VALUE]…
#   test_sshd.sh agent DIR
#   test_sshd.sh stop DIR
#
# start: creates DIR (0700) with a host key, a client key pair for the current user in
# DIR/home/.ssh (with a known_hosts line for the server), an sshd_config, and starts sshd on a
# free port. Writes DIR/env (shell-sourceable KEY='value' lines) and prints the same lines.
# agent: starts an ssh-agent on DIR/agent.sock holding the client key; appends to DIR/env.
# --password-user NAME -: a fresh password, written to DIR/password only.
# --set-env: a variable in the environment of every session (a value without blanks or quotes).
# stop: ends the server, its sessions and the agent, deletes the throwaway account, removes DIR.
# Idempotent.
set -euo pipefail

SSHD=/usr/sbin/sshd
MARKER=.test_sshd

usage() {
    sed -n '4,7p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

# die, is_loopback, bracketed, make_state_dir
# shellcheck source=../../support/fixture.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../support/fixture.sh"

# A port nobody listens on at the address. The kernel picks it when python3 is there; otherwise
# a random one that `ss` does not list. sshd binds it moments later; start retries on a clash.
free_port() {
    local address=$1 port
    local py=/usr/bin/python3
    [[ -x $py ]] || py=$(command -v python3 || true)
    if [[ -n $py ]]; then
        port=$("$py" -c '
import socket, sys
a = sys.argv[1]
s = socket.socket(socket.AF_INET6 if ":" in a else socket.AF_INET, socket.SOCK_STREAM)
s.bind((a, 0))
print(s.getsockname()[1])
' "$address" 2>/dev/null) && [[ -n $port ]] && { echo "$port"; return; }
    fi
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

# Running, and not merely a zombie waiting for a parent that does not reap it.
alive() {
    [[ -n ${1:-} ]] && kill -0 "$1" 2>/dev/null || return 1
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [[ ${stat:0:1} != Z ]]
}

# Every descendant of a process, children first listed before their own children.
descendants() {
    local child
    for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
        echo "$child"
        descendants "$child"
    done
}

# Ends a process and all its descendants (by id), waiting at most about 2 s before SIGKILL.
end_tree() {
    local pid=$1 all
    alive "$pid" || return 0
    all="$pid $(descendants "$pid" | tr '\n' ' ')"
    # shellcheck disable=SC2086 # a list of pids
    kill -TERM $all 2>/dev/null || true
    for _ in $(seq 1 20); do
        local left=""
        for p in $all; do alive "$p" && left+=" $p"; done
        [[ -z $left ]] && return 0
        sleep 0.1
    done
    # shellcheck disable=SC2086
    kill -KILL $all 2>/dev/null || true
}

# The pid in FILE if that process still runs the expected program with DIR on its command line
# (guards against a reused pid).
owned_pid() {
    local file=$1 dir=$2 pid
    [[ -f $file ]] || return 0
    pid=$(head -n1 "$file" | tr -dc '0-9')
    [[ -n $pid && -r /proc/$pid/cmdline ]] || return 0
    if tr '\0' ' ' </proc/"$pid"/cmdline | grep -qF "$dir"; then echo "$pid"; fi
}

stop_server() {
    local pid
    pid=$(owned_pid "$1/sshd.pid" "$1")
    [[ -n $pid ]] && end_tree "$pid"
    rm -f "$1/sshd.pid"
}

stop_agent() {
    local pid
    pid=$(owned_pid "$1/agent.pid" "$1")
    [[ -n $pid ]] && end_tree "$pid"
    rm -f "$1/agent.pid" "$1/agent.sock"
}

delete_account() {
    local user pid
    [[ -f $1/password_user ]] || return 0
    user=$(cat "$1/password_user")
    if [[ -n $user ]] && getent passwd "$user" >/dev/null; then
        # Its sessions end with the server's; anything left over goes by id.
        for pid in $(ps -o pid= -u "$user" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
        userdel -r "$user" >/dev/null 2>&1 || userdel "$user" >/dev/null 2>&1 ||
            echo "test_sshd.sh: could not delete account $user" >&2
    fi
    rm -f "$1/password_user"
}

cleanup() {
    stop_server "$1"
    stop_agent "$1"
    delete_account "$1"
}

cmd_stop() {
    local dir=$1
    [[ -e $dir ]] || return 0
    [[ -f $dir/$MARKER ]] || die "$dir was not made by test_sshd.sh; leaving it alone"
    cleanup "$dir"
    rm -rf -- "$dir"
}

cmd_start() {
    local dir=$1
    shift
    local address=127.0.0.2 noise=0 force="" pw_user="" pw_pass="" set_env=""
    while (($#)); do
        case $1 in
        --address) address=${2:?--address needs a value}; shift 2 ;;
        --noise) noise=1; shift ;;
        --set-env)
            [[ ${2:-} =~ ^[A-Za-z_][A-Za-z0-9_]*=[^[:space:]\"\']*$ ]] || die "bad --set-env: ${2:-}"
            set_env+=" $2"
            shift 2
            ;;
        --force-command) force=${2:?--force-command needs a value}; shift 2 ;;
        --password-user)
            pw_user=${2:?--password-user needs NAME PASSWORD}
            pw_pass=${3:?--password-user needs NAME PASSWORD}
            shift 3
            ;;
        *) usage ;;
        esac
    done
    is_loopback "$address" || die "only loopback addresses (127.0.0.0/8, ::1): $address"
    ((noise == 0)) || [[ -z $force ]] || die "--noise and --force-command exclude each other"
    [[ $dir != *"'"* ]] || die "DIR must not contain a single quote"
    if [[ -n $pw_user ]]; then
        ((EUID == 0)) || die "--password-user needs root (to create and delete the account)"
        [[ $pw_user =~ ^[a-z_][a-z0-9_-]{0,30}$ ]] || die "bad account name: $pw_user"
        ! getent passwd "$pw_user" >/dev/null || die "account $pw_user already exists"
    fi
    [[ -x $SSHD ]] || die "$SSHD not found"

    dir=$(make_state_dir "$dir" "$MARKER")
    # On any failure from here on, nothing keeps running and no account is left behind; DIR
    # stays for a look at sshd.log until stop.
    # shellcheck disable=SC2064 # DIR is fixed from here on
    trap "cleanup '$dir'" EXIT

    local user
    user=$(id -un)
    mkdir -m 0700 "$dir/home" "$dir/home/.ssh"
    ssh-keygen -q -t ed25519 -N '' -C "test-sshd-host" -f "$dir/ssh_host_ed25519_key"
    ssh-keygen -q -t ed25519 -N '' -C "test-sshd-$user" -f "$dir/home/.ssh/id_ed25519"
    cp "$dir/home/.ssh/id_ed25519.pub" "$dir/authorized_keys.$user"

    if [[ -n $pw_user ]]; then
        useradd -m -s /bin/bash "$pw_user"
        echo "$pw_user" >"$dir/password_user"
        if [[ $pw_pass == - ]]; then
            # Made here and kept in DIR/password (0600): the caller never passes it on.
            pw_pass=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
            (umask 077 && printf '%s\n' "$pw_pass" >"$dir/password")
        fi
        printf '%s:%s\n' "$pw_user" "$pw_pass" | chpasswd
    fi

    # Login noise as a chatty profile and a message of the day would print it, the last line
    # without a newline; then the requested command (or a shell).
    local forced=""
    if ((noise)); then
        # shellcheck disable=SC2016 # expanded by the session's shell
        forced='printf "%s\n" "Linux testhost 6.1.0-18-amd64 x86_64" "" "The programs included with this system are free software;" "*** System restart required ***" "Welcome back, $USER! Today is $(date +%A)." "Loading aliases... done"; printf "%s" "[bashrc] PATH extended"; if [ -n "$SSH_ORIGINAL_COMMAND" ]; then exec sh -c "$SSH_ORIGINAL_COMMAND"; else exec sh; fi'
    elif [[ -n $force ]]; then
        forced=$force
    fi

    local usepam=no
    ((EUID == 0)) && usepam=yes
    local allow=$user
    [[ -n $pw_user ]] && allow+=" $pw_user"
    if ((EUID == 0)) && [[ ! -d /run/sshd ]]; then mkdir -m 0755 /run/sshd; fi

    local port
    for _ in 1 2 3 4 5; do
        port=$(free_port "$address")
        cat >"$dir/sshd_config" <<EOF
ListenAddress $(bracketed "$address"):$port
PidFile $dir/sshd.pid
HostKey $dir/ssh_host_ed25519_key
AuthorizedKeysFile $dir/authorized_keys.%u
AllowUsers $allow
StrictModes no
UsePAM $usepam
PermitRootLogin prohibit-password
PubkeyAuthentication yes
PasswordAuthentication yes
KbdInteractiveAuthentication yes
PermitEmptyPasswords no
PrintMotd no
PrintLastLog no
UseDNS no
X11Forwarding no
LogLevel VERBOSE
MaxStartups 200:30:400
MaxSessions 100
MaxAuthTries 10
LoginGraceTime 30
ClientAliveInterval 0
Subsystem sftp internal-sftp
EOF
        # The current user's sessions live in DIR/home: the machine's own shell startup files
        # (slow, and stateful when a session is cut short) stay out of tests and timings.
        printf 'Match User %s\n    SetEnv HOME=%s%s\n' "$user" "$dir/home" "$set_env" >>"$dir/sshd_config"
        if [[ -n $pw_user && -n $set_env ]]; then
            printf 'Match User %s\n    SetEnv%s\n' "$pw_user" "$set_env" >>"$dir/sshd_config"
        fi
        if [[ -n $forced ]]; then
            printf 'Match all\n    ForceCommand %s\n' "$forced" >>"$dir/sshd_config"
        fi
        : >"$dir/sshd.log"
        "$SSHD" -t -f "$dir/sshd_config" || die "sshd rejects the configuration"
        "$SSHD" -f "$dir/sshd_config" -E "$dir/sshd.log" || true
        # The pid file appears once the listening socket is bound; ≤ 5 s.
        local up=0
        for _ in $(seq 1 50); do
            if [[ -s $dir/sshd.pid ]] && listening "$address" "$port"; then up=1; break; fi
            grep -qE 'Cannot bind|fatal' "$dir/sshd.log" && break
            sleep 0.1
        done
        ((up)) && break
        stop_server "$dir"
        if ! grep -q 'Cannot bind\|Address already in use' "$dir/sshd.log"; then
            tail -n 20 "$dir/sshd.log" >&2
            die "sshd did not start"
        fi
        port=""
    done
    [[ -n $port ]] || die "no port could be bound on $address"
    trap - EXIT

    local hostkey
    hostkey=$(cut -d' ' -f1,2 "$dir/ssh_host_ed25519_key.pub")
    local khost
    if [[ $port == 22 ]]; then khost=$address; else khost="[$address]:$port"; fi
    echo "$khost $hostkey" >"$dir/home/.ssh/known_hosts"
    {
        echo "ADDRESS='$address'"
        echo "PORT='$port'"
        echo "USER='$user'"
        echo "HOSTKEY_PUB='$hostkey'"
        echo "KNOWN_HOSTS_LINE='$khost $hostkey'"
        echo "KNOWN_HOSTS='$dir/home/.ssh/known_hosts'"
        echo "CLIENT_KEY='$dir/home/.ssh/id_ed25519'"
        echo "SSHD_LOG='$dir/sshd.log'"
        if [[ -n $pw_user ]]; then echo "PASSWORD_USER='$pw_user'"; fi
    } >"$dir/env"
    cat "$dir/env"
}

cmd_agent() {
    local dir=$1 out pid
    [[ -f $dir/$MARKER && -f $dir/env ]] || die "no server in $dir; run start first"
    dir=$(cd "$dir" && pwd -P)
    [[ -z $(owned_pid "$dir/agent.pid" "$dir") ]] || die "an agent already runs for $dir"
    rm -f "$dir/agent.sock"
    out=$(ssh-agent -a "$dir/agent.sock")
    pid=$(sed -n 's/^SSH_AGENT_PID=\([0-9]*\);.*/\1/p' <<<"$out")
    [[ -n $pid ]] || die "ssh-agent did not start"
    echo "$pid" >"$dir/agent.pid"
    SSH_AUTH_SOCK=$dir/agent.sock ssh-add -q "$dir/home/.ssh/id_ed25519" </dev/null ||
        die "ssh-add failed"
    printf "SSH_AUTH_SOCK='%s'\nAGENT_PID='%s'\n" "$dir/agent.sock" "$pid" | tee -a "$dir/env"
}

(($# >= 2)) || usage
command=$1
dir=$2
shift 2
[[ -n $dir && $dir != / ]] || die "bad DIR"
case $command in
start) cmd_start "$dir" "$@" ;;
agent) (($# == 0)) || usage; cmd_agent "$dir" ;;
stop) (($# == 0)) || usage; cmd_stop "$dir" ;;
*) usage ;;
esac
