#!/usr/bin/env bash
# deb_package.sh SOURCE_DIR CC
#
# Builds the Debian packages of the tree (scripts/debian_packages.sh:
# dpkg-buildpackage in a scratch copy), checks them with lintian (no errors,
# no warnings), installs them on this machine with apt-get, builds
# examples/c against the installed files through pkg-config, runs it and
# the installed tools against the installed simulator, and python-can's
# "korva" interface with the system's python3; then purges the packages and
# checks that nothing of them is left.
#
# Needs root, or sudo without a password; otherwise it is skipped (exit 77).
set -euo pipefail
src=$1 cc=$2
packages=(libkorva-api1 libkorva-api-dev korva-tools python3-can-korva)

if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  SUDO=(sudo -n)
else
  echo "SKIP: installing Debian packages needs root or sudo without a password"
  exit 77
fi
APT=("${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300)

# One run at a time on this machine (two checkouts tested at once would
# install and purge the same packages under each other).
lockfile=/tmp/korva-deb-package.lock
[ -e "$lockfile" ] || : >"$lockfile"
exec {lock}<"$lockfile"  # read-only: whoever made the file, every user can lock it
flock -w 1200 "$lock" || { echo "FAIL: another run of this test holds $lockfile" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/korva-deb-XXXXXX")
chmod 755 "$work"  # apt reads the packages as its own unprivileged user
fail() { echo "FAIL: $*" >&2; exit 1; }
# shellcheck source-path=SCRIPTDIR source=example_on_sim.sh
. "$(dirname "$0")/example_on_sim.sh"

installed() { # the packages of ours that dpkg knows in any state
  local p
  for p in "${packages[@]}"; do
    case "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" in
      "" | *not-installed) ;;
      *) echo "$p" ;;
    esac
  done
}

# Purges the packages (also after a failed or partial installation) and
# checks that neither their files nor the linker cache entry remain.
remove_packages() {
  local present
  mapfile -t present < <(installed)
  [ ${#present[@]} -eq 0 ] && return 0
  "${APT[@]}" purge "${present[@]}" >"$work/remove.out" 2>&1 \
    || "${SUDO[@]}" dpkg --purge "${present[@]}" >>"$work/remove.out" 2>&1 \
    || { cat "$work/remove.out" >&2; fail "the packages cannot be removed"; }
  [ -z "$(installed)" ] || fail "still installed after removal: $(installed | tr '\n' ' ')"
  if [ -s "$work/files" ]; then
    while IFS= read -r f; do
      # Directories stay (the system's own; /lib may be a link to usr/lib).
      [ -d "$f" ] && continue
      [ -e "$f" ] || [ -L "$f" ] && fail "$f is left after removal"
    done <"$work/files"
  fi
  if ldconfig -p | grep -q "libkorva_api.so.1 "; then fail "the linker cache still lists libkorva_api.so.1"; fi
  return 0
}
cleanup() {
  local rc=$?
  stop_sim
  remove_packages || rc=1
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT

echo "== dpkg-buildpackage"
"$src/scripts/debian_packages.sh" "$work/pkg" "$src" >/dev/null || fail "the packages were not built"
debs=()
for p in "${packages[@]}"; do
  deb=$(find "$work/pkg" -maxdepth 1 -name "${p}_*.deb")
  [ -n "$deb" ] || fail "no package $p: $(ls "$work/pkg")"
  debs+=("$deb")
  dpkg-deb -f "$deb" Package Version Architecture Depends
  dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >>"$work/contents"
done
version=$(dpkg-deb -f "${debs[0]}" Version)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=/usr/lib/$multiarch
for f in "$lib/libkorva_api.so.1" "$lib/libkorva_api.so.$version" /usr/share/doc/libkorva-api1/copyright \
         "$lib/libkorva_api.so" /usr/include/korva_api.h "$lib/pkgconfig/korva_api.pc" \
         "$lib/cmake/korva_api/korva_apiConfig.cmake" /usr/bin/korva /usr/bin/korva_sim \
         /usr/share/man/man1/korva.1.gz /usr/share/man/man1/korva-info.1.gz /usr/share/man/man1/korva_sim.1.gz \
         /usr/share/doc/python3-can-korva/copyright; do
  grep -qx "$f" "$work/contents" || fail "$f is in no package"
done
grep -q '^/usr/lib/python3/dist-packages/can_korva/bus\.py$' "$work/contents" || fail "the python module is in no package"
dpkg-deb -f "$(find "$work/pkg" -name 'korva-tools_*.deb')" Depends | grep -q "libkorva-api1" \
  || fail "korva-tools does not depend on libkorva-api1"

echo "== lintian"
lintian --fail-on error,warning "$work"/pkg/*.changes || fail "lintian reports errors or warnings (above)"

echo "== apt-get install ${debs[*]##*/}"
if [ -n "$(installed)" ]; then
  echo "note: installed already: $(installed | tr '\n' ' '); replaced, then removed"
fi
# --reinstall: an installation of the same version (an earlier run) is
# replaced by this build's packages rather than kept.
"${APT[@]}" install --reinstall "${debs[@]}" >"$work/install.out" 2>&1 \
  || { cat "$work/install.out" >&2; fail "apt-get install failed"; }
[ "$(installed | wc -l)" -eq ${#packages[@]} ] || fail "not all installed: $(installed | tr '\n' ' ')"
for p in "${packages[@]}"; do dpkg-query -L "$p" >>"$work/files"; done
ldconfig -p | grep -q "libkorva_api.so.1 " || fail "the linker cache does not list libkorva_api.so.1"

echo "== the C example against the installed files"
unset PKG_CONFIG_PATH LD_LIBRARY_PATH
[ "$(pkg-config --modversion korva_api)" = "$version" ] || fail "pkg-config reports $(pkg-config --modversion korva_api)"
[ "$(pkg-config --variable=libdir korva_api)" = "$lib" ] || fail "pkg-config's libdir is $(pkg-config --variable=libdir korva_api)"
build_c_example "$src" "$cc" "$lib"
start_sim /usr/bin/korva_sim --pty "$work/ttyUSB0" --serial 4242
run_c_example "$work/ttyUSB0"
/usr/bin/korva info "$work/ttyUSB0" | grep "^serial    4242$" >/dev/null || fail "the installed korva info"

echo "== korva-serve@.service"
unit=$(dpkg-query -L korva-tools | grep '/systemd/system/korva-serve@\.service$') || fail "korva-tools has no korva-serve@.service"
[ -f /etc/default/korva-serve ] || fail "korva-tools has no /etc/default/korva-serve"
if command -v systemd-analyze >/dev/null; then
  # An instance as a user enables it; verify checks the unit's syntax and
  # its command (not its manual page: man may be missing).
  cp "$unit" "$work/korva-serve@ttyUSB0.service"
  systemd-analyze verify --man=no "$work/korva-serve@ttyUSB0.service" \
    || fail "systemd-analyze verify korva-serve@ttyUSB0.service"
else
  echo "note: no systemd-analyze: korva-serve@.service not verified"
fi

echo "== python-can's korva interface, system python3"
env -u KORVA_API_LIBRARY -u PYTHONPATH -u PYTHONHOME /usr/bin/python3 - "$work/ttyUSB0" <<'PY' \
  || fail "python-can on the installed packages"
import sys
import can
from can_korva import _api
with can.Bus(interface="korva", channel=sys.argv[1], bitrate=250000) as bus:
    bus.send(can.Message(arbitration_id=0x2A, data=b"\x01\x02", is_extended_id=False))
print("loaded", _api.library()._name, "from", _api.__file__)
PY
expect_event "rx S5"
expect_event "rx t02A20102"
stop_sim
echo "== removing the packages"
remove_packages
echo "== Debian package test passed"
