#!/usr/bin/env bash
# The Windows build of usb_grab4, tried under wine against the emulated module.
#
# Cross-compiles usb_grab4.exe (linked against an import library made from
# windows/libusb-1.0.def) and the stand-in libusb-1.0.dll that plays the
# emulated module, checks what the two binaries import and export, then runs
# the .exe under wine64 in a fresh, headless prefix through a table of cases
# and compares its output, exit status, capture files and wire log with what a
# host-side program works out from the same model (windows/expected_run.cpp).
#
# Run from the repository root.  Debian 12 packages it needs:
#   cmake make g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
#   libusb-1.0-0-dev wine64
set -euo pipefail

repo=$(pwd)
if [[ ! -f "$repo/windows/CMakeLists.txt" ]]; then
    echo "run this from the repository root" >&2
    exit 2
fi

started=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/usb_grab4-windows.XXXXXX")
build=$work/build
expected=$work/expected
run=$work/run
mkdir -p "$expected" "$run"

WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$work/prefix
export WINEARCH=win64
export WINELOADER=$WINE
export WINEDEBUG=-all
export DISPLAY=
# No Mono or Gecko installer dialogs in a prefix nobody looks at.
export WINEDLLOVERRIDES="mscoree,mshtml="

finish() {
    # Ends the wine server of this prefix (and anything left running in it).
    if [[ -d "$WINEPREFIX" ]]; then
        "$WINESERVER" -k >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap finish EXIT

step() { printf '== %s (%ds)\n' "$*" $((SECONDS - started)); }

# --- build ---------------------------------------------------------------
step "cross-compiling usb_grab4.exe and the stand-in libusb-1.0.dll"
if ! cmake -S windows -B "$build" --toolchain mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
        >"$work/configure.log" 2>&1; then
    cat "$work/configure.log"
    exit 1
fi
cmake --build "$build" -j2

step "building the expected results on the host"
model=tests/emulated_module
g++ -std=c++17 -O2 -Wall -Wextra -Wpedantic -I "$model" windows/expected_run.cpp \
    "$model/module_model.cpp" "$model/scenarios.cpp" -o "$work/expected_run"
"$work/expected_run" "$expected"
printf 'no device\n' >"$expected/no_device"
printf 'cannot initialise libusb: LIBUSB_ERROR_OTHER\n' >"$expected/init_failure"

# --- what the binaries import and export ---------------------------------
step "checking imports and exports"
nm_tool=x86_64-w64-mingw32-nm
objdump_tool=x86_64-w64-mingw32-objdump
def_names=$(sed -e 's/;.*//' windows/libusb-1.0.def | awk 'done && NF {print $1} /^EXPORTS/ {done = 1}' | sort)
# dlltool does not fail on a .def it misreads, so the library itself is read.
import_names=$("$nm_tool" "$build/import/libusb-1.0.dll.a" | awk '$2 == "T" {print $3}' | sort)
# PE tables: "DLL Name: X" starts an import block, a blank line ends it.
imported_dlls() { "$objdump_tool" -p "$1" | awk '/^\tDLL Name:/ {print $3}' | sort; }
imports_from() {
    "$objdump_tool" -p "$1" |
        awk -v dll="$2" '$0 ~ "^\tDLL Name: " dll "$" {f = 1; next} f && NF == 0 {f = 0} f && NF == 3 {print $3}' |
        sort
}
exported_names() {
    "$objdump_tool" -p "$1" | awk '/^\[Ordinal\/Name Pointer\] Table/ {f = 1; next} f && NF == 0 {f = 0} f {print $NF}' | sort
}

link_failures=0
same() {  # same WHAT EXPECTED ACTUAL
    if [[ "$2" == "$3" ]]; then
        echo "ok: $1"
    else
        echo "FAIL: $1"
        diff <(echo "$2") <(echo "$3") | sed 's/^/    /' || true
        link_failures=$((link_failures + 1))
    fi
}
same "the import library defines exactly the entry points of libusb-1.0.def" \
    "$def_names" "$import_names"
same "usb_grab4.exe imports exactly those entry points from libusb-1.0.dll" \
    "$def_names" "$(imports_from "$build/usb_grab4.exe" libusb-1.0.dll)"
same "usb_grab4.exe needs no DLL but the system's and libusb-1.0.dll" \
    "$(printf '%s\n' KERNEL32.dll libusb-1.0.dll msvcrt.dll)" "$(imported_dlls "$build/usb_grab4.exe")"
same "the stand-in exports exactly those entry points" \
    "$def_names" "$(exported_names "$build/libusb-1.0.dll")"
same "the stand-in needs no DLL but the system's" \
    "$(printf '%s\n' KERNEL32.dll msvcrt.dll)" "$(imported_dlls "$build/libusb-1.0.dll")"
if ((link_failures > 0)); then
    echo "0 passed, $link_failures failed"
    exit 1
fi

# The two files a Windows machine would get, side by side.
cp "$build/usb_grab4.exe" "$build/libusb-1.0.dll" "$run/"

# --- wine ----------------------------------------------------------------
step "initialising a fresh wine prefix"
if ! "$WINE" wineboot -i >"$work/wineboot.log" 2>&1; then
    cat "$work/wineboot.log"
    exit 1
fi

capture_dir=$(sed -n 's/^CAPTURE_DIR:STRING=//p' "$build/CMakeCache.txt")
captures=$("$WINE" winepath -u "$capture_dir")
captures=${captures%/}
[[ -n "$captures" && "$captures" == "$WINEPREFIX"/* ]] || {
    echo "cannot place $capture_dir inside $WINEPREFIX (got '$captures')"
    exit 1
}
capture_names="bg1.bin bg2.bin bg3.bin hand1.bin"

# Earlier captures of other content, each larger than the frame that replaces
# it, so a frame written over one without truncating it would show.
mkdir -p "$work/old"
for name in $capture_names; do
    (yes "earlier capture $name, CR LF follows"$'\r' || true) | head -c 60000 >"$work/old/$name"
done

# The outermost directory on the way to the captures that a fresh prefix
# lacks: removing it gives the tool the whole chain to create.
fresh_root=$captures
while [[ ! -e "$(dirname "$fresh_root")" ]]; do
    fresh_root=$(dirname "$fresh_root")
done

prepare_captures() {
    rm -rf "$fresh_root"
    case "$1" in
    absent) ;;
    old) mkdir -p "$captures" && cp "$work/old/"* "$captures/" ;;
    esac
}

# The capture directory holds exactly the four files, equal to those in $1.
captures_equal() {
    local listing
    listing=$(cd "$captures" 2>/dev/null && ls -A | tr '\n' ' ')
    if [[ "$listing" != "$capture_names " ]]; then
        echo "capture directory holds [${listing% }], not [$capture_names]"
        return 1
    fi
    local name
    for name in $capture_names; do
        cmp "$1/$name" "$captures/$name" 2>&1 || return 1
    done
}

# Milliseconds between the end of the bg3 read and the start of the hand1
# read: the operator's ten seconds.
palm_wait_ms() {
    awk '/ ep=0x81 / && / complete / {n++; if (n == 3) end3 = $1}
         / ep=0x81 / && / submit / {s++; if (s == 4) start4 = $1}
         END {if (end3 == "" || start4 == "") print -1; else printf "%d\n", start4 - end3}' "$1"
}
drop_stamps() { sed -E 's/^ *[0-9]+\.[0-9]+ ms //' "$1"; }

# name              scenario        captures  exit  stdout        stderr       captures  wire log
#                                   before                                     after
cases=(
    "no_module         no_module       old       1     no_device     empty        old       none"
    "unknown_scenario  no_such_module  old       1     init_failure  names_it     old       none"
    "fresh_directory   healthy_module  absent    0     stdout        empty        frames    wire"
    "over_old_files    healthy_module  old       0     stdout        empty        frames    wire"
)

passed=0
failed=0
for row in "${cases[@]}"; do
    read -r name scenario before want_status want_stdout want_stderr after want_wire <<<"$row"
    step "case $name"
    prepare_captures "$before"
    out=$work/$name.stdout
    err=$work/$name.stderr
    wire=$work/$name.wire
    rm -f "$wire"
    case_started=$SECONDS
    set +e
    (cd "$run" && EMULATED_MODULE_SCENARIO=$scenario EMULATED_MODULE_WIRE_LOG=$wire \
        timeout 90 "$WINE" ./usb_grab4.exe </dev/null >"$out" 2>"$err")
    status=$?
    set -e

    problems=()
    [[ "$status" == "$want_status" ]] || problems+=("exit status $status, wanted $want_status")
    cmp -s "$expected/$want_stdout" "$out" ||
        problems+=("stdout differs: $(cmp "$expected/$want_stdout" "$out" 2>&1 | head -1 || true)")
    case "$want_stderr" in
    empty) [[ ! -s "$err" ]] || problems+=("stderr not empty") ;;
    names_it) grep -qF "no scenario called \"$scenario\"" "$err" ||
        problems+=("stderr does not name the unknown scenario") ;;
    esac
    case "$after" in
    old) why=$(captures_equal "$work/old") || problems+=("earlier captures not left as they were: $why") ;;
    frames) why=$(captures_equal "$expected") || problems+=("captures are not the frames: $why") ;;
    esac
    case "$want_wire" in
    none) [[ ! -s "$wire" ]] || problems+=("the module was opened") ;;
    wire)
        if ! diff <(drop_stamps "$expected/wire") <(drop_stamps "$wire") >"$work/$name.wire.diff"; then
            problems+=("wire log differs from the expected one: $(head -4 "$work/$name.wire.diff" | tr '\n' '|')")
        fi
        waited=$(palm_wait_ms "$wire")
        ((waited >= 9990)) || problems+=("palm frame read ${waited} ms after bg3, wanted 10 s")
        ;;
    esac

    if ((${#problems[@]} == 0)); then
        echo "PASS $name ($((SECONDS - case_started)) s)"
        passed=$((passed + 1))
    else
        echo "FAIL $name"
        printf '    %s\n' "${problems[@]}"
        echo "    --- stdout:"; sed 's/^/    /' "$out"
        echo "    --- stderr:"; sed 's/^/    /' "$err"
        failed=$((failed + 1))
    fi
done

step "done"
echo "windows: $passed passed, $failed failed"
((failed == 0))
