# bash completion for qelto-cli: its commands, their options, and file names where an option
# takes a file (--snapshot, -o, --hosts-file, …) or a folder (--report-dir).

_qelto_cli() {
    local cur prev words cword
    _init_completion -n = || return

    local connection="--user --password --password-file --accept-new-host-key --ca-file
        --pin-sha256 --timeout --connect-timeout"
    local archive="--archive --archive-password-file"

    case $prev in
        --snapshot | -o | --output | --hosts-file | --password-file | --ca-file | --people | \
            --archive-password-file | --credentials)
            _filedir
            return
            ;;
        --report-dir)
            _filedir -d
            return
            ;;
        --user | --password | --pin-sha256 | --timeout | --connect-timeout | --jobs | \
            --archive | --department | --person | --since | --every | --lease | --poll | --name)
            return
            ;;
    esac

    # The command is the first word after qelto-cli.
    if ((cword == 1)); then
        COMPREPLY=($(compgen -W 'scan dump probe archive queue worker help --help --version' -- "$cur"))
        return
    fi

    local options
    case ${words[1]} in
        scan)
            if [[ $cur == --report=* ]]; then
                cur=${cur#--report=}
                _filedir -d
                return
            fi
            options="--hosts-file --jobs --snapshot --json --software -v --verbose --report --report-dir
                --save --department --person --people $archive $connection --help"
            ;;
        dump)
            options="-o --output $connection --help"
            ;;
        probe)
            options="$connection --help"
            ;;
        archive)
            if ((cword == 2)); then
                COMPREPLY=($(compgen -W 'init people history diff show changes export software --help' -- "$cur"))
                return
            fi
            if [[ ${words[2]} == people ]] && ((cword == 3)); then
                COMPREPLY=($(compgen -W 'add import' -- "$cur"))
                return
            fi
            if [[ ${words[2]} == people && ${words[3]} == import && $cur != -* ]]; then
                _filedir csv
                return
            fi
            # Each verb's own options: the others are a usage error.
            case ${words[2]} in
                history | diff) options="$archive --json --help" ;;
                show) options="$archive --json --software --report --report-dir --help" ;;
                changes) options="$archive --since --json --help" ;;
                export) options="$archive --csv --xlsx --software -o --output --help" ;;
                software) options="$archive --below --json --help" ;;
                *) options="$archive --help" ;;
            esac
            ;;
        queue)
            if ((cword == 2)); then
                COMPREPLY=($(compgen -W 'add list remove --help' -- "$cur"))
                return
            fi
            # Each verb's own options: the others are a usage error.
            case ${words[2]} in
                add) options="$archive --hosts-file --every --people --department --person --help" ;;
                list) options="$archive --json --help" ;;
                remove) options="$archive --all --help" ;;
                *) options="$archive --help" ;;
            esac
            ;;
        worker)
            options="$archive --jobs --lease --credentials --name --poll --once --snapshot
                --accept-new-host-key --ca-file --pin-sha256 --timeout --connect-timeout --help"
            ;;
        help)
            ((cword == 2)) && COMPREPLY=($(compgen -W 'scan dump probe archive queue worker' -- "$cur"))
            return
            ;;
        *)
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    fi
} &&
    complete -F _qelto_cli qelto-cli
