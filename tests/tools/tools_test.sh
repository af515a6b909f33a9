#!/usr/bin/env bash
# The set-up scripts as a newcomer meets them, without installing or building anything:
#  - tools/setup as a user who is neither root nor allowed to use sudo names the exact apt-get
#    line to run as root (every package looks missing to a dpkg-query that knows none);
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
printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-query"
printf '#!/bin/sh\necho "apt-get must not run" >&2\nexit 99\n' >"$work/bin/apt-get"
chmod 755 "$work/bin/dpkg-query" "$work/bin/apt-get"
cp "$src/tools/setup" "$work/setup"
chmod 755 "$work/setup"
as=()
if [ "$(id -u)" -eq 0 ]; then
    as=(runuser -u nobody --)
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    echo "SKIP: this user may use sudo without a password; the no-sudo case needs another user"
    as=(skip)
fi
if [ "${as[0]:-}" != skip ]; then
    set +e
    out=$(cd "$work" && "${as[@]}" env -i PATH="$work/bin:/usr/bin:/bin" LANG=C.UTF-8 \
        bash ./setup 2>&1 </dev/null)
    status=$?
    set -e
    [ "$status" -eq 1 ] || fail "setup exited $status: $out"
    grep -q '不能使用 sudo' <<<"$out" || fail "no word of sudo: $out"
    grep -q 'apt-get update && apt-get install -y --no-install-recommends .*qt6-base-dev' <<<"$out" ||
        fail "no apt-get line to run as root: $out"
    ! grep -q 'postgresql\|libgtest-dev' <<<"$out" || fail "setup without --test asks for test packages"
    ! grep -q 'must not run' <<<"$out" || fail "apt-get ran"
fi

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
