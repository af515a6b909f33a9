#!/usr/bin/env bash
# The window's program where it cannot or need not open a window, under C.UTF-8 and a GBK
# locale name: exit status, the stream that speaks and what it says; and --help's columns line up
# with Chinese text in them.
#
#   tests/app/start_test.sh QELTO
set -uo pipefail
qelto=$(realpath "$1")
cd "$(mktemp -d /tmp/qelto-start-test.XXXXXX)" || exit 1
trap 'rm -rf "$PWD"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# name | environment | arguments | status | stream | pattern
cases=(
    "version|-u DISPLAY -u WAYLAND_DISPLAY|--version|0|out|^qelto [0-9]"
    "-V like qelto-cli|-u DISPLAY -u WAYLAND_DISPLAY|-V|0|out|^qelto [0-9]"
    "no display|-u DISPLAY -u WAYLAND_DISPLAY||1|err|没有图形会话.*qelto-cli scan"
    "stale DISPLAY|-u WAYLAND_DISPLAY DISPLAY=:7731||1|err|无法连接图形会话（:7731）.*qelto-cli scan"
    "help|-u DISPLAY|--help|0|out|--snapshot <文件>"
)
for locale in C.UTF-8 zh_CN.GBK; do
    for row in "${cases[@]}"; do
        IFS='|' read -r name environment arguments status stream pattern <<<"$row"
        # shellcheck disable=SC2086
        env -u QT_QPA_PLATFORM $environment LC_ALL=$locale "$qelto" $arguments >out 2>err
        got=$?
        if [ "$locale" != C.UTF-8 ]; then
            for f in out err; do iconv -f GBK -t UTF-8 <$f >$f.utf8 && mv $f.utf8 $f; done
        fi
        [ "$got" = "$status" ] || fail "$locale $name: status $got: $(cat err)"
        tr '\n' ' ' <"$stream" | grep -qE -- "$pattern" || fail "$locale $name: $(cat "$stream")"
        other=err
        [ "$stream" = out ] || other=out
        [ ! -s "$other" ] || fail "$locale $name: $other: $(cat "$other")"
    done
    # Every description of --help starts in the same terminal column.
    python3 - out <<'PY' || fail "$locale: the columns of --help do not line up: $(cat out)"
import re, sys, unicodedata
width = lambda s: sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in s)
starts = {width(m.group(1)) for line in open(sys.argv[1], encoding="utf-8")
          if (m := re.match(r"^(  -\S.*?\s{2,})\S", line))}
sys.exit(len(starts) != 1)
PY
done
# The command that the no-display message names works where the user is: qelto-cli by name when
# this build's is on PATH, else its path (here, outside the build folder: a full one).
cli=$(realpath "$(dirname "$qelto")/../cli/qelto-cli")
for path in "/usr/bin:/bin" "$(dirname "$cli"):/usr/bin:/bin"; do
    env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY PATH="$path" LANG=C.UTF-8 "$qelto" 2>err
    named=$(sed -n 's/^  \(.*\) --help  .*/\1/p' err)
    [ "$(PATH=$path "$named" --version 2>&1)" = "$("$cli" --version)" ] ||
        fail "PATH=$path: the message names '$named': $(cat err)"
    [ "$path" = /usr/bin:/bin ] || [ "$named" = qelto-cli ] || fail "not by name: $named"
done
((failures == 0)) && echo PASS
