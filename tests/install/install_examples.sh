#!/usr/bin/env bash
# install_examples.sh BUILD_DIR SOURCE_DIR KORVA_SIM CC CXX CMAKE
#
# Stages "cmake --install" of the build tree into a temporary prefix, checks
# the installed files, builds examples/c with pkg-config and examples/cpp
# with find_package(korva_api), and runs both (and the installed korva tool)
# against a simulated adapter: a frame must go each way.
set -euo pipefail
build=$1 src=$2 sim=$3 cc=$4 cxx=$5 cmake=$6
# Generous bounds for a loaded machine; every wait is for an event.
wait_s=60

work=$(mktemp -d "${TMPDIR:-/tmp}/korva-install-XXXXXX")
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

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
flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs korva_api)
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Wextra -Werror -o "$work/korva_example" "$src/examples/c/korva_example.c" $flags
LD_LIBRARY_PATH=$libdir ldd "$work/korva_example" | grep "$libdir/libkorva_api.so.1" >/dev/null \
  || fail "the C example does not load the installed library"

echo "== C++ example through find_package(korva_api)"
"$cmake" -S "$src/examples/cpp" -B "$work/cpp" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
"$cmake" --build "$work/cpp" >/dev/null

echo "== run against the simulator"
# The simulator's control channel and event log are the coprocess's pipes.
coproc SIM { exec "$sim" --pty "$work/ttyUSB0" --serial 4242; }
sim_pid=$SIM_PID
exec {sim_in}>&"${SIM[1]}" {sim_out}<&"${SIM[0]}"

# Reads simulator events until one starts with $1.
expect_event() {
  local line deadline=$((SECONDS + wait_s))
  while [ $SECONDS -lt $deadline ]; do
    IFS= read -r -t $wait_s -u "$sim_out" line || fail "simulator ended or was silent waiting for '$1'"
    case "$line" in "$1"*) return 0 ;; esac
  done
  fail "no simulator event '$1'"
}
expect_event "ready"

export LD_LIBRARY_PATH=$libdir
timeout $wait_s "$work/korva_example" "$work/ttyUSB0" >"$work/c.out" 2>&1 &
example=$!
expect_event "rx S6"
expect_event "rx t1232AABB"
echo "send 321#C0FFEE" >&"$sim_in"
wait $example || fail "C example failed: $(cat "$work/c.out")"
grep -q "^opened .*serial 4242" "$work/c.out" || fail "C example output: $(cat "$work/c.out")"
grep -q "^received 321 \[3\] C0 FF EE$" "$work/c.out" || fail "C example output: $(cat "$work/c.out")"
cat "$work/c.out"

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

echo "quit" >&"$sim_in"
wait "$sim_pid" || true
sim_pid=
echo "== install test passed"
