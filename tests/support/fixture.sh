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
