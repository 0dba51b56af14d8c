#!/usr/bin/env bash
# The package tests, one a command; any failed check fails the command.
#   man-pages SOURCE_DIR TOOL PAGE...: groff (all warnings, also rendered 80 columns wide) and mandoc
#     have nothing to say about the pages (roff, or gzip'ed roff); tovrela-update(1) documents every
#     option, profile key and exit status, tovrela-sim(1) every option of the simulator's usage.
#   help-version TOOL VERSION SOURCE_DIR: --help and --version, anywhere, answer at once.
#   deb SOURCE_DIR OUT_DIR: both packages built twice by scripts/package (byte for byte the same,
#     lintian-clean), their files and dependencies, and the installed tool and simulator at work.
set -euo pipefail
here=$(dirname "$(realpath "$0")") work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2 && failures=$((failures + 1)); }
# has [-x] WHAT TEXT STRING...: TEXT holds each STRING (with -x as a whole line); lacks WHAT TEXT
# REGEX...: no line of TEXT matches an (extended) REGEX.
has() {
    local whole=() string
    [ "$1" != -x ] || { whole=(-x) && shift; }
    for string in "${@:3}"; do grep -q -F "${whole[@]}" -e "$string" <<<"$2" || fail "$1 lacks '$string'"; done
}
lacks() {
    local regex
    for regex in "${@:3}"; do ! grep -q -E -e "$regex" <<<"$2" || fail "$1 has '$regex'"; done
}
# run DIR COMMAND...: COMMAND in DIR, with no input; sets out, err and status.
run() {
    status=0
    out=$(cd "$1" && "${@:2}" </dev/null 2>"$work/err") || status=$?
    err=$(cat "$work/err")
}
# documents WHAT TEXT HELP DASH: TEXT, its dashes written DASH, names every option and every key of
# "update.ini" that HELP (the tool's --help) lists, and every exit status of the tool.
documents() {
    local options keys word
    options=$(sed -n -E 's/^  (-[a-z0-9]+)=.*/\1/p' <<<"$3")
    keys=$(sed -n -E 's/^  ([A-Z][A-Za-z0-9]+)=.*/\1/p' <<<"$3")
    [ "$(wc -l <<<"$options")" -ge 10 ] && [ "$(wc -l <<<"$keys")" -ge 10 ] ||
        fail "--help lists only these options and profile keys: $options $keys"
    # shellcheck disable=SC2046 # one word each
    has "$1" "$2" $(sed "s/^-/$4/; s/$/=/" <<<"$options")
    # Besides "a libusb error code modulo 256"; 128+N for the signals.
    for word in $keys 0 1 2 7 250 251 252 253 254 255 129 130 131 143; do
        grep -q -w -F -e "$word" <<<"$2" || fail "$1 does not name $word"
    done
}

man_pages() {
    local page text lint said options help
    help=$("$2" --help)
    set -- "$1" "${@:3}"
    for lint in groff mandoc; do command -v $lint >/dev/null || { echo "no $lint (scripts/setup installs it)" >&2 && exit 1; }; done
    for page in "${@:2}"; do
        text=$(if [[ $page == *.gz ]]; then gzip -dc "$page"; else cat "$page"; fi)
        for lint in "groff -ww -z -man" "groff -ww -man -T utf8 -rLL=80n"; do # stdout: the page
            said=$($lint 2>&1 >/dev/null <<<"$text") && [ -z "$said" ] || fail "$lint on $page: $said"
        done
        said=$(mandoc -T lint -W warning <<<"$text") || fail "mandoc -T lint on $page: $said"
        case $(basename "$page") in
        tovrela-update.1*)
            documents "$page" "$text" "$help" '\\-'
            has "$page" "$text" update.ini debug.log '\-\-help' '\-\-version' TOVRELA_LOCK_DIR \
                '/usr/share/tovrela\-update/70\-tovrela\-update.rules' '/usr/share/tovrela\-update/update.ini' ;;
        tovrela-sim.1*)
            options=$(sed -n 's/^ *"  \(--[a-z-]*\).*/\1/p' "$1/sim/sim_options.cpp")
            [ "$(wc -l <<<"$options")" -ge 10 ] || fail "found only these simulator options: $options"
            # shellcheck disable=SC2046 # one word each
            has "$page" "$text" $(sed 's/-/\\-/g' <<<"$options") ;;
        tovrela-line.1*) line_page "$page" "$text" "$1" ;;
        *) fail "no documentation checks for $page" ;;
        esac
    done
}

# No banner, no profile read, nothing logged, nothing on standard error, exit status 0, but not 0
# when standard output cannot take the answer; the help names every option, profile key and exit
# status. Either word anywhere answers alone; another spelling is a refused word (exit status 2).
help_version() {
    local tool dir=$work/help args
    tool=$(realpath "$1")
    mkdir "$dir" # a profile that would print its settings, log to "debug.log", pass the image check
    printf '[Config]\nDbgMsg=1\nLogFile=1\nTovrelaBin0=image0.bin\nTovrelaBin1=image1.bin\n' >"$dir/update.ini"
    printf 'zero' >"$dir/image0.bin" && printf 'one' >"$dir/image1.bin"
    for args in --version --help; do
        run "$dir" "$tool" "$args"
        [ "$status" -eq 0 ] && [ -z "$err" ] || fail "$args: exit status $status, standard error '$err'"
        lacks "$args" "$out" '^=====' 'Check OK' 'Setting From'
        [ "$args" = --help ] || [ "$(head -n 1 <<<"$out")" = "tovrela-update $2" ] || fail "--version printed '$out'"
        [ "$args" = --help ] || has --version "$out" Copyright License
        ! (cd "$dir" && "$tool" "$args" >/dev/full 2>/dev/null </dev/null) || fail "$args > /dev/full: exit status 0"
    done
    [[ $out == "Usage: tovrela-update "* ]] || fail "--help does not start with the usage line"
    documents --help "$out" "$out" -
    has --help "$out" update.ini debug.log 'Exit status' 70-tovrela-update.rules 'Report bugs to: '
    lacks --help "$out" '.{81}'
    [ ! -e "$dir/debug.log" ] || fail "--help or --version wrote debug.log"
    # Either word anywhere answers alone (the first counts); another spelling is a refused word.
    for args in "-readbinonly=0 --help" "-vid=1234 --version --help"; do
        run "$dir" "$tool" $args # split on purpose
        [ "$status" -eq 0 ] && [ -z "$err" ] || fail "'$args': exit status $status, standard error '$err'"
        lacks "'$args'" "$out" '^=====' 'Check OK'
        case $args in *--version*) [ "$(head -n 1 <<<"$out")" = "tovrela-update $2" ] ;; *) [[ $out == "Usage: "* ]] ;; esac ||
            fail "'$args' did not answer with the first of --help and --version"
    done
    for args in --HELP -help --help=1; do
        run "$dir" "$tool" "$args"
        [ "$status" -eq 2 ] && [ -z "$out" ] && [ "$(wc -l <<<"$err")" -eq 1 ] && [[ $err == "tovrela-update: $args "* ]] ||
            fail "'$args': exit status $status, output '$out', standard error '$err'"
    done
    [ ! -e "$dir/debug.log" ] || fail "a refused word wrote debug.log"
}

deb() {
    local packages version arch root=$work/root self=$work/self name needs need rules match binary symbols
    "$1/scripts/package" --check-reproducible --nocheck --out "$2" >"$work/package.out" 2>"$work/package.err" ||
        { cat "$work/package.err" >&2 && echo "FAIL: scripts/package (a build, the comparison or lintian)" >&2 && exit 1; }
    # Errors and warnings fail scripts/package; informational and pedantic tags are shown.
    grep -E '^package: built|identical|^[IP]: ' "$work/package.err" || true
    packages=$(cat "$work/package.out")
    version=$(cd "$1" && dpkg-parsechangelog -S Version)
    arch=$(dpkg --print-architecture)
    path() { grep -x -F -e "$(dirname "$(head -n 1 <<<"$packages")")/${1}_${version}_$arch.deb" <<<"$packages"; }
    field() { dpkg-deb --field "$(path "$1")" "$2"; }
    for name in tovrela-update tovrela-sim tovrela-update-dbgsym tovrela-sim-dbgsym; do
        path "$name" >/dev/null || { echo "FAIL: scripts/package made no $name: $packages" >&2 && exit 1; }
    done
    while read -r name needs; do # the files of each package
        diff <(tr ' ' '\n' <<<"$needs" | sort) <(dpkg-deb --fsys-tarfile "$(path "$name")" | tar -t |
            grep -v '/$' | sed 's/^\.//' | sort) >&2 || fail "files of $name (< missing, > extra)"
    done <<'EOF'
tovrela-update /usr/bin/tovrela-update /usr/share/man/man1/tovrela-update.1.gz /usr/share/tovrela-update/update.ini /usr/share/tovrela-update/70-tovrela-update.rules /usr/share/doc/tovrela-update/README.user.gz /usr/bin/tovrela-line /usr/share/man/man1/tovrela-line.1.gz /usr/share/doc/tovrela-update/copyright /usr/share/doc/tovrela-update/changelog.gz
tovrela-sim /usr/bin/tovrela-sim /usr/lib/tovrela-update/libtovrela_fastclock.so /usr/lib/tovrela-update/libtovrela_eventsocket.so /usr/share/man/man1/tovrela-sim.1.gz /usr/share/doc/tovrela-sim/copyright /usr/share/doc/tovrela-sim/changelog.gz
EOF
    # The simulator cannot start without umockdev's library and its preload (package umockdev).
    while read -r name needs; do
        for need in $needs; do grep -q -E "(^|, )$need( |,|$)" <<<"$(field "$name" Depends)" || fail "$name lacks $need"; done
        case $(field "$name" Maintainer) in *localhost* | "") fail "$name: no real maintainer" ;; esac
        dpkg-deb -x "$(path "$name")" "$root"
    done <<<$'tovrela-update libc6 libstdc\\+\\+6 libusb-1\\.0-0\ntovrela-sim libc6 libumockdev0 umockdev libglib2\\.0-0'
    lacks tovrela-update "$(field tovrela-update Depends)" umockdev
    local tool=$root/usr/bin/tovrela-update sim=$root/usr/bin/tovrela-sim share=$root/usr/share/tovrela-update
    for binary in "$tool" "$sim" "$root"/usr/lib/tovrela-update/libtovrela_{fastclock,eventsocket}.so; do # hardened
        lacks "$binary" "$(readelf -d "$binary")" RPATH RUNPATH # no looking into the build tree
        grep -q 'FLAGS.*BIND_NOW' <<<"$(readelf -d "$binary")" || fail "$binary is not linked with BIND_NOW"
        [[ $binary != *.so ]] || continue
        grep -q 'DYN (Position-Independent' <<<"$(readelf -h "$binary")" || fail "$binary is no PIE"
        symbols=$(readelf --dyn-syms -W "$binary") # read whole: grep -q would cut the pipe short
        grep -q __stack_chk_fail <<<"$symbols" || fail "$binary has no stack protector"
        grep -q -E '__[a-z_]+_chk@' <<<"$symbols" || fail "$binary is not built with fortify"
    done
    man_pages "$1" "$tool" "$root"/usr/share/man/man1/tovrela-{update,sim,line}.1.gz
    line_installed "$root"
    # The uaccess tag on a line of its own with the match and the mode, for udev drops a whole
    # line whose group does not resolve; the group on the other line, and no other rule.
    rules=$(grep -v -e '^#' -e '^$' "$share/70-tovrela-update.rules")
    match='SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="VVVV", ATTR{idProduct}=="PPPP"'
    [ "$(grep -c . <<<"$rules")" -eq 2 ] && [ "$(grep -c -F 'TAG+="uaccess"' <<<"$rules")" -eq 1 ] ||
        fail "the udev rule template is not one uaccess line and one group line: $rules"
    has "the uaccess line" "$(grep -F 'TAG+="uaccess"' <<<"$rules")" "$match" 'ACTION!="remove"' 'MODE="0660"'
    lacks "the uaccess line" "$(grep -F 'TAG+="uaccess"' <<<"$rules")" GROUP
    has "the group line" "$(grep -F 'GROUP=' <<<"$rules")" "$match" 'ACTION!="remove"'
    help_version "$tool" "${version%-*}" "$1"
    has "--help of the installed tool" "$("$tool" --help)" /usr/share/tovrela-update/70-tovrela-update.rules
    # The self test reads its option once the profile named two image files that exist: the example
    # profile, and the files it names. With DbgMsg set, it prints every key at its default.
    mkdir "$self" && sed 's/^DbgMsg=0$/DbgMsg=100/' "$share/update.ini" >"$self/update.ini"
    sed -n 's/^TovrelaBin[01]=//p' "$self/update.ini" | while IFS= read -r name; do printf 'image' >"$self/$name"; done
    run "$self" "$tool" -selftest=1
    [ "$status" -eq 0 ] || fail "self test of the installed tool: exit status $status"
    has -x "self test" "$out" "    SPI-IMAGE: image0.bin Check OK" "    ISP_DRIVER: image1.bin Check OK" \
        "Running self tests" "Test result: success" "    LogFile=0" "    DeviceNum=1" "    ReadVerOnly=0" \
        "    ReadBinOnly=0" "    CheckUpdateOnly=0" "    BackUpOnly=0" "    I2CTestOnly=0" \
        "    TovrelaBin0=image0.bin" "    TovrelaBin1=image1.bin"
    lacks "self test" "$out" 'device vid :pid'
    # The installed virtual hub runs the installed tool, with the fast clock and the event socket
    # from its private library folder and the system's umockdev.
    run "$self" env -u TOVRELA_FASTCLOCK_LIB -u TOVRELA_EVENTSOCKET_LIB "$sim" --fast -- "$tool" -vid=1234 -pid=5678 -readveronly=1
    [ "$status" -eq 0 ] || fail "read-version on the installed virtual hub: exit status $status: $out $err"
    has -x "read-version on the installed virtual hub" "$out" Status=0x1
    # A user who may not open the hub's node: "liusb_open failed LIBUSB_ERROR_ACCESS(-3)", exit status
    # 253 and one line on standard error naming the installed template and the README's section.
    cc -shared -fPIC -O2 -o "$work/deny_usb_open.so" "$here/deny_usb_open.c" -ldl
    # shellcheck disable=SC2016 # for the inner shell
    run "$self" "$sim" --fast -- sh -c 'LD_PRELOAD="$0 $LD_PRELOAD" exec "$@"' "$work/deny_usb_open.so" \
        "$tool" -vid=1234 -pid=5678 -readveronly=1
    [ "$status" -eq 253 ] && [ "$(tail -n 1 <<<"$out")" = "liusb_open failed LIBUSB_ERROR_ACCESS(-3)" ] ||
        fail "no access to the hub: exit status $status, not 253, output ending '$(tail -n 1 <<<"$out")'"
    lacks "the tool's output" "$out" 70-tovrela-update.rules
    [ "$(wc -l <<<"$err")" -eq 1 ] || fail "access hint: not one line: $err"
    has "the access hint" "$err" /usr/share/tovrela-update/70-tovrela-update.rules '"Device access without root"'
}

# tovrela-line: its manual page documents every option of its --help, each record field and
# each exit status; installed, it runs beside the installed tool.
line_page() {
    local options
    options=$(sed -n 's/^ *"  \(--[a-z0-9-]*\).*/\1/p' "$3/src/line/line_options.cpp")
    [ "$(wc -l <<<"$options")" -ge 14 ] || fail "found only these tovrela-line options: $options"
    # shellcheck disable=SC2046 # one word each
    has "$1" "$2" $(sed 's/-/\\-/g' <<<"$options") NO_COLOR SIGINT \
        $(sed -n 's/^ *"\([a-z0-9_]*\)", *$/\1/p; s/^ *{"\([a-z0-9_]*\)", .*/\1/p' "$3/src/line/attempt_record.cpp" | sed 's/_/\\_/g; s/\\_/_/g')
    for status in 0 1 2 3 4 '128 + N'; do has -x "$1" "$2" ".B $status"; done
}
line_installed() {
    run "$work" "$1/usr/bin/tovrela-line" --version
    [ "$status" -eq 0 ] && [[ $out == "tovrela-line "* ]] || fail "installed tovrela-line --version: $status $out"
    run "$work" "$1/usr/bin/tovrela-line" --vid=1234 --pid=5678 --check
    [ "$status" -eq 4 ] || fail "installed tovrela-line without update.ini: exit status $status, not 4"
    # The list needs no update.ini: no hub of these ids here, and no logs folder made.
    run "$work" "$1/usr/bin/tovrela-line" --vid=1234 --pid=5678 --list
    [ "$status" -eq 3 ] && [ ! -e "$work/tovrela-line-logs" ] ||
        fail "installed tovrela-line --list without update.ini: exit status $status, not 3, or a logs folder"
    run "$work" "$1/usr/bin/tovrela-line" --vid=1234 --pid=5678 --tool=/nonexistent
    [ "$status" -eq 2 ] || fail "installed tovrela-line with a missing tool: exit status $status, not 2"
}

case $1 in
man-pages) man_pages "${@:2}" ;;
help-version) help_version "${@:2}" ;;
deb) deb "${@:2}" ;;
*) echo "usage: package_tests.sh man-pages|help-version|deb ARGUMENTS" >&2 && exit 2 ;;
esac
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2 && exit 1; }
echo "$1: all checks passed"
