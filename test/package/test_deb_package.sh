#!/usr/bin/env bash
# Packs the build tree into a .deb, installs that package into a temporary root with
# dpkg-deb -x, and runs the installed tool there: its self test on the example profile that
# the package ships, and --version.
# Usage: test_deb_package.sh CPACK BUILD_DIR VERSION HAS_SIM(0|1)
set -euo pipefail
cpack=$1
build_dir=$(realpath "$2")
version=$3
has_sim=$4
here=$(dirname "$(realpath "$0")")

. "$here/checks.sh"

# Into a directory of its own, so that scripts/package and other builds are not disturbed.
if ! "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1
then
    cat "$work/cpack.log" >&2
    echo "FAIL: cpack could not build the package" >&2
    exit 1
fi
debs=("$work"/out/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "FAIL: expected one .deb, found: ${debs[*]}" >&2
    exit 1
fi
deb=${debs[0]}
echo "package: $(basename "$deb")"

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = tovrela-update ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version-1" ] || fail "Version is '$(field Version)', not $version-1"
grep -q 'libusb-1\.0-0' <<<"$(field Depends)" || fail "Depends lacks libusb-1.0-0: $(field Depends)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
if [ "$has_sim" = 1 ]; then
    grep -q libumockdev0 <<<"$(field Recommends)" || fail "Recommends lacks libumockdev0"
    grep -q libumockdev <<<"$(field Depends)" && fail "the tool must not depend on umockdev"
fi

root=$work/root
dpkg-deb -x "$deb" "$root"
expected=(
    usr/bin/tovrela-update
    usr/share/man/man1/tovrela-update.1.gz
    usr/share/doc/tovrela-update/update.ini
    usr/share/doc/tovrela-update/70-tovrela-update.rules
)
[ "$has_sim" = 1 ] && expected+=(usr/bin/tovrela-sim)
for file in "${expected[@]}"; do
    [ -f "$root/$file" ] || fail "the package lacks /$file"
done
tool=$root/usr/bin/tovrela-update
[ -x "$tool" ] || {
    echo "FAIL: no executable /usr/bin/tovrela-update in the package" >&2
    exit 1
}
# Installed binaries must not look into the build tree for libraries.
if readelf -d "$tool" | grep -q -e RPATH -e RUNPATH; then
    fail "the installed tool keeps a run path: $(readelf -d "$tool" | grep -e RPATH -e RUNPATH)"
fi

bash "$here/lint_man_page.sh" "$root/usr/share/man/man1/tovrela-update.1.gz" >/dev/null ||
    fail "the installed manual page does not lint cleanly"

# The udev template is a rule that matches nothing until the ids are filled in.
grep -q '^SUBSYSTEM=="usb".*ATTR{idVendor}=="VVVV", ATTR{idProduct}=="PPPP"' \
    "$root/usr/share/doc/tovrela-update/70-tovrela-update.rules" ||
    fail "the udev rule template lacks its rule line"

# run DIR ARGS...: runs the installed tool in DIR; sets out and status.
run() {
    local dir=$1
    shift
    status=0
    out=$(cd "$dir" && "$tool" "$@" </dev/null 2>&1) || status=$?
}

run "$work" --version
if [ "$status" -ne 0 ] || [ "$out" != "tovrela-update $version" ]; then
    fail "--version of the installed tool: status $status, '$out'"
fi

# The self test reads its option only after the profile named two image files that exist: the
# shipped example profile with the two files it names.
self=$work/selftest
mkdir "$self"
cp "$root/usr/share/doc/tovrela-update/update.ini" "$self/update.ini"
sed -n 's/^TovrelaBin[01]=//p' "$self/update.ini" | while IFS= read -r image; do
    printf 'image' >"$self/$image"
done
run "$self" -selftest=1
[ "$status" -eq 0 ] || fail "self test of the installed tool: exit status $status"
for line in "    SPI-IMAGE: image0.bin Check OK" "    ISP_DRIVER: image1.bin Check OK" \
    "Running self tests" "Test result: success"; do
    grep -q -x -F -e "$line" <<<"$out" || fail "self test output lacks '$line'"
done
grep -q 'device vid :pid' <<<"$out" && fail "the self test listed USB devices"
[ "$failures" -eq 0 ] || echo "$out" >&2

# Every key of the example profile is an entry the reader finds, with its documented
# default: the settings printout shows them all.
sed -i 's/^DbgMsg=0$/DbgMsg=100/' "$self/update.ini"
run "$self" -selftest=1
for line in LogFile=0 DeviceNum=1 ReadVerOnly=0 ReadBinOnly=0 CheckUpdateOnly=0 BackUpOnly=0 \
    I2CTestOnly=0 TovrelaBin0=image0.bin TovrelaBin1=image1.bin; do
    grep -q -x -F -e "    $line" <<<"$out" || fail "example profile: no '    $line' in the printout"
done

# The installed virtual hub runs the installed tool, with the fast clock that it finds in the
# package's library folder.
if [ "$has_sim" = 1 ]; then
    status=0
    out=$(cd "$self" && env -u TOVRELA_FASTCLOCK_LIB "$root/usr/bin/tovrela-sim" --fast -- \
        "$tool" -vid=1234 -pid=5678 -readveronly=1 </dev/null 2>&1) || status=$?
    if [ "$status" -ne 0 ] || ! grep -q -x -F 'Status=0x1' <<<"$out"; then
        fail "read-version on the installed virtual hub: exit status $status"
        echo "$out" >&2
    fi
fi

finish "package $(basename "$deb"): installed and ran"
