# shellcheck shell=bash
# example_on_sim.sh - sourced by the install tests: a simulated adapter as a
# coprocess, and the C example built through pkg-config and run against it.
# The caller sets $work (a scratch directory) and defines fail().

# Generous bounds for a loaded machine; every wait is for an event.
wait_s=60
sim_pid=

# Starts the simulator (program $1, further arguments passed on); its
# control channel is $sim_in, its event log $sim_out.
start_sim() {
  local sim=$1
  shift
  coproc SIM { exec "$sim" "$@"; }
  sim_pid=$SIM_PID
  exec {sim_in}>&"${SIM[1]}" {sim_out}<&"${SIM[0]}"
  expect_event "ready"
}

# Ends the simulator, if one runs.
stop_sim() {
  if [ -n "$sim_pid" ]; then
    { echo "quit" 1>&"$sim_in"; } 2>/dev/null || true
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
}

# Reads simulator events until one starts with $1; that line is left in
# $event.
expect_event() {
  local line deadline=$((SECONDS + wait_s))
  while [ $SECONDS -lt $deadline ]; do
    IFS= read -r -t $wait_s -u "$sim_out" line || fail "simulator ended or was silent waiting for '$1'"
    case "$line" in "$1"*) event=$line; return 0 ;; esac
  done
  fail "no simulator event '$1'"
}

# Builds examples/c/korva_example.c (source dir $1, compiler $2) into
# $work/korva_example with the flags pkg-config gives (PKG_CONFIG_PATH as
# the caller set it) and checks that it loads libkorva_api.so.1 from
# directory $3.
build_c_example() {
  local src=$1 cc=$2 libdir=$3 flags
  flags=$(pkg-config --cflags --libs korva_api) || fail "pkg-config does not know korva_api"
  # shellcheck disable=SC2086
  "$cc" -std=c99 -Wall -Wextra -Werror -o "$work/korva_example" "$src/examples/c/korva_example.c" $flags
  local loaded
  loaded=$(ldd "$work/korva_example" | awk '$1 == "libkorva_api.so.1" { print $3 }')
  [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$libdir/libkorva_api.so.1")" ] \
    || fail "the C example does not load $libdir/libkorva_api.so.1: $(ldd "$work/korva_example")"
}

# Runs $work/korva_example on the simulator's link $1 (serial number 4242):
# a frame must go each way.
run_c_example() {
  timeout $wait_s "$work/korva_example" "$1" >"$work/c.out" 2>&1 &
  local example=$!
  expect_event "rx S6"
  expect_event "rx t1232AABB"
  echo "send 321#C0FFEE" >&"$sim_in"
  wait $example || fail "C example failed: $(cat "$work/c.out")"
  grep -q "^opened .*serial 4242" "$work/c.out" || fail "C example output: $(cat "$work/c.out")"
  grep -q "^received 321 \[3\] C0 FF EE$" "$work/c.out" || fail "C example output: $(cat "$work/c.out")"
  cat "$work/c.out"
}
