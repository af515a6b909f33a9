#!/usr/bin/env bash
# The set-up scripts as a newcomer meets them, without installing or building anything:
#  - tools/setup (--test, --package) as a user who is neither root nor allowed to use sudo names
#    the line to run as root, tools/setup itself by its full name, and the command to run again
#    (every package looks missing to a dpkg-query that knows none);
#  - that line run as printed (stand-ins for su, id, apt-get and systemctl, /etc and /usr/sbin in
#    a scratch folder) asks no question, starts no service while installing, makes no PostgreSQL
#    cluster and disables the units it enabled;
#  - tools/run keeps the caller's working folder (a copy of it, with tools/setup, cmake and the
#    program replaced by stand-ins that record what they were called with).
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/qelto-tools-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# --- tools/setup without root and without sudo ---
mkdir -p "$work/bin"
# dpkg-query knows nothing, or the one line of $KNOWN (status, package, what it provides).
printf '#!/bin/sh\n[ -n "$KNOWN" ] || exit 1\necho "$KNOWN"\n' >"$work/bin/dpkg-query"
printf '#!/bin/sh\necho "apt-get must not run" >&2\nexit 99\n' >"$work/bin/apt-get"
chmod 755 "$work/bin/dpkg-query" "$work/bin/apt-get"
mkdir -p "$work/tools"
cp "$src/tools/setup" "$work/tools/setup"
chmod 755 "$work/tools" "$work/tools/setup"
as=()
if [ "$(id -u)" -eq 0 ]; then
    as=(runuser -u nobody --)
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    echo "SKIP: this user may use sudo without a password; the no-sudo case needs another user"
    as=(skip)
fi
mkdir -p "$work/debian"
cp "$src/debian/control" "$work/debian/control"
# The line for root as tools/test gets it; run as printed below.
root_line="su -c '$work/tools/setup --test'"
if [ "${as[0]:-}" != skip ]; then
    # mode | packages asked for | packages not asked for | what dpkg-query knows
    for row in "|qt6-base-dev|postgresql libgtest-dev dpkg-dev|" "--test|postgresql krb5-kdc||" \
        "--package|dpkg-dev debhelper build-essential qt6-base-dev libssh-dev|fonts-noto-cjk postgresql debhelper-compat|" \
        "--package|dpkg-dev qt6-base-dev|debhelper dh-sequence-installsysusers|ii  debhelper, dh-sequence-installsysusers (= 13.11.4)"; do
        IFS='|' read -r mode wanted unwanted known <<<"$row"
        set +e
        # shellcheck disable=SC2086
        out=$(cd "$work" && "${as[@]}" env -i PATH="$work/bin:/usr/bin:/bin" LANG=C.UTF-8 KNOWN="$known" \
            QELTO_AGAIN="tools/run --x" bash tools/setup $mode 2>&1 </dev/null)
        status=$?
        set -e
        [ "$(grep "^    su -c" <<<"$out")" = "    su -c '$work/tools/setup${mode:+ $mode}'" ] ||
            fail "setup $mode: not the line that runs tools/setup as root: $out"
        [ "$mode" != --test ] || root_line=$(grep "^    su -c" <<<"$out")
        line=$(grep "^缺少 " <<<"$out") || fail "setup $mode: no list of what is missing: $out"
        [ "$status" -eq 1 ] || fail "setup $mode exited $status: $out"
        grep -q '不能使用 sudo' <<<"$out" || fail "no word of sudo: $out"
        grep -q '再运行一次 tools/run --x' <<<"$out" || fail "setup $mode: not the command run: $out"
        ! grep -q '安装缺少的软件包' <<<"$out" || fail "setup $mode says it installs: $out"
        for p in $wanted; do grep -qw -- "$p" <<<"$line" || fail "setup $mode: no $p: $line"; done
        for p in $unwanted; do ! grep -qw -- "$p" <<<"$line" || fail "setup $mode: $p: $line"; done
        ! grep -q 'must not run' <<<"$out" || fail "apt-get ran"
    done
fi

# --- the line for root, run as printed, leaves no new service enabled or running ---
# Stand-ins: su that runs the line as root, every package missing, an apt-get whose install
# enables two units of cups (and records whether a service could have started, whether PostgreSQL
# would make a cluster and whether a question could be asked), and a systemctl that records what
# it is asked and disables it. ssh.service was enabled before and stays so.
sys=$work/sys
mkdir -p "$work/rootbin" "$sys/etc/systemd/system/multi-user.target.wants"
ln -s /lib/systemd/system/ssh.service "$sys/etc/systemd/system/multi-user.target.wants/"
printf '#!/bin/sh\necho 0\n' >"$work/rootbin/id"
{
    echo '#!/bin/sh'
    echo "echo \"\$1 \$DEBIAN_FRONTEND\" >>\"$work/frontend\""
    # shellcheck disable=SC2016
    echo '[ "$1" = install ] || exit 0'
    echo "\"$sys/usr/sbin/policy-rc.d\" cups start; echo \"policy \$?\" >>\"$work/apt\""
    echo "cat \"$sys/etc/postgresql-common/createcluster.d/\"*.conf >>\"$work/apt\""
    echo "mkdir -p \"$sys/etc/systemd/system/sockets.target.wants\""
    echo "ln -s /lib/systemd/system/cups.service \"$sys/etc/systemd/system/multi-user.target.wants/\""
    echo "ln -s /lib/systemd/system/cups.socket \"$sys/etc/systemd/system/sockets.target.wants/\""
} >"$work/rootbin/apt-get"
printf '#!/bin/sh\necho "$@" >>"%s/systemctl"\nfor u; do find "%s/etc" -name "$u" -delete; done\n' \
    "$work" "$sys" >"$work/rootbin/systemctl"
mkdir -p "$work/subin"
printf '#!/bin/sh\n[ "$1" = -c ] || exit 9\nPATH="%s/rootbin:$PATH" QELTO_SETUP_ROOT="%s" %s\n' \
    "$work" "$sys" 'exec sh -c "$2"' >"$work/subin/su"
chmod 755 "$work/rootbin/"* "$work/subin/su"
(cd / && PATH="$work/subin:$work/bin:$PATH" env -u DEBIAN_FRONTEND bash -c "$root_line" \
    </dev/null >"$work/setup.log" 2>&1) || fail "$root_line: $(cat "$work/setup.log")"
[ "$(sort -u "$work/frontend")" = "$(printf 'install noninteractive\nupdate noninteractive')" ] ||
    fail "apt-get could ask questions: $(cat "$work/frontend")"
[ "$(find "$sys/etc" -path '*.wants/*' -printf '%f\n')" = ssh.service ] ||
    fail "units left enabled: $(find "$sys/etc" -path '*.wants/*')"
grep -qx 'policy 101' "$work/apt" || fail "a service could start while installing: $(cat "$work/apt")"
grep -qx 'create_main_cluster = false' "$work/apt" || fail "PostgreSQL makes a cluster"
[ ! -e "$sys/usr/sbin/policy-rc.d" ] || fail "policy-rc.d left behind"
[ "$(cat "$work/systemctl" 2>/dev/null)" = "disable --quiet cups.service cups.socket" ] ||
    fail "systemctl: $(cat "$work/systemctl" 2>/dev/null)"
grep -q '停用.*cups.service' "$work/setup.log" || fail "not said: $(cat "$work/setup.log")"

# --- tools/run keeps the working folder ---
mkdir -p "$work/tree/tools" "$work/tree/build/release/app" "$work/elsewhere"
cp "$src/tools/run" "$work/tree/tools/run"
printf '#!/bin/sh\nexit 0\n' >"$work/tree/tools/setup"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/cmake"
printf '#!/bin/sh\npwd >"%s/ran"\necho "$@" >>"%s/ran"\n' "$work" "$work" \
    >"$work/tree/build/release/app/qelto"
chmod 755 "$work/tree/tools/run" "$work/tree/tools/setup" "$work/bin/cmake" \
    "$work/tree/build/release/app/qelto"
(cd "$work/elsewhere" && PATH="$work/bin:$PATH" "$work/tree/tools/run" --snapshot thispc.json)
[ "$(sed -n 1p "$work/ran")" = "$work/elsewhere" ] || fail "run changed folder: $(cat "$work/ran")"
[ "$(sed -n 2p "$work/ran")" = "--snapshot thispc.json" ] || fail "arguments lost: $(cat "$work/ran")"
echo "PASS"
