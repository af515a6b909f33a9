# Shared by the test servers' control scripts (sourced).

die() {
    echo "${0##*/}: $*" >&2
    exit 1
}

# True for the addresses a test server may use: the loopback range and ::1, nothing else.
is_loopback() {
    [[ $1 =~ ^127\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$ || $1 == ::1 ]]
}

# "[::1]" for an IPv6 address, the address itself otherwise.
bracketed() {
    if [[ $1 == *:* ]]; then echo "[$1]"; else echo "$1"; fi
}

# Makes DIR (new, or an empty folder) private to its owner, marks it as a test server's with the
# file MARKER, and prints its absolute path: stop removes only folders that carry the marker.
make_state_dir() {
    local dir=$1 marker=$2
    if [[ -e $dir ]]; then
        [[ -d $dir && -z $(ls -A "$dir") ]] || die "$dir exists and is not an empty folder"
    fi
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd -P)
    chmod 0700 "$dir"
    : >"$dir/$marker"
    echo "$dir"
}
