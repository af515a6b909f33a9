#!/usr/bin/env bash
# A throwaway print scheduler on a socket of its own, for tests (root only: it runs as lp).
#
#   test_cupsd.sh start DIR
#   test_cupsd.sh stop DIR
#
# start: creates DIR with a configuration, spool, cache and logs of its own and starts the
# scheduler listening on DIR/sock only (no network port, no browsing). DIR is readable by
# everyone, so that the scheduler's account and a test's account without root reach the socket.
# Writes DIR/env (SOCKET='…') and prints the same line.
# stop: ends the scheduler and removes DIR. Idempotent.
set -euo pipefail

CUPSD=/usr/sbin/cupsd
MARKER=.test_cupsd

# usage, die, need_root, need_program, wait_until, stop_pidfile, make_state_dir, …
# shellcheck source=../../support/fixture.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../support/fixture.sh"

stop_cupsd() { stop_pidfile "$1/cupsd.pid" "$1"; }

# 0 once the socket is there, 2 when the scheduler ended.
cupsd_up() {
    [[ -S $1/sock ]] && return 0
    alive "$(cat "$1/cupsd.pid")" || return 2
    return 1
}

cmd_start() {
    local dir=$1 sub
    need_root "the scheduler runs as lp"
    need_program "$CUPSD" "package cups-daemon"
    dir=$(make_state_dir "$dir" "$MARKER")
    chmod 0755 "$dir"
    on_exit "stop_cupsd '$dir'"
    for sub in conf spool/tmp cache state log; do mkdir -p "$dir/$sub"; done
    cat >"$dir/conf/cupsd.conf" <<CONF
Listen $dir/sock
Browsing No
DefaultAuthType None
<Location />
Order allow,deny
Allow all
</Location>
<Policy default>
<Limit All>
Order deny,allow
</Limit>
</Policy>
CONF
    cat >"$dir/conf/cups-files.conf" <<CONF
User lp
Group lp
SystemGroup root
ServerRoot $dir/conf
RequestRoot $dir/spool
TempDir $dir/spool/tmp
CacheDir $dir/cache
StateDir $dir/state
ErrorLog $dir/log/error_log
AccessLog $dir/log/access_log
PageLog $dir/log/page_log
Printcap $dir/printcap
CONF
    "$CUPSD" -f -c "$dir/conf/cupsd.conf" -s "$dir/conf/cups-files.conf" \
        </dev/null >>"$dir/log/cupsd.out" 2>&1 &
    echo $! >"$dir/cupsd.pid"
    if ! wait_until 100 cupsd_up "$dir"; then
        tail -n 20 "$dir/log/cupsd.out" "$dir/log/error_log" >&2 2>/dev/null || true
        die "cupsd did not start"
    fi
    disarm
    echo "SOCKET='$dir/sock'" | tee "$dir/env"
}

(($# == 2)) || usage
case $1 in
start) cmd_start "$2" ;;
stop) remove_state_dir "$2" "$MARKER" stop_cupsd ;;
*) usage ;;
esac
