#!/usr/bin/env bash
# Installs what the tests need (Debian packages, only those missing), then
# builds and tests each configuration in its own directory: a plain build
# with warnings as errors; the 64-bit and 32-bit Windows builds
# (mingw-w64), whose programs run under wine64, the 32-bit ones in its
# WoW64 mode (wine's 32-bit DLLs are fetched into build-win32/wow64; where
# 32-bit code cannot run, those runs are skipped and the reason printed);
# an AddressSanitizer+UndefinedBehaviorSanitizer build and a
# ThreadSanitizer build; runs each fuzz harness for a bounded time; and
# last tries the README on a fresh machine (a minimal Debian root made with
# debootstrap, cached in build/fresh-root/; skipped without root).  Any
# failure or sanitizer report fails the run.  The plain build also tests
# the python-can back-end (in a virtual environment under build/) and the
# Debian packages, which it installs on this machine and removes again
# (skipped without root or sudo).
#
#   scripts/check.sh            everything
#   KORVA_FUZZ_SECONDS=10 scripts/check.sh   shorter fuzzing
#   KORVA_FRESH_ROOT=0 scripts/check.sh      without the fresh-root test
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${KORVA_FUZZ_SECONDS:-60}

PACKAGES=(cmake make g++ clang libclang-rt-14-dev libgtest-dev pkg-config python3 python3-can python3-serial
          python3-venv python3-pip python3-setuptools python3-wheel dpkg-dev file libiniparser-dev
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          wine wine64 python3-pefile debootstrap git tshark tmux can-utils
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
  # tshark: no setuid capture helper (the tests only read capture files).
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
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
# The Windows DLLs, cross-built: both builds' tests run under wine64 with
# the plain build's simulator and relay, the 32-bit programs in wine's
# WoW64 mode (never wine32); both check their PE files.
run_suite "Windows 64-bit build" build-win64 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DKORVA_LINUX_BUILD_DIR="$ROOT/build"
run_suite "Windows 32-bit build" build-win32 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-i686.cmake" -DKORVA_LINUX_BUILD_DIR="$ROOT/build"
if [ -f "$ROOT/build-win32/wow64/unavailable" ]; then
  echo "== WARNING: $(cat "$ROOT/build-win32/wow64/unavailable")"
fi
run_suite "ASan+UBSan build" build-asan -DCMAKE_BUILD_TYPE=Debug -DKORVA_SANITIZE=address
run_suite "TSan build" build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVA_SANITIZE=thread
if ls "$ROOT"/tests/fuzz/fuzz_*.cpp >/dev/null 2>&1; then
  run_suite "fuzzing (${FUZZ_SECONDS} s per harness)" build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVA_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKORVA_FUZZ_SECONDS="$FUZZ_SECONDS"
fi
# The README's first commands on a fresh Debian root: exit status 77 is a
# skip, which the script explains in one line.
echo "== fresh root: the README on a minimal Debian root"
fresh=0
tests/install/fresh_root.sh "$ROOT/build/fresh-root" "$ROOT" || fresh=$?
[ $fresh -eq 0 ] || [ $fresh -eq 77 ] || { echo "== fresh-root test failed"; exit 1; }
echo "== all test suites passed"
