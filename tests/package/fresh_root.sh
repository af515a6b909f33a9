#!/usr/bin/env bash
# Manual, not part of tools/test or CI (it needs a Debian mirror, root and about a quarter of an
# hour): the README's first section on a Debian 12 that has nothing yet. debootstrap makes a
# fresh root in FOLDER/root (and a copy of it, FOLDER/clean); there a user without root or sudo
# runs the section's lines as written, typing root's password where su asks for it, except that
# the source is cloned from a copy of this repository instead of over the network. A line that
# fails after printing a `su -c '…'` line is run again after that line, as tools/package asks.
# Then qelto-cli alone goes into the clean copy: it must bring no Qt GUI library and no font.
#
#   tests/package/fresh_root.sh FOLDER [MIRROR]   as root; MIRROR: that of /etc/apt/sources*
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "需要 root 权限" >&2; exit 1; }
repo=$(cd "$(dirname "$0")/../.." && pwd)
folder=$(realpath -m "${1:?用法：tests/package/fresh_root.sh FOLDER [MIRROR]}")
mirror=${2:-$(grep -rhIv '^ *#' /etc/apt/sources.list* | grep -oE 'https?://[^ ]+/debian/?( |$)' |
    sort -u | head -1 | tr -d ' ')}
[ ! -e "$folder/root" ] || { echo "$folder/root 已存在" >&2; exit 1; }
root=$folder/root
mkdir -p "$folder"
time debootstrap bookworm "$root" "$mirror" >"$folder/debootstrap.log"
cp -a "$root" "$folder/clean"
for r in "$root" "$folder/clean"; do
    mount -t proc proc "$r/proc"
    mount -t sysfs sys "$r/sys"
    mount --bind /dev "$r/dev"
    mount --bind /dev/pts "$r/dev/pts"
done
trap 'for r in "$root" "$folder/clean"; do umount "$r/dev/pts" "$r/dev" "$r/sys" "$r/proc"; done' EXIT
password=$(head -c 12 /dev/urandom | base64)
chroot "$root" useradd -m -s /bin/bash ada
echo "root:$password" | chroot "$root" chpasswd
git clone -q --bare "$repo" "$root/srv/qelto.git"
chroot "$root" chown -R ada: /srv/qelto.git

as_ada() {  # the line $1 as ada in ~/qelto (or ~), in a terminal, root's password typed for su
    python3 - "$root" "$password" "$1" <<'PY'
import os, pty, sys, time
root, password, line = sys.argv[1:]
pid, fd = pty.fork()
if pid == 0:
    os.execve("/usr/sbin/chroot", ["chroot", root, "su", "-l", "ada", "-c",
              f"cd qelto 2>/dev/null; export GIT_PAGER=cat PAGER=cat; {line}"],
              {"TERM": "dumb", "PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})
tail = b""
while True:
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    sys.stdout.buffer.write(data.replace(b"\r", b""))
    tail = (tail + data)[-64:]
    if tail.rstrip().endswith((b"Password:", "密码：".encode())):
        time.sleep(0.2)
        os.write(fd, password.encode() + b"\n")
        tail = b""
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
PY
}
run() {
    echo "== $(date +%T) ada\$ $1"
    SECONDS=0
    as_ada "$1" | tee "$folder/step.log"
    local status=${PIPESTATUS[0]}
    echo "== ${SECONDS}s, exit $status"
    return "$status"
}
# The section's first ```sh block, comments taken off.
sed -n '/^## Install the Debian packages/,/^## /p' "$repo/README.md" | sed -n '/^```sh/,/^```/p' |
    sed '1d;$d;s/ *#.*//' >"$folder/lines"
while IFS= read -r line; do
    [[ $line == "git clone "* ]] && line="git clone /srv/qelto.git qelto && cd qelto"
    if ! run "$line" </dev/null; then
        asked=$(sed -n "s/^ *\(su -c '.*'\)$/\1/p" "$folder/step.log")
        [ -n "$asked" ] || exit 1
        run "$asked" </dev/null || exit 1
        run "$line" </dev/null || exit 1
    fi
done <"$folder/lines"
run 'qelto-cli --version && QT_QPA_PLATFORM=offscreen qelto --version' </dev/null

# qelto-cli alone, into the clean copy.
cp "$root"/home/ada/qelto/build/package/qelto-cli_*.deb "$folder/clean/tmp/"
chroot "$folder/clean" dpkg-query -W -f='${Package}\n' | sort >"$folder/before"
chroot "$folder/clean" sh -c 'apt-get update -q && apt-get install -y -q /tmp/qelto-cli_*.deb' \
    >"$folder/clean.log"
chroot "$folder/clean" dpkg-query -W -f='${Package}\n' | sort | comm -13 "$folder/before" - \
    >"$folder/pulled"
echo "qelto-cli 带来了 $(wc -l <"$folder/pulled") 个软件包（$folder/pulled）"
if grep -E '^(libqt6(gui|widgets|opengl)|qt6-qpa|fonts-|libx11-|libxcb|libgl1|libegl1|libwayland)' "$folder/pulled"; then
    echo "失败：只装 qelto-cli 时带来了上面这些图形库或字体" >&2
    exit 1
fi
chroot "$folder/clean" qelto-cli --version
