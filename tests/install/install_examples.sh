#!/usr/bin/env bash
# install_examples.sh BUILD_DIR SOURCE_DIR KORVA_SIM CC CXX CMAKE [LAYOUT]
#
# Stages "cmake --install" of the build tree into a temporary prefix and
# moves the installed tree elsewhere (an installation is relocatable),
# checks the installed files, builds examples/c with pkg-config and
# examples/cpp with find_package(korva_api), and runs both (and the
# installed korva tool) against a simulated adapter: a frame must go each
# way.  LAYOUT "multiarch" installs instead a build of the library and the
# tools configured here with a Debian multiarch library directory
# (lib/<triplet>), which the pkg-config and CMake files must find.
set -euo pipefail
build=$1 src=$2 sim=$3 cc=$4 cxx=$5 cmake=$6 layout=${7:-default}

work=$(mktemp -d "${TMPDIR:-/tmp}/korva-install-XXXXXX")
fail() { echo "FAIL: $*" >&2; exit 1; }
# shellcheck source-path=SCRIPTDIR source=example_on_sim.sh
. "$(dirname "$0")/example_on_sim.sh"
cleanup() {
  stop_sim
  rm -rf "$work"
}
trap cleanup EXIT

case "$layout" in
  default) ;;
  multiarch)
    triplet=$("$cc" -print-multiarch)
    [ -n "$triplet" ] || fail "$cc names no multiarch triplet"
    echo "== build with libdir lib/$triplet"
    "$cmake" -S "$src" -B "$work/build" -DCMAKE_INSTALL_LIBDIR="lib/$triplet" -DKORVA_TESTS=OFF \
      -DKORVA_MANPAGES=OFF -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
    "$cmake" --build "$work/build" -j 2 >"$work/build.out" 2>&1 || { cat "$work/build.out" >&2; fail "build"; }
    build=$work/build
    ;;
  *) fail "unknown layout $layout" ;;
esac

echo "== install into $work/staged, moved to $work/prefix"
"$cmake" --install "$build" --prefix "$work/staged" >/dev/null
mv "$work/staged" "$work/prefix"
prefix=$work/prefix
pc=$(find "$prefix" -name korva_api.pc | head -n1)
[ -n "$pc" ] || fail "korva_api.pc not installed"
libdir=$(dirname "$(dirname "$pc")")
if [ "$layout" = multiarch ]; then
  [ "$libdir" = "$prefix/lib/$triplet" ] || fail "korva_api.pc installed in $libdir"
fi
for f in "$prefix/include/korva_api.h" "$libdir/libkorva_api.so" "$libdir/libkorva_api.so.1" \
         "$libdir/libkorva_api.so.1.6.0" "$libdir/cmake/korva_api/korva_apiConfig.cmake" "$prefix/bin/korva" \
         "$prefix/share/doc/korva/LICENSE"; do
  [ -e "$f" ] || fail "$f not installed"
done
if [ -e "$build/man/stamp" ]; then
  for f in korva korva-info korva_sim; do
    [ -s "$prefix/share/man/man1/$f.1" ] || fail "manual page $f.1 not installed"
  done
fi
# The pkg-config file names the moved tree's directories.
pcvar() { PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --variable="$1" korva_api; }
[ "$(realpath -m "$(pcvar libdir)")" = "$(realpath "$libdir")" ] || fail "pkg-config's libdir is $(pcvar libdir)"
[ "$(realpath -m "$(pcvar includedir)")" = "$(realpath "$prefix/include")" ] || fail "pkg-config's includedir is $(pcvar includedir)"

echo "== C example through pkg-config"
PKG_CONFIG_PATH=$libdir/pkgconfig LD_LIBRARY_PATH=$libdir build_c_example "$src" "$cc" "$libdir"

echo "== C++ example through find_package(korva_api)"
"$cmake" -S "$src/examples/cpp" -B "$work/cpp" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
"$cmake" --build "$work/cpp" >/dev/null

echo "== run against the simulator"
start_sim "$sim" --pty "$work/ttyUSB0" --serial 4242

export LD_LIBRARY_PATH=$libdir
run_c_example "$work/ttyUSB0"

"$work/cpp/korva_listen" "$work/ttyUSB0" 2 $wait_s >"$work/cpp.out" 2>&1 &
example=$!
expect_event "rx T1234567820102"
echo "send 1ABCDEF0#R4" >&"$sim_in"
echo "send 7FF#" >&"$sim_in"
wait $example || fail "C++ example failed: $(cat "$work/cpp.out")"
grep -q "^1ABCDEF0   \[4\]  remote request$" "$work/cpp.out" || fail "C++ example output: $(cat "$work/cpp.out")"
grep -q "^7FF   \[0\]$" "$work/cpp.out" || fail "C++ example output: $(cat "$work/cpp.out")"
cat "$work/cpp.out"

# The installed tool finds the installed library by itself.
unset LD_LIBRARY_PATH
"$prefix/bin/korva" info "$work/ttyUSB0" | grep "^serial    4242$" >/dev/null || fail "installed korva info"

stop_sim
echo "== install test passed"
