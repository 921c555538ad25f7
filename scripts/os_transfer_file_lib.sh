#!/bin/bash
# os_transfer_file_lib.sh FUNCTION
#
# The platform's file-transfer functions, run as a command:
#
#   get_ibc_password   prints the password of the internal transfer account
#                      (ibc_os_hs) as one line, and nothing when it cannot
#                      (no password file, no key, a damaged file).
#   set_ibc_password   reads one line from standard input and stores it as
#                      that password.
#
# The password file, <root>/VXA/conf/kmca/ibc_os_hs.pwd, is encrypted with
# AES-256-CBC (salted, PBKDF2) under a pass phrase that is the trimmed text of
# the cluster key, <root>/VXA/conf/kmca/cluster.key. <root> is the node root
# this script is installed in (<root>/VXA/script/). The pass phrase and the
# password never appear on a command line: openssl reads the pass phrase from
# the key file and the text through its standard streams.
set -u

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
KEY_FILE="$ROOT/VXA/conf/kmca/cluster.key"
PWD_FILE="$ROOT/VXA/conf/kmca/ibc_os_hs.pwd"

get_ibc_password() {
    [ -r "$KEY_FILE" ] && [ -r "$PWD_FILE" ] || return 1
    local text line
    # No pipe: the status must be openssl's, since a wrong key can still
    # print some garbage before the padding check fails.
    text="$(LD_LIBRARY_PATH= openssl enc -d -aes-256-cbc -pbkdf2 -salt -a -A -in "$PWD_FILE" \
        -pass "file:$KEY_FILE" 2>/dev/null)" || return 1
    line="${text%%$'\n'*}"
    # Garbage that passed the padding check by chance mostly holds control characters.
    case "$line" in
        '' | *[[:cntrl:]]*) return 1 ;;
    esac
    printf '%s\n' "$line"
}

set_ibc_password() {
    [ -r "$KEY_FILE" ] || { echo "os_transfer_file_lib.sh: no cluster key at $KEY_FILE" >&2; return 1; }
    local line tmp
    IFS= read -r line || [ -n "$line" ] || { echo "os_transfer_file_lib.sh: no password on standard input" >&2; return 1; }
    tmp="$(mktemp "$PWD_FILE.XXXXXX")" || return 1
    if printf '%s\n' "$line" | LD_LIBRARY_PATH= openssl enc -aes-256-cbc -pbkdf2 -salt -a -A -out "$tmp" \
        -pass "file:$KEY_FILE" 2>/dev/null; then
        chmod 600 "$tmp" && mv -f "$tmp" "$PWD_FILE"
    else
        rm -f "$tmp"
        echo "os_transfer_file_lib.sh: encrypting the password failed" >&2
        return 1
    fi
}

case "${1:-}" in
    get_ibc_password) get_ibc_password ;;
    set_ibc_password) set_ibc_password ;;
    *) echo "usage: os_transfer_file_lib.sh get_ibc_password|set_ibc_password" >&2; exit 2 ;;
esac
