#!/usr/bin/env bash
# Builds both Debian packages twice with scripts/package (which compares the two builds byte for
# byte and runs lintian), installs them into a temporary root with dpkg-deb -x and checks them:
# each package's files and dependencies, the installed manual pages, the udev rule template,
# --help and --version, the installed tool's self test on the example profile, and a version
# read on the installed virtual hub.
# Usage: test_deb_package.sh SOURCE_DIR OUT_DIR
set -euo pipefail
source_dir=$(realpath "$1")
out=$2
here=$(dirname "$(realpath "$0")")

. "$here/checks.sh"

# The build's own tests are this suite, run elsewhere: nocheck keeps the two builds short.
if ! "$source_dir/scripts/package" --check-reproducible --nocheck --out "$out" \
    >"$work/package.out" 2>"$work/package.err"; then
    cat "$work/package.err" >&2
    echo "FAIL: scripts/package failed (a build, the byte comparison or lintian)" >&2
    exit 1
fi
grep -E '^package: built|identical' "$work/package.err"
# Errors and warnings fail scripts/package; what is left are informational and pedantic tags.
grep -E '^[IP]: ' "$work/package.err" || true
mapfile -t packages <"$work/package.out"
version=$(cd "$source_dir" && dpkg-parsechangelog -S Version)

# deb NAME: the path of package NAME, as scripts/package printed it.
arch=$(dpkg --print-architecture)
deb() {
    local path
    for path in "${packages[@]}"; do
        [ "$(basename "$path")" = "${1}_${version}_$arch.deb" ] && echo "$path" && return
    done
}
for name in tovrela-update tovrela-sim tovrela-update-dbgsym tovrela-sim-dbgsym; do
    [ -n "$(deb "$name")" ] || fail "scripts/package did not make $name: ${packages[*]}"
done
[ "$failures" -eq 0 ] || finish ""

# files NAME: the regular files and links of package NAME, without the leading dot.
files() { dpkg-deb --fsys-tarfile "$(deb "$1")" | tar -t | grep -v '/$' | sed 's/^\.//' | sort; }
expect_files() {
    local name=$1 listed
    shift
    listed=$(files "$name")
    [ "$listed" = "$(printf '%s\n' "$@" | sort)" ] ||
        fail "files of $name:"$'\n'"$(diff <(printf '%s\n' "$@" | sort) - <<<"$listed")"
}
expect_files tovrela-update /usr/bin/tovrela-update /usr/share/man/man1/tovrela-update.1.gz \
    /usr/share/tovrela-update/update.ini /usr/share/tovrela-update/70-tovrela-update.rules \
    /usr/share/doc/tovrela-update/README.md.gz /usr/share/doc/tovrela-update/copyright \
    /usr/share/doc/tovrela-update/changelog.gz
expect_files tovrela-sim /usr/bin/tovrela-sim /usr/lib/tovrela-update/libtovrela_fastclock.so \
    /usr/share/man/man1/tovrela-sim.1.gz /usr/share/doc/tovrela-sim/copyright \
    /usr/share/doc/tovrela-sim/changelog.gz

field() { dpkg-deb --field "$(deb "$1")" "$2"; }
depends_tool=$(field tovrela-update Depends)
depends_sim=$(field tovrela-sim Depends)
for needed in libc6 'libstdc\+\+6' 'libusb-1\.0-0'; do
    grep -q -E "(^|, )$needed( |,|$)" <<<"$depends_tool" || fail "tovrela-update lacks $needed"
done
grep -q umockdev <<<"$depends_tool" && fail "tovrela-update must not need umockdev"
# The simulator cannot start without umockdev's library and its preload (package umockdev).
for needed in libc6 libumockdev0 umockdev 'libglib2\.0-0'; do
    grep -q -E "(^|, )$needed( |,|$)" <<<"$depends_sim" || fail "tovrela-sim lacks $needed"
done
for name in tovrela-update tovrela-sim; do
    case $(field "$name" Maintainer) in
    *localhost* | "") fail "$name: no real maintainer: $(field "$name" Maintainer)" ;;
    esac
done

root=$work/root
for name in tovrela-update tovrela-sim; do
    dpkg-deb -x "$(deb "$name")" "$root"
done
tool=$root/usr/bin/tovrela-update
sim=$root/usr/bin/tovrela-sim
share=$root/usr/share/tovrela-update

# Installed binaries are hardened and do not look into the build tree for libraries.
for binary in "$tool" "$sim" "$root/usr/lib/tovrela-update/libtovrela_fastclock.so"; do
    dynamic=$(readelf -d "$binary")
    grep -q -e RPATH -e RUNPATH <<<"$dynamic" && fail "$binary keeps a run path"
    grep -q 'FLAGS.*BIND_NOW' <<<"$dynamic" || fail "$binary is not linked with BIND_NOW"
done
for binary in "$tool" "$sim"; do
    readelf -h "$binary" | grep -q 'DYN (Position-Independent' || fail "$binary is no PIE"
    symbols=$(readelf --dyn-syms -W "$binary")
    grep -q __stack_chk_fail <<<"$symbols" || fail "$binary has no stack protector"
    grep -q -E '__[a-z_]+_chk@' <<<"$symbols" || fail "$binary is not built with fortify"
done

bash "$here/lint_man_page.sh" "$source_dir" "$root/usr/share/man/man1/tovrela-update.1.gz" \
    "$root/usr/share/man/man1/tovrela-sim.1.gz" >/dev/null ||
    fail "the installed manual pages do not lint cleanly"

# The udev template: the uaccess tag stands on a line of its own, with the match and the mode,
# for udev drops a whole line whose group does not resolve; the group has the other line.
rule=$share/70-tovrela-update.rules
[[ "$(basename "$rule")" < 73-seat-late.rules ]] || fail "the udev rule sorts after 73-seat-late"
rules=$(grep -v -e '^#' -e '^$' "$rule")
match='SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="VVVV", ATTR{idProduct}=="PPPP"'
uaccess=$(grep -F 'TAG+="uaccess"' <<<"$rules" || true)
[ "$(grep -c . <<<"$uaccess")" -eq 1 ] || fail "not exactly one uaccess line: $uaccess"
grep -q -F -e "$match" <<<"$uaccess" || fail "the uaccess line lacks the match: $uaccess"
grep -q -F -e 'ACTION!="remove"' <<<"$uaccess" || fail "the uaccess line lacks ACTION!=remove"
grep -q -F -e 'MODE="0660"' <<<"$uaccess" || fail "the uaccess line lacks MODE"
grep -q 'GROUP' <<<"$uaccess" && fail "the uaccess line names a group: $uaccess"
group=$(grep -F 'GROUP=' <<<"$rules" || true)
grep -q -F -e "$match" <<<"$group" && grep -q -F 'ACTION!="remove"' <<<"$group" ||
    fail "the group line lacks the match: $group"
[ "$(grep -c . <<<"$rules")" -eq 2 ] || fail "the template holds other rules: $rules"

bash "$here/test_help_version.sh" "$tool" "${version%-*}" "$source_dir" >/dev/null ||
    fail "--help or --version of the installed tool"
grep -q -F "/usr/share/tovrela-update/70-tovrela-update.rules" <<<"$("$tool" --help)" ||
    fail "--help of the installed tool does not name the installed udev rule template"

# run ARGS...: runs the installed tool in the self-test folder; sets out and status.
self=$work/selftest
mkdir "$self"
run() {
    status=0
    out=$(cd "$self" && "$@" </dev/null 2>&1) || status=$?
}

# The self test reads its option only after the profile named two image files that exist: the
# shipped example profile with the two files it names.
cp "$share/update.ini" "$self/update.ini"
sed -n 's/^TovrelaBin[01]=//p' "$self/update.ini" | while IFS= read -r image; do
    printf 'image' >"$self/$image"
done
run "$tool" -selftest=1
[ "$status" -eq 0 ] || fail "self test of the installed tool: exit status $status"
for line in "    SPI-IMAGE: image0.bin Check OK" "    ISP_DRIVER: image1.bin Check OK" \
    "Running self tests" "Test result: success"; do
    grep -q -x -F -e "$line" <<<"$out" || fail "self test output lacks '$line'"
done
grep -q 'device vid :pid' <<<"$out" && fail "the self test listed USB devices"

# Every key of the example profile is an entry the reader finds, with its documented
# default: the settings printout shows them all.
sed -i 's/^DbgMsg=0$/DbgMsg=100/' "$self/update.ini"
run "$tool" -selftest=1
for line in LogFile=0 DeviceNum=1 ReadVerOnly=0 ReadBinOnly=0 CheckUpdateOnly=0 BackUpOnly=0 \
    I2CTestOnly=0 TovrelaBin0=image0.bin TovrelaBin1=image1.bin; do
    grep -q -x -F -e "    $line" <<<"$out" || fail "example profile: no '    $line' in the printout"
done

# The installed virtual hub runs the installed tool, with the fast clock from its private
# library folder and the system's umockdev.
run env -u TOVRELA_FASTCLOCK_LIB "$sim" --fast -- "$tool" -vid=1234 -pid=5678 -readveronly=1
if [ "$status" -ne 0 ] || ! grep -q -x -F 'Status=0x1' <<<"$out"; then
    fail "read-version on the installed virtual hub: exit status $status"
    echo "$out" >&2
fi

expect_access_hint "$source_dir" "$sim" "$tool" /usr/share/tovrela-update

finish "packages ${packages[*]##*/}: reproducible, lintian-clean, installed and ran"
