# Shared by the package tests: a scratch directory removed on exit, a failure count, and what
# the tool really has (read from its sources) that its help and manual page must show.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# finish TEXT: exits 1 when a check failed, else prints TEXT.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "$1"
}

# tool_options SOURCE_DIR: the options that settings loading looks up, one a line (-vid, ...).
tool_options() {
    grep -o -E 'get_option_(number|value)\(text, "-[a-z0-9]+"' "$1/src/settings.cpp" |
        grep -o -E '"-[a-z0-9]+"' | tr -d '"'
}
# profile_keys SOURCE_DIR: the keys read from "update.ini", one a line.
profile_keys() {
    grep -o -E '(read_hex_key\("|ImageKey [a-z0-9_]+\{")[A-Za-z0-9]+"' "$1/src/settings.cpp" |
        sed -E 's/.*"([A-Za-z0-9]+)"$/\1/'
}
# The tool's exit statuses, besides "a libusb error code modulo 256"; 128+N for the signals.
exit_statuses=(0 1 7 250 251 252 253 254 255 129 130 131 143)

# expect_options_keys_statuses WHAT TEXT SOURCE_DIR [DASH]: TEXT (a help text or a manual page,
# whose dashes are written DASH, "-" or "\-") names every option, every profile key and every
# exit status of the tool.
expect_options_keys_statuses() {
    local what=$1 text=$2 source=$3 dash=${4:--} name status options keys
    options=$(tool_options "$source")
    keys=$(profile_keys "$source")
    [ "$(wc -l <<<"$options")" -ge 10 ] || fail "found only these options in the sources: $options"
    [ "$(wc -l <<<"$keys")" -ge 10 ] || fail "found only these profile keys in the sources: $keys"
    for name in $options; do
        grep -q -F -e "$dash${name#-}=" <<<"$text" || fail "$what does not name the option $name"
    done
    for name in $keys; do
        grep -q -w -F -e "$name" <<<"$text" || fail "$what does not name the profile key $name"
    done
    for status in "${exit_statuses[@]}"; do
        grep -q -w -F -e "$status" <<<"$text" || fail "$what does not name the exit status $status"
    done
}
