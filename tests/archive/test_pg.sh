#!/usr/bin/env bash
# A throwaway PostgreSQL server on a loopback address, for the archive tests and benchmarks.
#
#   test_pg.sh start DIR [--address 127.0.0.1]
#   test_pg.sh stop DIR
#
# start: creates DIR with a fresh cluster (the superuser qelto, whose password comes from the
# environment variable TEST_PG_PASSWORD; a random one when unset) and starts the server on the
# address and a free port, its socket in DIR. Run as root, the server runs as postgres. Writes
# DIR/env (shell-sourceable KEY='value' lines: ADDRESS, PORT, USER, VERSION) and prints the same
# lines; the password is not among them.
# stop: ends the server at once (nothing in it is kept) and removes DIR. Idempotent.
set -euo pipefail

MARKER=.test_pg

# usage, die, need_program, free_port, make_state_dir, remove_state_dir, …
# shellcheck source=../support/fixture.sh
. "$(dirname "${BASH_SOURCE[0]}")/../support/fixture.sh"

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
as=()
((EUID != 0)) || as=(runuser -u postgres --)

stop_pg() {
    [[ -z $bin || ! -d $1/data ]] ||
        "${as[@]}" "$bin/pg_ctl" -D "$1/data" -m immediate stop >/dev/null 2>&1 || true
}

cmd_start() {
    local dir=$1 address=127.0.0.1 port password=${TEST_PG_PASSWORD:-}
    shift
    while (($#)); do
        case $1 in
        --address) address=${2:?--address needs a value}; shift 2 ;;
        *) usage ;;
        esac
    done
    is_loopback "$address" || die "only loopback addresses (127.0.0.0/8, ::1): $address"
    [[ -n $bin ]] || die "PostgreSQL is not installed (package postgresql)"
    [[ -n $password ]] || password="qelto-test-$(od -An -N9 -tx1 /dev/urandom | tr -d ' \n')"
    unset TEST_PG_PASSWORD
    dir=$(make_state_dir "$dir" "$MARKER")
    ((EUID != 0)) || chown postgres: "$dir"
    on_exit "stop_pg '$dir'"
    port=$(free_port "$address")
    # initdb reads the password from a file; it lives only as long as initdb runs.
    (umask 077 && printf '%s\n' "$password" >"$dir/password")
    ((EUID != 0)) || chown postgres: "$dir/password"
    "${as[@]}" "$bin/initdb" -D "$dir/data" -U qelto --pwfile="$dir/password" \
        --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C.UTF-8 \
        >"$dir/initdb.log" 2>&1 || { rm -f "$dir/password"; cat "$dir/initdb.log" >&2; die "initdb failed"; }
    rm -f "$dir/password"
    # fsync=off: the server lives only as long as its tests, which need no durability.
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
        -o "-c listen_addresses=$address -p $port -k $dir -c max_connections=200 -c fsync=off" \
        start >/dev/null || { tail -n 20 "$dir/server.log" >&2; die "PostgreSQL did not start"; }
    disarm
    {
        echo "ADDRESS='$address'"
        echo "PORT='$port'"
        echo "USER='qelto'"
        echo "VERSION='$("$bin/postgres" -V | awk '{print $3}')'"
    } | tee "$dir/env"
}

(($# >= 2)) || usage
command=$1
dir=$2
shift 2
case $command in
start) cmd_start "$dir" "$@" ;;
stop) (($# == 0)) || usage; remove_state_dir "$dir" "$MARKER" stop_pg ;;
*) usage ;;
esac
