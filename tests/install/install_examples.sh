#!/usr/bin/env bash
# install_examples.sh BUILD_DIR SOURCE_DIR KORVA_SIM CC CXX CMAKE
#
# Stages "cmake --install" of the build tree into a temporary prefix, checks
# the installed files, builds examples/c with pkg-config and examples/cpp
# with find_package(korva_api), and runs both (and the installed korva tool)
# against a simulated adapter: a frame must go each way.
set -euo pipefail
build=$1 src=$2 sim=$3 cc=$4 cxx=$5 cmake=$6

work=$(mktemp -d "${TMPDIR:-/tmp}/korva-install-XXXXXX")
fail() { echo "FAIL: $*" >&2; exit 1; }
# shellcheck source-path=SCRIPTDIR source=example_on_sim.sh
. "$(dirname "$0")/example_on_sim.sh"
cleanup() {
  stop_sim
  rm -rf "$work"
}
trap cleanup EXIT

echo "== install into $work/prefix"
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null
prefix=$work/prefix
pc=$(find "$prefix" -name korva_api.pc | head -n1)
[ -n "$pc" ] || fail "korva_api.pc not installed"
libdir=$(dirname "$(dirname "$pc")")
for f in "$prefix/include/korva_api.h" "$libdir/libkorva_api.so" "$libdir/libkorva_api.so.1" \
         "$libdir/libkorva_api.so.1.6.0" "$libdir/cmake/korva_api/korva_apiConfig.cmake" "$prefix/bin/korva"; do
  [ -e "$f" ] || fail "$f not installed"
done

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
