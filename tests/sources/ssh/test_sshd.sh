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

# usage, die, free_port, listening, wait_until, stop_pidfile, make_state_dir, …
# shellcheck source=../../support/fixture.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../support/fixture.sh"

stop_server() { stop_pidfile "$1/sshd.pid" "$1"; }

stop_agent() {
    stop_pidfile "$1/agent.pid" "$1"
    rm -f "$1/agent.sock"
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

# 0 once sshd listens, 2 when it gave up.
sshd_up() {
    [[ -s $1/sshd.pid ]] && listening "$2" "$3" && return 0
    grep -qE 'Cannot bind|fatal' "$1/sshd.log" && return 2
    return 1
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
    if [[ -n $pw_user ]]; then
        need_root "--password-user creates and deletes an account"
        [[ $pw_user =~ ^[a-z_][a-z0-9_-]{0,30}$ ]] || die "bad account name: $pw_user"
        ! getent passwd "$pw_user" >/dev/null || die "account $pw_user already exists"
    fi
    need_program "$SSHD"

    dir=$(make_state_dir "$dir" "$MARKER")
    # On any failure from here on, nothing keeps running and no account is left behind; DIR
    # stays for a look at sshd.log until stop.
    on_exit "cleanup '$dir'"

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
        wait_until 50 sshd_up "$dir" "$address" "$port" && break
        stop_server "$dir"
        if ! grep -q 'Cannot bind\|Address already in use' "$dir/sshd.log"; then
            tail -n 20 "$dir/sshd.log" >&2
            die "sshd did not start"
        fi
        port=""
    done
    [[ -n $port ]] || die "no port could be bound on $address"
    disarm

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
stop) (($# == 0)) || usage; remove_state_dir "$dir" "$MARKER" cleanup ;;
*) usage ;;
esac
