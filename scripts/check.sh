#!/usr/bin/env bash
# Installs what the tests need (Debian packages, only those missing), then
# builds and runs the whole test suite three times: a plain build with
# warnings as errors, the 64-bit and 32-bit Windows builds (mingw-w64; the
# 64-bit one tested under wine64), an AddressSanitizer+UndefinedBehavior-
# Sanitizer build and a ThreadSanitizer build, each in its own directory;
# then runs each fuzz harness for a bounded time.  Any failure or sanitizer report fails
# the run.  The plain build also tests the python-can back-end (in a virtual
# environment under build/) and the Debian package, which it installs on
# this machine and removes again (skipped without root or sudo).
#
#   scripts/check.sh            everything
#   KORVA_FUZZ_SECONDS=10 scripts/check.sh   shorter fuzzing
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${KORVA_FUZZ_SECONDS:-60}

PACKAGES=(cmake make g++ clang libclang-rt-14-dev libgtest-dev pkg-config python3 python3-can python3-serial
          python3-venv python3-pip python3-setuptools python3-wheel dpkg-dev file libiniparser-dev
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          wine wine64 python3-pefile
          debhelper dh-python pybuild-plugin-pyproject python3-all lintian help2man zip unzip)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# Sanitizer reports end the program with a failure.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

run_suite() { # name, build dir, extra cmake arguments...
  local name=$1 dir=$2
  shift 2
  echo "== $name: configure and build in $dir"
  cmake -S "$ROOT" -B "$ROOT/$dir" -DKORVA_WERROR=ON "$@" >/dev/null
  cmake --build "$ROOT/$dir" -j "$JOBS"
  echo "== $name: tests"
  (cd "$ROOT/$dir" && ctest --output-on-failure -j "$JOBS")
}

run_suite "plain build" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The Windows DLLs, cross-built: the 64-bit build's tests run under wine64
# with the plain build's simulator and relay; the 32-bit build, which
# cannot run here, checks its PE files.
run_suite "Windows 64-bit build" build-win64 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DKORVA_LINUX_BUILD_DIR="$ROOT/build"
run_suite "Windows 32-bit build" build-win32 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-i686.cmake"
run_suite "ASan+UBSan build" build-asan -DCMAKE_BUILD_TYPE=Debug -DKORVA_SANITIZE=address
run_suite "TSan build" build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVA_SANITIZE=thread
if ls "$ROOT"/tests/fuzz/fuzz_*.cpp >/dev/null 2>&1; then
  run_suite "fuzzing (${FUZZ_SECONDS} s per harness)" build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVA_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKORVA_FUZZ_SECONDS="$FUZZ_SECONDS"
fi
echo "== all test suites passed"
