#!/bin/bash
# The rooms of the house and who may include whom. An include of another room's header that is
# not allowed here fails the test, so the picture of the layers stays true: no arrow from the
# query layer into connecting (connect/, reach/) or a source, none from connect/ into a source,
# none from a source into a front end or the connector, none from one source into another's
# transport. The SSH road shares the Linux source's plan, stream and parsers, never
# its local gatherer (local.h) or connector.
set -u
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root" || exit 2

declare -A allowed=(
    [common]=""
    [reach]="common"
    [wmi]="common"
    [connect]="common reach wmi"
    [sources/linux]="common wmi connect"
    [sources/ssh]="common reach wmi connect sources/linux"
    [sources/wsman]="common reach wmi connect"
    [sources/dcom]="common reach wmi connect"
    [scan]="common wmi"
    [report]="common wmi scan"
    [archive]="common wmi scan report"
    [cli]="common reach wmi connect scan report archive"
    [app]="common wmi connect scan report archive help resources"
    [help]="common"
    [resources]=""
)
# Headers of an allowed room that are still not for everyone: "includer-room header".
forbidden=(
    "sources/ssh sources/linux/local.h"
    "sources/ssh sources/linux/connector.h"
    "sources/linux connect/connector.h"
    "sources/ssh connect/connector.h"
    "sources/wsman connect/connector.h"
)
# Texts that have one home each: "pattern home-folder what".
one_home=(
    "QJson common/json the JSON codec"
    "<QCommandLine\\|QCommandLineOption common/options the command-line parser"
)

faults=0
roomOf() {
    case $1 in
        sources/*) echo "$1" | cut -d/ -f1-2 ;;
        *) echo "${1%%/*}" ;;
    esac
}
for room in "${!allowed[@]}"; do
    [ -d "$room" ] || continue
    while IFS= read -r line; do
        file=${line%%:*}
        target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"${line#*:}")
        case $target in
            ../*) echo "$file: includes $target (a path that climbs out of its room)"; faults=$((faults + 1)); continue ;;
            */*) ;;
            *) continue ;;  # the room's own header
        esac
        to=$(roomOf "$target")
        [ "$to" = "$room" ] && continue
        # Headers written by the build (version, generated lists) are not rooms.
        [ -d "$to" ] || continue
        ok=0
        for a in ${allowed[$room]}; do [ "$a" = "$to" ] && ok=1; done
        if [ $ok = 0 ]; then
            echo "$file: $room may not include $target"
            faults=$((faults + 1))
        fi
        for f in "${forbidden[@]}"; do
            read -r who header <<<"$f"
            if [ "$who" = "$room" ] && [ "$header" = "$target" ]; then
                echo "$file: $room may not include $target"
                faults=$((faults + 1))
            fi
        done
    done < <(grep -rHn --include='*.cpp' --include='*.h' '^[[:space:]]*#[[:space:]]*include "' "$room" \
        | if [[ $room != sources/* ]]; then grep -v "^$room/linux/\|^$room/ssh/\|^$room/wsman/"; else cat; fi \
        | sed -E 's/^([^:]+):[0-9]+:/\1:/')
done
for entry in "${one_home[@]}"; do
    read -r pattern home what <<<"$entry"
    hits=$(grep -rln --include='*.cpp' --include='*.h' "$pattern" common reach wmi connect sources scan report archive cli app help resources \
        | grep -v "^$home\." || true)
    if [ -n "$hits" ]; then
        echo "$what has one home ($home); also found in: $(tr '\n' ' ' <<<"$hits")"
        faults=$((faults + 1))
    fi
done
if [ $faults -gt 0 ]; then
    echo "$faults include or home rule(s) broken"
    exit 1
fi
echo "the rooms include only what they may"
