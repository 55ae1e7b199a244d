#!/usr/bin/env bash
# Builds the Debian package of usb_grab4, checks what is in it, installs it,
# checks the installed tool and udev rule, and removes the package again.
# Also checks that `cmake --install` into a private prefix puts the udev rule
# under <prefix>/lib/udev/rules.d.
#
# Run as root from the repository root on a Debian 12 machine with cmake, g++,
# pkg-config, libusb-1.0-0-dev, dpkg-dev and file installed.  No module may be
# plugged in: the installed tool is expected to report that there is none.
set -euo pipefail

build_dir=build-package
package=usb-grab4
rule_name=70-usb-grab4.rules
rule_line='SUBSYSTEM=="usb", ATTRS{idVendor}=="833c", TAG+="uaccess"'

fail() {
    echo "package.sh: FAIL: $*" >&2
    exit 1
}

step() {
    echo "== $*"
}

[[ $(id -u) -eq 0 ]] || fail "must run as root (dpkg -i / dpkg -r)"
[[ -f CMakeLists.txt && -f cmake/install.cmake && -f udev/$rule_name ]] ||
    fail "must run from the repository root"
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    fail "$package is already installed here; remove it first (dpkg -r $package)"
fi

tmp_dir=$(mktemp -d)
installed=no
cleanup() {
    if [[ $installed == yes ]]; then
        dpkg -r "$package" >/dev/null 2>&1 || echo "package.sh: could not remove $package" >&2
    fi
    rm -rf "$tmp_dir"
}
trap cleanup EXIT

step "configure and build $build_dir"
cmake -S . -B "$build_dir" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release
cmake --build "$build_dir" -j2

step "cpack -G DEB"
rm -f "$build_dir"/"$package"_*.deb
(cd "$build_dir" && cpack -G DEB)
shopt -s nullglob
debs=("$build_dir"/"$package"_*.deb)
shopt -u nullglob
[[ ${#debs[@]} -eq 1 ]] || fail "expected exactly one $package .deb in $build_dir, found ${#debs[@]}"
deb=${debs[0]}
echo "package: $deb"

step "dpkg-deb -I"
dpkg-deb -I "$deb"
[[ $(dpkg-deb -f "$deb" Package) == "$package" ]] || fail "package name is not $package"
[[ -n $(dpkg-deb -f "$deb" Maintainer) ]] || fail "no Maintainer field"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
grep -Eq '(^|, *)libusb-1\.0-0( |,|$)' <<<"$depends" || fail "Depends does not name libusb-1.0-0"

step "dpkg-deb -c"
contents=$(dpkg-deb -c "$deb")
echo "$contents"
for path in ./usr/bin/usb_grab4 ./usr/lib/udev/rules.d/$rule_name; do
    awk -v p="$path" '$NF == p { found = 1 } END { exit !found }' <<<"$contents" ||
        fail "package does not hold $path"
done
awk '$NF == "./usr/bin/usb_grab4" && $1 ~ /^-..x..x..x$/ { ok = 1 } END { exit !ok }' \
    <<<"$contents" || fail "./usr/bin/usb_grab4 is not packaged as an executable (0755)"
awk -v p="./usr/lib/udev/rules.d/$rule_name" '$NF == p && $1 == "-rw-r--r--" { ok = 1 } END { exit !ok }' \
    <<<"$contents" || fail "the udev rule is not packaged with mode 0644"

step "dpkg -i"
installed=yes
dpkg -i "$deb"
[[ -f /usr/bin/usb_grab4 && -x /usr/bin/usb_grab4 ]] || fail "/usr/bin/usb_grab4 missing or not executable"
rule=/usr/lib/udev/rules.d/$rule_name
[[ -f $rule ]] || fail "$rule missing"
grep -qxF "$rule_line" "$rule" || fail "$rule does not hold the uaccess line"
if grep -Eq '^[^#]*MODE="0?[0-7][0-7][2367]"' "$rule"; then
    fail "$rule makes the device world-writable"
fi
echo "installed: $(ls -l /usr/bin/usb_grab4)"
echo "installed: $(ls -l "$rule")"

step "run /usr/bin/usb_grab4 without a module"
set +e
output=$(timeout 60 /usr/bin/usb_grab4 </dev/null 2>"$tmp_dir/stderr")
status=$?
set -e
echo "stdout: $output"
echo "stderr: $(cat "$tmp_dir/stderr")"
echo "exit status: $status"
[[ $status -eq 1 ]] || fail "expected exit status 1, got $status"
if [[ $output == "no device" ]]; then
    echo "result: libusb initialised and found no module (\"no device\")"
elif [[ $output =~ ^cannot\ initialise\ libusb:\ [A-Z_]+$ ]]; then
    echo "result: libusb could not initialise here (\"$output\"), accepted for a machine without USB"
else
    fail "unexpected output from /usr/bin/usb_grab4: $output"
fi

step "dpkg -r $package"
dpkg -r "$package"
installed=no
[[ ! -e /usr/bin/usb_grab4 ]] || fail "/usr/bin/usb_grab4 is still there after dpkg -r"
[[ ! -e $rule ]] || fail "$rule is still there after dpkg -r"

step "cmake --install into a private prefix"
prefix=$tmp_dir/prefix
cmake --install "$build_dir" --prefix "$prefix"
[[ -x $prefix/bin/usb_grab4 ]] || fail "$prefix/bin/usb_grab4 missing or not executable"
[[ -f $prefix/lib/udev/rules.d/$rule_name ]] || fail "$prefix/lib/udev/rules.d/$rule_name missing"
cmp "$prefix/lib/udev/rules.d/$rule_name" "udev/$rule_name" || fail "installed rule differs from udev/$rule_name"
(cd "$prefix" && find . -mindepth 1 | sort)

echo "package.sh: OK"
