#!/usr/bin/env bash
# "--help" and "--version" as the only argument answer at once: exit status 0, no banner, no
# profile read, nothing logged; the help names every option, profile key and exit status that
# the tool has; both fail when standard output cannot take them. With anything else on the
# command line they are no options of their own and the run starts as always.
# Usage: test_help_version.sh TOOL VERSION SOURCE_DIR
set -euo pipefail
tool=$(realpath "$1")
version=$2
source_dir=$(realpath "$3")

. "$(dirname "$(realpath "$0")")/checks.sh"

# A profile that would print its settings, log to "debug.log" and pass the image check, so
# that reading it would show.
printf '[Config]\nDbgMsg=1\nLogFile=1\nTovrelaBin0=image0.bin\nTovrelaBin1=image1.bin\n' \
    >"$work/update.ini"
printf 'zero' >"$work/image0.bin"
printf 'one' >"$work/image1.bin"

# run ARGS...: sets out, err and status; standard input from /dev/null, in the work directory.
run() {
    status=0
    out=$(cd "$work" && "$tool" "$@" </dev/null 2>"$work/stderr.txt") || status=$?
    err=$(cat "$work/stderr.txt")
    rm -f "$work/stderr.txt"
}

run --version
[ "$status" -eq 0 ] || fail "--version: exit status $status"
[ "$out" = "tovrela-update $version" ] || fail "--version printed '$out'"
[ -z "$err" ] || fail "--version wrote to standard error: $err"

run --help
[ "$status" -eq 0 ] || fail "--help: exit status $status"
case $out in
"Usage: tovrela-update "*) ;;
*) fail "--help does not start with the usage line: $(head -n 1 <<<"$out")" ;;
esac
expect_options_keys_statuses --help "$out" "$source_dir"
for word in update.ini debug.log 'Exit status' 70-tovrela-update.rules; do
    grep -q -F -e "$word" <<<"$out" || fail "--help does not mention $word"
done
[ -z "$err" ] || fail "--help wrote to standard error: $err"
long=$(awk 'length > 80' <<<"$out")
[ -z "$long" ] || fail "--help has lines wider than 80 columns: $long"

for args in --help --version; do
    run "$args"
    if grep -q -e '^=====' -e 'Check OK' -e 'Setting From' <<<"$out"; then
        fail "$args printed the banner or read update.ini"
    fi
done
[ ! -e "$work/debug.log" ] || fail "--help or --version wrote debug.log"

# An answer that did not reach its reader is no success.
for args in --help --version; do
    status=0
    "$tool" "$args" >/dev/full 2>/dev/null </dev/null || status=$?
    [ "$status" -ne 0 ] || fail "$args > /dev/full: exit status 0"
done

# Not the only argument, or not written exactly: the ordinary run, banner first.
for args in "--help -readbinonly=0" "--version --help" "--HELP" "-help" "--help=1"; do
    # shellcheck disable=SC2086 # split on purpose
    run $args
    head -n 1 <<<"$out" | grep -q '^========================================$' ||
        fail "'$args' did not start the ordinary run"
    if grep -q -e '^Usage:' -e "^tovrela-update $version\$" <<<"$out"; then
        fail "'$args' was answered as --help or --version"
    fi
done

finish "help and version: all checks passed"
