#!/usr/bin/env bash
# Starts the window under a virtual X display with a snapshot, types a long ssh:// host, runs one
# scan, and saves a PNG of the window with its tree, one of the help dialog beside it
# (<out>-help.png), and of the save dialog with the question about a missing archive before it
# (<out>-ask.png, <out>-save.png).
#   tests/app/screenshot.sh [snapshot.json | --local] [out.png] [build dir]
# --local scans through the sources of the build instead of a snapshot.
# Defaults: tests/scan/machines/desktop.json, build/screenshot/qelto.png, build/screenshot.
# Needs xvfb, xauth, xdotool and fonts-noto-cjk (tools/setup installs them).
set -euo pipefail
# The window is found by its Chinese title, which xdotool matches only in a UTF-8 locale: use one
# whatever the caller's (C.UTF-8 is always there).
export LC_ALL=C.UTF-8
root=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${1:-}" = --local ]; then
    source=()
else
    source=(--snapshot "$(realpath "${1:-$root/tests/scan/machines/desktop.json}")")
fi
out=$(realpath -m "${2:-$root/build/screenshot/qelto.png}")
build=$(realpath -m "${3:-$root/build/screenshot}")

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQELTO_TESTS=ON >/dev/null
fi
cmake --build "$build" --target qelto qelto-grab >/dev/null
mkdir -p "$(dirname "$out")"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# A free display number.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display"
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

# In a folder of its own, where the archive is missing.
(cd "$work" && exec "$build/app/qelto" "${source[@]}") >"$work/qelto.log" 2>&1 &
pids+=($!)

title="qelto 局域网计算机配置检测系统 V2.0"
window=$(timeout 20 xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1) || true
if [ -z "$window" ]; then
    echo "screenshot.sh: the window \"$title\" did not appear within 20 s on $DISPLAY." >&2
    echo "What the program printed:" >&2
    cat "$work/qelto.log" >&2
    exit 1
fi

# A host longer than the box: 主机 is in the host frame, at (56, 21) in the frame at (16, 48).
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool mousemove --window "$window" 140 78 click 1
xdotool key ctrl+a
xdotool type "ssh://administrator@192.168.100.200:40033"

# 开始检测 sits in the authentication frame: frame at (16, 120), button at (24, 104), 153 × 25.
xdotool mousemove --window "$window" 116 236 click 1
# The scan is over when the progress window has gone again.
sleep 0.5
for _ in $(seq 600); do
    [ "$(xdotool search --onlyvisible --name "^$title\$" | wc -l)" -le 1 ] && break
    sleep 0.1
done
sleep 0.3

"$build/tests/app/qelto-grab" "$window" "$out"
echo "$out"

# The help dialog too, next to it: 帮助 is at (112, 576), 97 × 25.
xdotool mousemove --window "$window" 160 588 click 1
helpwindow=$(timeout 20 xdotool search --sync --onlyvisible --name "^qelto局域网计算机配置检测系统 V2.0\$" | head -n 1)
sleep 0.3
"$build/tests/app/qelto-grab" "$helpwindow" "${out%.png}-help.png"
echo "${out%.png}-help.png"

# 确定 (at (16, 96), 80 × 32) closes the help dialog, which covers the main window.
xdotool mousemove --window "$helpwindow" 56 112 click 1
sleep 0.3

# The save dialog: 保存到ACCESS数据库 is at (32, 72) in the frame at (16, 280), 137 × 25. The
# archive is missing: the question comes first and is answered with its default, 否.
xdotool mousemove --window "$window" 116 364 click 1
question=$(timeout 20 xdotool search --sync --onlyvisible --name "^qelto 局域网计算机配置检测系统\$" | head -n 1)
sleep 0.3
"$build/tests/app/qelto-grab" "$question" "${out%.png}-ask.png"
echo "${out%.png}-ask.png"
xdotool windowfocus --sync "$question" 2>/dev/null || true
xdotool key Return
sleep 0.5
save=$(xdotool search --onlyvisible --name "^$title\$" | grep -vx "$window" | head -n 1)
"$build/tests/app/qelto-grab" "$save" "${out%.png}-save.png"
echo "${out%.png}-save.png"
