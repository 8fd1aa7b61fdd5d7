#!/usr/bin/env bash
# archive_test.sh CPACK WINDOWS_BUILD_DIR win32|win64 RELAY PEAK_PROGRAM
#
# Makes the Windows archive of a Windows build (cpack), unzips it into a
# fresh folder, checks what it holds, and runs it from there under wine:
# korva.exe list and info on a simulated adapter over TCP, and PEAK_PROGRAM
# (a program written for PEAK's "Lite" interface, copied beside the
# archive's DLLs) through RELAY (tests/wine/wine_relay) on the archive's
# korva_mapper_peak.dll and korva_api.dll.
#
# The wine set-up comes from the environment, as for the other wine tests:
# WINEPREFIX, KORVA_WINE (the loader), KORVA_SIM, and whatever else wine
# needs (WINEDLLPATH for the 32-bit DLLs of WoW64).  When
# KORVA_WINE_UNAVAILABLE names an existing file (the prefix could not be
# made), the archive's contents are checked and the test then reports
# itself skipped (exit status 77).
set -euo pipefail
cpack=$1 build=$2 flavour=$3 relay=$4 peak_program=$5
: "${WINEPREFIX:?}" "${KORVA_WINE:?}" "${KORVA_SIM:?}"

work=$(mktemp -d "${TMPDIR:-/tmp}/korva-archive-XXXXXX")
fail() { echo "FAIL: $*" >&2; exit 1; }
# shellcheck source-path=SCRIPTDIR source=../install/example_on_sim.sh
. "$(dirname "$0")/../install/example_on_sim.sh"
cleanup() {
  stop_sim
  rm -rf "$work"
}
trap cleanup EXIT

echo "== cpack"
"$cpack" --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.out" 2>&1 \
  || { cat "$work/cpack.out" >&2; fail "cpack failed"; }
zip=$(find "$work/cpack" -maxdepth 1 -name "korva-*-$flavour.zip")
[ -n "$zip" ] || fail "cpack made no korva-*-$flavour.zip: $(ls "$work/cpack")"
name=$(basename "$zip" .zip)
echo "$(basename "$zip"): $(stat -c %s "$zip") bytes"

echo "== unzip into a fresh folder"
mkdir "$work/fresh"
unzip -q "$zip" -d "$work/fresh"
dir=$work/fresh/$name
[ -d "$dir" ] || fail "the archive has no top folder $name: $(ls "$work/fresh")"
for f in bin/korva_api.dll bin/korva.exe bin/korva_mapper_peak.dll bin/korva.ini.example \
         lib/libkorva_api.dll.a lib/korva_api.def lib/libkorva_mapper_peak.dll.a include/korva_api.h \
         README.md LICENSE; do
  [ -s "$dir/$f" ] || fail "$f is not in the archive"
done
stray=$(cd "$dir" && find . -iname 'test_*' -o -iname '*lacking*')
[ -z "$stray" ] || fail "test files in the archive: $stray"
grep -q '^;' "$dir/bin/korva.ini.example" || fail "korva.ini.example has no comments"
if [ "$flavour" = win64 ]; then machine="PE32+"; else machine="PE32 "; fi
for f in bin/korva_api.dll bin/korva.exe bin/korva_mapper_peak.dll; do
  file "$dir/$f" | grep -q "$machine" || fail "$f is not $machine: $(file "$dir/$f")"
done

# What holds the archive is checked everywhere; running it needs wine.
if [ -n "${KORVA_WINE_UNAVAILABLE:-}" ] && [ -e "$KORVA_WINE_UNAVAILABLE" ]; then
  echo "SKIP: the archive's contents are right, but they cannot run here: $(cat "$KORVA_WINE_UNAVAILABLE")"
  exit 77
fi

echo "== korva.exe list and info on a simulated adapter"
start_sim "$KORVA_SIM" --tcp 0 --serial 4242
port=${event#ready tcp=}
# korva.exe writes Windows line ends.
for cmd in list info; do
  "$KORVA_WINE" "$dir/bin/korva.exe" $cmd "127.0.0.1:$port" >"$work/$cmd.raw" 2>&1 \
    || fail "korva.exe $cmd: $(cat "$work/$cmd.raw")"
  tr -d '\r' <"$work/$cmd.raw" | tee "$work/$cmd.out"
done
grep -q "^127\.0\.0\.1:$port .* 4242 " "$work/list.out" || fail "korva.exe list does not show the simulator"
grep -q "^serial    4242$" "$work/info.out" || fail "korva.exe info does not show serial 4242"
stop_sim

echo "== a program for the PEAK interface on the archive's DLLs"
cp "$peak_program" "$dir/bin/"
"$relay" "$dir/bin/$(basename "$peak_program")" traffic tcp || fail "$(basename "$peak_program") failed"
echo "== archive test passed: $(basename "$zip")"
