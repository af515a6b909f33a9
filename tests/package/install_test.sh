#!/usr/bin/env bash
# The Debian packages as a user meets them: tools/package builds qelto-cli and qelto, lintian finds
# no error in them, qelto-cli depends on no graphical library or font (not even through other
# packages) and installs alone, `apt-get install ./qelto_….deb` adds the window, the programs, the
# manual, the icons and the completion work from where they were installed, and `apt-get purge`
# takes every file of both away again, the enabled worker service with them; a qelto 2.0 that
# held qelto-cli too upgrades to the pair.
# The window's manual page must know every option that its --help lists.
#
#   tests/package/install_test.sh [FOLDER]   the package is built into FOLDER (build/package)
#
# Installing needs root; without it the test says so and skips the rest after lintian.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=${1:-build/package}
failures=0
fail() {
    echo "失败：$*" >&2
    failures=$((failures + 1))
}

tools/package "$out"
version=$(dpkg-parsechangelog -SVersion)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
deb=$out/qelto_${version}_$arch.deb
cli_deb=$out/qelto-cli_${version}_$arch.deb
for d in "$cli_deb" "$deb"; do
    [ -f "$d" ] || { echo "失败：没有生成 $d" >&2; exit 1; }
    echo "-- $d ($(du -h "$d" | cut -f1))"
done

# Dependencies: the libraries come from dh_shlibdeps, the rest from debian/control. qelto-cli
# needs no graphical library and no font, directly or through the packages it depends on.
# package | must depend on | must not depend on, at any depth
for row in "$cli_deb|libqt6core6 libssh-4 libc6 libqt6sql6-sqlite libqt6sql6-psql gss-ntlmssp|libqt6gui6 libqt6widgets6 qt6-qpa-plugins fonts-.*" \
    "$deb|libqt6core6 libqt6widgets6 libc6 fonts-noto-cjk qt6-qpa-plugins qelto-cli|"; do
    IFS='|' read -r package wanted unwanted <<<"$row"
    depends=$(dpkg-deb -f "$package" Depends)
    for d in $wanted; do
        grep -qE "(^|, )$d( |,|$)" <<<"$depends" || fail "$(basename "$package") 的 Depends 中没有 $d：$depends"
    done
    [ -n "$unwanted" ] || continue
    # shellcheck disable=SC2046
    all=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
        --no-replaces --no-enhances $(sed 's/([^)]*)//g; s/|/,/g; s/,/ /g' <<<"$depends") |
        grep -v '^ ' | sort -u)
    for d in $unwanted; do
        ! grep -qxE "$d" <<<"$all" || fail "$(basename "$package") 依赖于 $(grep -xE "$d" <<<"$all" | head -3 | tr '\n' ' ')"
    done
done

# The worker's unit is where debhelper finds units: the package stops it before removal, reloads
# systemd after, and on purge removes the links that enabling it made.
# script | what it must run
for row in "prerm|deb-systemd-invoke stop .*qelto-worker\.service" "postrm|daemon-reload" \
    "postrm|deb-systemd-helper purge .*qelto-worker\.service"; do
    IFS='|' read -r script wanted <<<"$row"
    dpkg-deb -I "$cli_deb" "$script" 2>/dev/null | grep -qE "$wanted" ||
        fail "$(basename "$cli_deb") 的 $script 中没有 $wanted"
done

echo "-- lintian"
lintian --fail-on error --tag-display-limit 0 "$cli_deb" "$deb" || fail "lintian 报告了错误"

if [ "$(id -u)" -ne 0 ]; then
    echo "跳过：安装软件包需要 root 权限（当前用户 $(id -un)）"
    exit $((failures > 0))
fi

for p in qelto qelto-cli; do
    if dpkg-query -W -f='${Status}' $p 2>/dev/null | grep -q 'install ok installed'; then
        echo "-- 先卸载已安装的 $p"
        apt-get purge -y -q $p >/dev/null
    fi
done
files=$(mktemp)
scratch=$(mktemp -d)
trap 'rm -rf "$files" "$scratch"' EXIT

# An upgrade from 2.0, one package qelto that held /usr/bin/qelto-cli too (a stand-in with just
# that file): the pair replaces it in one apt-get install, qelto-cli taking the file over.
old=$scratch/upgrade
mkdir -p "$old/DEBIAN" "$old/usr/bin"
printf '#!/bin/sh\necho qelto-cli 2.0\n' >"$old/usr/bin/qelto-cli"
chmod 755 "$old/usr/bin/qelto-cli"
printf 'Package: qelto\nVersion: 2.0-1\nArchitecture: %s\nMaintainer: qelto\nDescription: qelto 2.0\n' \
    "$arch" >"$old/DEBIAN/control"
dpkg-deb --root-owner-group --build "$old" "$old.deb" >/dev/null
dpkg -i "$old.deb" >/dev/null
echo "-- qelto 2.0-1 → apt-get install ./$(basename "$cli_deb") ./$(basename "$deb")"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "$(realpath "$cli_deb")" "$(realpath "$deb")" >"$old.log" 2>&1 ||
    fail "从 qelto 2.0 升级失败：$(tail -5 "$old.log")"
[ "$(dpkg -S /usr/bin/qelto-cli 2>&1)" = "qelto-cli: /usr/bin/qelto-cli" ] ||
    fail "升级后 /usr/bin/qelto-cli 属于：$(dpkg -S /usr/bin/qelto-cli 2>&1)"
apt-get purge -y -q qelto qelto-cli >/dev/null
rm -rf "$old" "$old.deb" "$old.log"

# qelto-cli alone first, as on a server: the command line works without the window's package.
for d in "$cli_deb" "$deb"; do
    echo "-- apt-get install ./$(basename "$d")"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "$(realpath "$d")" >/dev/null
    if [ "$d" = "$cli_deb" ]; then
        ! dpkg-query -W -f='${Status}' qelto 2>/dev/null | grep -q 'install ok installed' ||
            fail "qelto-cli 带来了 qelto"
        [ "$(env -i PATH=/usr/bin:/bin qelto-cli --version)" = "qelto-cli $version" ] ||
            fail "只装 qelto-cli 时 qelto-cli --version 不对"
    fi
done
dpkg -L qelto qelto-cli >"$files"

# The remote sources are modules of the package, in its private folder under /usr/lib.
for m in ssh wsman dcom; do
    grep -qE "^/usr/lib/([^/]+/)?qelto/qelto-$m\.so$" "$files" || fail "软件包中没有 qelto-$m.so"
done
repo=$PWD

# From the installed place, with a PATH that has nothing of the build folder.
(
    cd "$scratch"
    export PATH=/usr/bin:/bin HOME=$scratch LANG=C.UTF-8
    unset QELTO_ARCHIVE
    [ "$(command -v qelto-cli)" = /usr/bin/qelto-cli ] || fail "qelto-cli 不在 /usr/bin"
    [ "$(qelto-cli --version)" = "qelto-cli $version" ] ||
        fail "qelto-cli --version：$(qelto-cli --version)"
    [ "$(env -u DISPLAY -u WAYLAND_DISPLAY qelto --version)" = "qelto $version" ] ||
        fail "qelto --version：$(env -u DISPLAY -u WAYLAND_DISPLAY qelto --version 2>&1)"
    qelto-cli scan --json >scan.json || fail "qelto-cli scan --json 的退出状态 $?"
    python3 - scan.json <<'PY' || fail "qelto-cli scan --json 的输出不是这台计算机的检测"
import json, socket, sys
doc = json.load(open(sys.argv[1], encoding="utf-8"))
text = json.dumps(doc, ensure_ascii=False)
assert socket.gethostname().split(".")[0].lower() in text.lower(), "no host name"
PY
    # A Linux host over SSH, a throwaway server on loopback: the scan works from the package, its
    # module loaded from /usr/lib (the dynamic loader says from where).
    if "$repo/tests/sources/ssh/test_sshd.sh" start "$scratch/sshd" >/dev/null; then
        (
            # shellcheck disable=SC1091
            . "$scratch/sshd/env"
            HOME=$scratch/sshd/home LD_DEBUG=files timeout 120 \
                qelto-cli scan "ssh://$USER@$ADDRESS:$PORT" --json >remote.json 2>loader.log ||
                fail "qelto-cli scan ssh://…（安装的软件包）失败：$(grep -v '^ *[0-9]*:' loader.log)"
            grep -qE 'file=/usr/lib/([^/]+/)?qelto/qelto-ssh\.so ' loader.log ||
                fail "SSH 模块不是从 /usr/lib 载入的"
            python3 -c 'import json, sys; assert json.load(open(sys.argv[1]))' remote.json ||
                fail "qelto-cli scan ssh://… 的输出不是检测结果"
            exit $((failures > 0))
        ) || failures=$((failures + 1))
        "$repo/tests/sources/ssh/test_sshd.sh" stop "$scratch/sshd" || true
    else
        fail "无法启动测试用的 SSH 服务器"
    fi
    [ "$(man -w qelto-cli)" = /usr/share/man/man1/qelto-cli.1.gz ] ||
        fail "man -w qelto-cli：$(man -w qelto-cli 2>&1)"
    [ "$(man -w qelto)" = /usr/share/man/man1/qelto.1.gz ] || fail "man -w qelto：$(man -w qelto 2>&1)"
    # The pages as installed (-l): man-db may keep a formatted copy from an earlier install, newer
    # than the package's files, which carry the changelog's date.
    MANWIDTH=80 man -l /usr/share/man/man1/qelto-cli.1.gz 2>/dev/null >qelto-cli.page
    MANWIDTH=80 man -l /usr/share/man/man1/qelto.1.gz 2>/dev/null >qelto.page
    grep -q "qelto $version" qelto-cli.page || fail "qelto-cli(1) 的页眉不是版本 $version"
    # The section of the options, where each option must be described.
    sed -n '/^选项$/,/^环境变量$/p' qelto.page >qelto.txt

    # Every option of qelto --help is in its manual page (qelto-cli's: tests/cli/manual_test.sh);
    # the completion as installed completes commands and file names.
    # bash-completion's own functions are not written for -e and -u.
    set +eu
    # shellcheck disable=SC1091
    source /usr/share/bash-completion/bash_completion
    # shellcheck disable=SC1091
    source /usr/share/bash-completion/completions/qelto-cli
    complete_words() {  # the candidates of bash completion for the words "$@" (last one is typed)
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        COMPREPLY=()
        _qelto_cli qelto-cli "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
        printf '%s\n' "${COMPREPLY[@]}"
    }
    for option in $(env -u DISPLAY qelto --help | grep -oE -- '^ +(-[a-zA-Z?], )?--[a-z0-9-]+' |
        grep -oE -- '--[a-z0-9-]+'); do
        grep -qF -- "$option" qelto.txt || fail "qelto(1) 中没有 $option"
    done
    # The window started as the menu starts it works in the home folder (the default archive's
    # place), whatever folder it was started in.
    mkdir -p elsewhere
    (cd elsewhere && exec env QT_QPA_PLATFORM=offscreen qelto --home) &
    window=$!
    for _ in $(seq 50); do
        [ "$(readlink "/proc/$window/cwd")" = "$HOME" ] && break
        sleep 0.1
    done
    [ "$(readlink "/proc/$window/cwd")" = "$HOME" ] ||
        fail "qelto --home 的当前目录是 $(readlink "/proc/$window/cwd")"
    kill "$window"
    wait "$window" 2>/dev/null
    [ "$(complete_words qelto-cli sc)" = scan ] || fail "补全 qelto-cli sc 不是 scan"
    : >machine.json
    mkdir -p hosts.d
    : >hosts.d/list.txt
    for option in --snapshot -o --hosts-file; do
        command=scan
        [ "$option" = -o ] && command=dump
        got=$(complete_words qelto-cli "$command" "$option" ma | sort | tr '\n' ' ')
        [ "$got" = "machine.json " ] || fail "补全 $command $option ma 得到 “$got”"
        got=$(complete_words qelto-cli "$command" "$option" hosts.d/ | sort | tr '\n' ' ')
        [ "$got" = "hosts.d/list.txt " ] || fail "补全 $command $option hosts.d/ 得到 “$got”"
    done
    exit $((failures > 0))
) || failures=$((failures + 1))

# The desktop entry and the icon at each size of the hicolor theme, as PNG files of that size.
desktop-file-validate /usr/share/applications/qelto.desktop || fail "qelto.desktop 无效"
grep -q '^Exec=qelto --home$' /usr/share/applications/qelto.desktop || fail "qelto.desktop 的 Exec"
python3 - "$files" <<'PY' || fail "hicolor 中的图标不对"
import re, struct, sys
icons = [l.strip() for l in open(sys.argv[1]) if re.search(r"/hicolor/\d+x\d+/apps/qelto\.png$", l)]
sizes = set()
for path in icons:
    n = int(re.search(r"/(\d+)x\1/", path).group(1))
    head = open(path, "rb").read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path
    w, h = struct.unpack(">II", head[16:24])
    assert (w, h) == (n, n), (path, w, h)
    sizes.add(n)
assert {16, 22, 24, 32, 48, 64, 128, 256} <= sizes, sorted(sizes)
PY

# The scanner service: the unit passes systemd's own check, and its ExecStart runs as the qelto
# user against a throwaway archive that user owns (one round of a one-target queue).
echo "-- qelto-worker.service"
unit=/lib/systemd/system/qelto-worker.service
systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
[ -f /etc/qelto/worker.conf ] || fail "没有 /etc/qelto/worker.conf"
getent passwd qelto >/dev/null || fail "没有系统用户 qelto"
worker=$(mktemp -d)
cp tests/scan/machines/desktop.json "$worker/"
chown -R qelto: "$worker"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
(
    cd "$worker"
    as_qelto=(runuser -u qelto -- env "QELTO_ARCHIVE=Data Source=$worker/a.mdb" LANG=C.UTF-8)
    "${as_qelto[@]}" qelto-cli archive init >/dev/null &&
        "${as_qelto[@]}" qelto-cli queue add pc-1 --department 信息部 --person 张三 >/dev/null &&
        QELTO_WORKER_OPTIONS="--once --snapshot $worker/desktop.json" \
            eval "${as_qelto[*]@Q} $exec_start" 2>"$worker/worker.log" &&
        "${as_qelto[@]}" qelto-cli queue list --json | grep -q '"lastResult": "ok"'
) || fail "ExecStart 以 qelto 用户运行失败：$(cat "$worker/worker.log" 2>/dev/null)"
rm -rf "$worker"

# Enabled and started as the README says (against a throwaway archive of the qelto user), then
# purged: no link of enabling, no unit file and no worker process may stay.
echo "-- systemctl enable --now qelto-worker; apt-get purge qelto qelto-cli"
wants=/etc/systemd/system/multi-user.target.wants/qelto-worker.service
install -d -o qelto -g qelto /var/lib/qelto
runuser -u qelto -- env "QELTO_ARCHIVE=Data Source=/var/lib/qelto/test.mdb" \
    qelto-cli archive init >/dev/null || fail "qelto 用户无法建立档案"
printf 'QELTO_ARCHIVE="Data Source=/var/lib/qelto/test.mdb"\nQELTO_WORKER_OPTIONS="--poll 1s"\n' \
    >/etc/qelto/worker.conf
systemctl enable --quiet qelto-worker || fail "systemctl enable qelto-worker 失败"
[ -L "$wants" ] || fail "systemctl enable 没有建立 $wants"
started=false
if [ -d /run/systemd/system ]; then
    if systemctl start qelto-worker && systemctl is-active --quiet qelto-worker; then
        started=true
    else
        fail "qelto-worker 没有运行：$(systemctl status qelto-worker 2>&1 | tail -5)"
    fi
else
    echo "跳过：systemd 不在运行，qelto-worker 没有启动，卸载时停止它没有测试（只测了启用和链接）"
fi
apt-get purge -y -q qelto qelto-cli >/dev/null
[ ! -L "$wants" ] || fail "卸载后仍在：$wants"
if $started; then
    ! systemctl is-active --quiet qelto-worker || fail "卸载后 qelto-worker 仍在运行"
    ! pgrep -u qelto -x qelto-cli >/dev/null || fail "卸载后仍有 qelto-cli 以 qelto 用户运行"
fi
rm -f /var/lib/qelto/test.mdb
left=0
while IFS= read -r path; do
    [ "$path" != /. ] || continue
    [ -e "$path" ] || [ -L "$path" ] || continue
    # Folders stay where another package has them too (/usr/bin, the hicolor sizes…), and so do
    # the links of a merged /usr (/lib → usr/lib).
    if [ -d "$path" ] && { [ -L "$path" ] || dpkg -S "$path" >/dev/null 2>&1; }; then continue; fi
    echo "卸载后仍在：$path" >&2
    left=$((left + 1))
done <"$files"
((left == 0)) || fail "卸载后留下 $left 个文件"

if ((failures)); then
    echo "软件包测试：$failures 处失败" >&2
    exit 1
fi
echo "软件包测试通过（$(wc -l <"$files") 个文件，安装、检测、手册、补全、卸载）。"
