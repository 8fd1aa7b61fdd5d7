#!/usr/bin/env bash
# deb_package.sh BUILD_DIR SOURCE_DIR CC CPACK [VENV_PYTHON]
#
# Builds the Debian package of the build tree with "cpack -G DEB", installs
# it on this machine with apt-get, builds examples/c against the installed
# files through pkg-config, runs it and the installed tools against the
# installed simulator (and, given the virtual environment of the python
# tests, python-can's "korva" interface on the installed library), then
# removes the package and checks that nothing of it is left.
#
# Needs root, or sudo without a password; otherwise it is skipped (exit 77).
set -euo pipefail
build=$1 src=$2 cc=$3 cpack=$4 venv_py=${5:-}

if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  SUDO=(sudo -n)
else
  echo "SKIP: installing a Debian package needs root or sudo without a password"
  exit 77
fi
APT=("${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300)

# One run at a time on this machine (two checkouts tested at once would
# install and purge the same package under each other).
lockfile=/tmp/korva-deb-package.lock
[ -e "$lockfile" ] || : >"$lockfile"
exec {lock}<"$lockfile"  # read-only: whoever made the file, every user can lock it
flock -w 600 "$lock" || { echo "FAIL: another run of this test holds $lockfile" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/korva-deb-XXXXXX")
chmod 755 "$work"  # apt reads the package as its own unprivileged user
fail() { echo "FAIL: $*" >&2; exit 1; }
# shellcheck source-path=SCRIPTDIR source=example_on_sim.sh
. "$(dirname "$0")/example_on_sim.sh"

package_state() { dpkg-query -W -f='${Status}' korva 2>/dev/null || true; }

# Removes the package (also after a failed or partial installation) and
# checks that neither its files nor the linker cache entry remain.
remove_package() {
  case "$(package_state)" in
    "" | *not-installed) return 0 ;;
  esac
  "${APT[@]}" purge korva >"$work/remove.out" 2>&1 || "${SUDO[@]}" dpkg --purge korva >>"$work/remove.out" 2>&1 \
    || { cat "$work/remove.out" >&2; fail "the package cannot be removed"; }
  case "$(package_state)" in
    "" | *not-installed) ;;
    *) fail "korva is still installed after removal: $(package_state)" ;;
  esac
  if [ -s "$work/files" ]; then
    while IFS= read -r f; do
      [ -d "$f" ] && [ ! -L "$f" ] && continue
      [ -e "$f" ] || [ -L "$f" ] && fail "$f is left after removal"
    done <"$work/files"
  fi
  if ldconfig -p | grep -q "libkorva_api.so.1 "; then fail "the linker cache still lists libkorva_api.so.1"; fi
  return 0
}
cleanup() {
  local rc=$?
  stop_sim
  remove_package || rc=1
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT

echo "== cpack -G DEB"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.out" 2>&1 \
  || { cat "$work/cpack.out" >&2; fail "cpack failed"; }
deb=$(find "$work/pkg" -maxdepth 1 -name 'korva_*.deb')
[ -n "$deb" ] || fail "cpack made no korva_*.deb: $(cat "$work/cpack.out")"
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -f "$deb" Package Version Depends
dpkg-deb -f "$deb" Depends | grep -q "libc6" || fail "the package declares no dependency on libc6"
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$work/contents"
for f in /usr/lib/libkorva_api.so.1 /usr/lib/libkorva_api.so "/usr/lib/libkorva_api.so.$version" \
         /usr/include/korva_api.h /usr/lib/pkgconfig/korva_api.pc /usr/lib/cmake/korva_api/korva_apiConfig.cmake \
         /usr/bin/korva /usr/bin/korva_sim; do
  grep -qx "$f" "$work/contents" || fail "$f is not in the package"
done

echo "== apt-get install $(basename "$deb")"
case "$(package_state)" in
  "" | *not-installed) ;;
  *) echo "note: korva is installed already ($(dpkg-query -W -f='${Version}' korva)); it is replaced, then removed" ;;
esac
# --reinstall: an installation of the same version (an earlier run) is
# replaced by this build's package rather than kept.
"${APT[@]}" install --reinstall "$deb" >"$work/install.out" 2>&1 \
  || { cat "$work/install.out" >&2; fail "apt-get install failed"; }
[ "$(package_state)" = "install ok installed" ] || fail "korva is not installed: $(package_state)"
dpkg-query -L korva >"$work/files"
ldconfig -p | grep -q "libkorva_api.so.1 " || fail "the linker cache does not list libkorva_api.so.1"

echo "== the C example against the installed files"
unset PKG_CONFIG_PATH LD_LIBRARY_PATH
[ "$(pkg-config --modversion korva_api)" = "$version" ] || fail "pkg-config reports $(pkg-config --modversion korva_api)"
build_c_example "$src" "$cc" "$(pkg-config --variable=libdir korva_api)"
start_sim /usr/bin/korva_sim --pty "$work/ttyUSB0" --serial 4242
run_c_example "$work/ttyUSB0"
/usr/bin/korva info "$work/ttyUSB0" | grep "^serial    4242$" >/dev/null || fail "the installed korva info"

if [ -n "$venv_py" ] && [ -x "$venv_py" ]; then
  echo "== python-can's korva interface on the installed library"
  env -u KORVA_API_LIBRARY "$venv_py" - "$work/ttyUSB0" <<'PY' || fail "python-can on the installed library"
import sys
import can
from can_korva import _api
with can.Bus(interface="korva", channel=sys.argv[1], bitrate=250000) as bus:
    bus.send(can.Message(arbitration_id=0x2A, data=b"\x01\x02", is_extended_id=False))
print("loaded", _api.library()._name)
PY
  expect_event "rx S5"
  expect_event "rx t02A20102"
fi
stop_sim
echo "== removing the package"
remove_package
echo "== Debian package test passed"
