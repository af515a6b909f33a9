#!/usr/bin/env bash
# The manual page (docs/man/qelto-cli.1) and the bash completion (dist/qelto-cli.bash) against the
# program's own --help, which its option tables write; each difference is a failure, both ways:
#  - the commands of `qelto-cli --help` and the verbs of archive and queue (their usage lines) are
#    the commands of the manual's synopsis, the items of its command list, and what the
#    completion offers after qelto-cli, after help and after archive, archive people and queue;
#  - every option of a --help is in the manual, and every option the manual names is in a --help;
#  - the completion offers each command the options its --help names; for each verb of archive
#    and queue, those of them the verb does not refuse (a usage error whose first line names the
#    option, given before the archive is opened: the archive named here does not exist);
#  - the tables that archive init makes are those the manual names, in number too.
#
#   tests/cli/manual_test.sh QELTO-CLI SOURCE-FOLDER
cli=$1
src=$2
completions=/usr/share/bash-completion/bash_completion
if [ ! -r "$completions" ]; then
    echo "FAIL: $completions missing (bash-completion, tools/setup --test)" >&2
    exit 1
fi
work=$(mktemp -d /tmp/qelto-manual-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
export LANG=C.UTF-8 QELTO_ARCHIVE="Data Source=$work/none/a.mdb"
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
same() {  # $1: what is compared; $2, $3: the two sets, one word or phrase a line
    local a b
    a=$(sort -u <<<"$2" | sed '/^$/d')
    b=$(sort -u <<<"$3" | sed '/^$/d')
    [ "$a" = "$b" ] || fail "$1: $(diff <(echo "$a") <(echo "$b") | grep '^[<>]' | tr '\n' ' ')"
}
# The options a text names (one a line), leaving out those written after another command's name
# ("供 scan --snapshot 使用").
options_of() {
    sed -E 's/(scan|dump|probe|archive|queue|worker) --?[a-z-]+//g' |
        grep -oE -- '(^|[^a-zA-Z0-9_-])--?[a-zA-Z][a-z0-9-]*' |
        grep -oE -- '--?[a-zA-Z][a-z0-9-]*' | sort -u
}

# bash-completion's functions are not written for -e and -u.
# shellcheck disable=SC1090
source "$completions"
# shellcheck disable=SC1091
source "$src/dist/qelto-cli.bash"
complete_words() {  # the candidates of bash completion for the words "$@" (last one is typed)
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _qelto_cli qelto-cli "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort -u
}

# The manual as text: roff's escapes of "-" and its break points and font changes removed.
page=$(sed -E 's/\\-/-/g; s/\\[:c]//g; s/\\f[BIRP]//g' "$src/docs/man/qelto-cli.1")
section() { sed -n "/^\.SH $1\$/,/^\.SH /p" <<<"$page"; }

commands=$("$cli" --help | sed -n '/^命令：/,/^$/s/^  \([a-z]\+\) .*/\1/p')
[ -n "$commands" ] || fail "no commands in qelto-cli --help"
items=()  # command and verb, as the manual's command list names them
for c in $commands; do
    usage=$("$cli" "$c" --help)
    verbs=$(grep -oE "qelto-cli $c [a-z]+( [a-z]+)*" <<<"$usage" | cut -d' ' -f3-)
    if [ -z "$verbs" ]; then
        items+=("$c")
        [ "$c" = help ] && continue
        same "completion of $c -" "$(options_of <<<"$usage")
--help" "$(complete_words qelto-cli "$c" -)"
        continue
    fi
    same "completion of $c's verbs" "$(cut -d' ' -f1 <<<"$verbs")
--help" "$(complete_words qelto-cli "$c" '')"
    valued=" "  # the options that take a value
    for option in $(options_of <<<"$usage"); do
        "$cli" "$c" "$option" 2>&1 >/dev/null | head -n1 | grep -qF -- "$option 需要" &&
            valued+="$option "
    done
    while read -r verb; do
        items+=("$c $verb")
        if [ "$verb" != "${verb% *}" ]; then
            same "completion of $c ${verb% *}" \
                "$(grep "^${verb% *} " <<<"$verbs" | cut -d' ' -f2)" \
                "$(complete_words qelto-cli "$c" "${verb% *}" '')"
        fi
        # A verb's operands, enough to pass its own checks.
        case $verb in
            "people add") operands=(d p) ;;
            add) operands=(x --department d --person p) ;;
            history | diff | software | "people import") operands=(x) ;;
            show) operands=(1) ;;
            *) operands=() ;;
        esac
        accepted=--help
        for option in $(options_of <<<"$usage"); do
            given=("$option")
            [[ $valued != *" $option "* ]] || given+=(1h)
            # shellcheck disable=SC2086
            "$cli" "$c" $verb "${operands[@]}" "${given[@]}" >/dev/null 2>err
            status=$?
            if [ $status -ne 2 ] || ! head -n1 err | grep -qF -- "$option"; then
                accepted+=$'\n'$option
            fi
        done
        # shellcheck disable=SC2086
        same "completion of $c $verb -" "$accepted" \
            "$(complete_words qelto-cli "$c" $verb "${operands[@]}" -)"
    done <<<"$verbs"
done
same "the commands offered" "$commands
--help
--version" "$(complete_words qelto-cli '')"
same "the commands offered after help" "$(grep -vx help <<<"$commands")" \
    "$(complete_words qelto-cli help '')"
same "the commands of the manual's synopsis" "$commands
--version" "$(section 概要 | sed -n 's/^\.B qelto-cli \([^ ]*\).*/\1/p')"
same "the manual's list of commands" "$(printf '%s\n' "${items[@]}")" \
    "$(section 命令 | sed -n '/^\.TP$/{n;s/^\.B[IR]\? "\?\([a-z]\+\( [a-z]\+\)*\).*/\1/p}')"

# The options of every --help, and those the manual names.
# shellcheck disable=SC2086
helped=$(for c in "" $(grep -vx help <<<"$commands"); do "$cli" $c --help | options_of; done)
same "the options of --help and of the manual" "$helped
-h" "$(options_of <<<"$page")"

tables=$("$cli" archive --help | grep -oE '[a-z_]+(、[a-z_]+)* [一二三四五六七八九十]张表')
grep -qF -- "$tables" <<<"$page" || fail "the manual does not say archive init makes $tables"

exit $((failures > 0))
