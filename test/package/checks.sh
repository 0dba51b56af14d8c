# Shared by the package tests: a scratch directory removed on exit, a failure count, and what
# the tool really has (read from its sources) that its help and manual page must show.
package_tests=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
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

# expect_access_hint SOURCE_DIR SIM TOOL DATA_DIR: on a hub whose device node the user may not open, the
# tool ends with "liusb_open failed LIBUSB_ERROR_ACCESS(-3)" and exit status 253 and writes one
# line to standard error naming the udev rule template in DATA_DIR and the README section.
# Runs only once the tool calls print_access_hint.
expect_access_hint() {
    local source=$1 sim=$2 tool=$3 data_dir=$4 dir=$work/access status=0
    sim=$(realpath "$sim")
    tool=$(realpath "$tool")
    if ! grep -q 'print_access_hint()' "$source/src/main.cpp"; then
        echo "access hint: not checked, the tool does not call print_access_hint yet"
        return
    fi
    mkdir -p "$dir"
    cc -shared -fPIC -O2 -o "$dir/deny_usb_open.so" "$package_tests/deny_usb_open.c" -ldl ||
        { fail "cannot build deny_usb_open.so"; return; }
    printf '[Config]\nTovrelaBin0=image0.bin\nTovrelaBin1=image1.bin\n' >"$dir/update.ini"
    printf 'zero' >"$dir/image0.bin"
    printf 'one' >"$dir/image1.bin"
    (cd "$dir" && "$sim" --fast -- sh -c 'LD_PRELOAD="$0 $LD_PRELOAD" exec "$@"' \
        "$dir/deny_usb_open.so" "$tool" -vid=1234 -pid=5678 -readveronly=1 \
        >"$dir/out" 2>"$dir/err" </dev/null) || status=$?
    [ "$status" -eq 253 ] || fail "no access to the hub: exit status $status, not 253"
    [ "$(tail -n 1 "$dir/out")" = "liusb_open failed LIBUSB_ERROR_ACCESS(-3)" ] ||
        fail "no access to the hub: standard output ends with '$(tail -n 1 "$dir/out")'"
    grep -q -F 70-tovrela-update.rules "$dir/out" && fail "the access hint went to standard output"
    [ "$(wc -l <"$dir/err")" -eq 1 ] || fail "access hint: not one line: $(cat "$dir/err")"
    grep -q -F -e "$data_dir/70-tovrela-update.rules" "$dir/err" &&
        grep -q -F '"Device access without root"' "$dir/err" ||
        fail "the access hint names neither $data_dir/70-tovrela-update.rules nor the README section"
}
