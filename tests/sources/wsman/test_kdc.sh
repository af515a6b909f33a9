#!/usr/bin/env bash
# A throwaway Kerberos KDC on a loopback address, for tests and benchmarks.
#
#   test_kdc.sh start DIR [--address 127.0.0.2] [--service-host HOST]...
#   test_kdc.sh stop DIR
#
# start: creates DIR (0700) with its own krb5.conf and kdc.conf, a database for the realm
# QELTO.TEST holding a user principal with a password and a service principal HTTP/HOST for each
# --service-host (the address itself when none is given), exported to DIR/http.keytab; starts
# krb5kdc on the address and a free port (TCP and UDP), and fills DIR/ccache with the user's
# ticket (kinit). The user's password comes from the environment variable TEST_KDC_PASSWORD (a
# random one when unset); it is never written anywhere. Writes DIR/env (shell-sourceable
# KEY='value' lines) and prints the same lines.
# stop: ends the KDC and removes DIR. Idempotent.
#
# Nothing here looks a name up: the KDC is an address literal, and host names are neither
# canonicalised nor reverse-resolved, so a service principal for an address literal works as it
# is. Give --service-host names from /etc/hosts (or address literals) only.
set -euo pipefail

KRB5KDC=/usr/sbin/krb5kdc
KDB5_UTIL=/usr/sbin/kdb5_util
KADMIN_LOCAL=/usr/sbin/kadmin.local
MARKER=.test_kdc
REALM=QELTO.TEST
USER_NAME=qeltouser

# usage, die, free_port, listening, wait_until, stop_pidfile, make_state_dir, …
# shellcheck source=../../support/fixture.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../support/fixture.sh"

# krb5kdc has DIR on its command line (its pid file), which guards against a reused pid.
stop_kdc() { stop_pidfile "$1/kdc.pid" "$1"; }

# 0 once krb5kdc listens, 2 when it gave up.
kdc_up() {
    [[ -s $1/kdc.pid ]] && listening "$2" "$3" && return 0
    grep -qE 'Address already in use|Cannot bind' "$1/kdc.log" && return 2
    return 1
}

write_krb5_conf() {
    local dir=$1 address=$2 port=$3
    shift 3
    {
        cat <<EOF
[libdefaults]
    default_realm = $REALM
    dns_lookup_kdc = false
    dns_lookup_realm = false
    dns_canonicalize_hostname = false
    rdns = false
    qualify_shortname = ""
    udp_preference_limit = 1
    ignore_acceptor_hostname = true
    default_ccache_name = FILE:$dir/ccache
    default_keytab_name = FILE:$dir/http.keytab
    kdc_timeout = 3000
    max_retries = 1
    forwardable = false

[realms]
    $REALM = {
        kdc = $(bracketed "$address"):$port
    }

[domain_realm]
EOF
        local host
        for host in "$@"; do echo "    $host = $REALM"; done
    } >"$dir/krb5.conf"
}

cmd_start() {
    local dir=$1
    shift
    local address=127.0.0.2 password=${TEST_KDC_PASSWORD:-} hosts=()
    while (($#)); do
        case $1 in
        --address) address=${2:?--address needs a value}; shift 2 ;;
        --service-host) hosts+=("${2:?--service-host needs a value}"); shift 2 ;;
        *) usage ;;
        esac
    done
    is_loopback "$address" || die "only loopback addresses (127.0.0.0/8, ::1): $address"
    ((${#hosts[@]})) || hosts=("$address")
    local host
    for host in "${hosts[@]}"; do
        [[ $host =~ ^[A-Za-z0-9.:-]+$ ]] || die "bad service host: $host"
    done
    for tool in "$KRB5KDC" "$KDB5_UTIL" "$KADMIN_LOCAL"; do need_program "$tool" "package krb5-kdc"; done
    need_program kinit "package krb5-user"
    need_program python3
    if [[ -z $password ]]; then
        password="Kt-$(od -An -N9 -tx1 /dev/urandom | tr -d ' \n')"
    fi

    dir=$(make_state_dir "$dir" "$MARKER")
    on_exit "stop_kdc '$dir'"

    # Only this folder's configuration, never the machine's.
    export KRB5_CONFIG=$dir/krb5.conf
    export KRB5_KDC_PROFILE=$dir/kdc.conf
    export KRB5CCNAME=FILE:$dir/ccache
    export KRB5RCACHEDIR=$dir
    unset KRB5_KTNAME KRB5_CLIENT_KTNAME TEST_KDC_PASSWORD

    local port=0 up=0
    for _ in 1 2 3 4 5; do
        port=$(free_port "$address" udp)
        write_krb5_conf "$dir" "$address" "$port" "${hosts[@]}"
        cat >"$dir/kdc.conf" <<EOF
[kdcdefaults]
    kdc_listen = $(bracketed "$address"):$port
    kdc_tcp_listen = $(bracketed "$address"):$port

[realms]
    $REALM = {
        database_name = $dir/principal
        key_stash_file = $dir/stash
        acl_file = $dir/kadm5.acl
        max_life = 10h 0m 0s
        supported_enctypes = aes256-cts-hmac-sha1-96:normal aes128-cts-hmac-sha1-96:normal
        default_principal_flags = +preauth
    }

[logging]
    kdc = FILE:$dir/kdc.log
    admin_server = FILE:$dir/kadmin.log
    default = FILE:$dir/kdc.log
EOF
        if [[ ! -f $dir/principal ]]; then
            : >"$dir/kadm5.acl"
            local master
            master=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
            "$KDB5_UTIL" -r "$REALM" create -s -P "$master" >"$dir/kdb5_util.log" 2>&1 ||
                { cat "$dir/kdb5_util.log" >&2; die "kdb5_util create failed"; }
            # The password goes in on standard input (asked for twice), not on a command line.
            printf '%s\n%s\n' "$password" "$password" |
                "$KADMIN_LOCAL" -r "$REALM" -q "addprinc $USER_NAME" >>"$dir/kadmin.out" 2>&1 ||
                die "could not add $USER_NAME"
            for host in "${hosts[@]}"; do
                "$KADMIN_LOCAL" -r "$REALM" -q "addprinc -randkey HTTP/$host" \
                    >>"$dir/kadmin.out" 2>&1 || die "could not add HTTP/$host"
                "$KADMIN_LOCAL" -r "$REALM" -q "ktadd -k $dir/http.keytab HTTP/$host" \
                    >>"$dir/kadmin.out" 2>&1 || die "could not export HTTP/$host"
            done
            chmod 0600 "$dir/http.keytab"
        fi
        : >"$dir/kdc.log"
        "$KRB5KDC" -r "$REALM" -P "$dir/kdc.pid" >>"$dir/kdc.log" 2>&1 || true
        # The pid file appears once krb5kdc runs in the background; ≤ 5 s.
        wait_until 50 kdc_up "$dir" "$address" "$port" && up=1 && break
        stop_kdc "$dir"
        if ! grep -qE 'Address already in use|Cannot bind' "$dir/kdc.log"; then
            tail -n 20 "$dir/kdc.log" >&2
            die "krb5kdc did not start"
        fi
    done
    ((up)) || die "no port could be bound on $address"

    # The password reaches kinit on its standard input only.
    printf '%s\n' "$password" | kinit "$USER_NAME@$REALM" >"$dir/kinit.log" 2>&1 ||
        { cat "$dir/kinit.log" >&2; die "kinit failed"; }
    disarm

    {
        echo "ADDRESS='$address'"
        echo "PORT='$port'"
        echo "REALM='$REALM'"
        echo "USER_PRINCIPAL='$USER_NAME@$REALM'"
        echo "SERVICE_PRINCIPALS='$(printf "HTTP/%s@$REALM " "${hosts[@]}" | sed 's/ $//')'"
        echo "KRB5_CONFIG='$dir/krb5.conf'"
        echo "KRB5_KDC_PROFILE='$dir/kdc.conf'"
        echo "KRB5CCNAME='FILE:$dir/ccache'"
        echo "KRB5RCACHEDIR='$dir'"
        echo "KEYTAB='$dir/http.keytab'"
        echo "KDC_LOG='$dir/kdc.log'"
    } >"$dir/env"
    chmod 0600 "$dir/env"
    cat "$dir/env"
}

(($# >= 2)) || usage
command=$1
dir=$2
shift 2
[[ -n $dir && $dir != / ]] || die "bad DIR"
case $command in
start) cmd_start "$dir" "$@" ;;
stop) (($# == 0)) || usage; remove_state_dir "$dir" "$MARKER" stop_kdc ;;
*) usage ;;
esac
