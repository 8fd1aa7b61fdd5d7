#!/usr/bin/env bash
# debian_packages.sh OUT_DIR [SOURCE_DIR]
#
# Builds the Debian packages of the tree (default: this checkout) with
# "dpkg-buildpackage -us -uc -b" in a scratch copy, so the tree stays
# clean, and moves the .deb files and the .buildinfo/.changes into OUT_DIR.
# Build dependencies: see Build-Depends in debian/control (check.sh
# installs them).  The packages' own files are listed on standard output.
set -euo pipefail
out=$1
src=$(cd "${2:-$(dirname "$0")/..}" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/korva-debs-XXXXXX")
trap 'rm -rf "$work"' EXIT
# The checkout's files, committed or not (ignored ones such as build
# directories left out); a tree without git (an unpacked source tarball) is
# copied as it is, without its build directories.
mkdir "$work/korva"
if git -C "$src" rev-parse --show-toplevel >/dev/null 2>&1 \
   && [ "$(git -C "$src" rev-parse --show-toplevel)" = "$src" ]; then
  (cd "$src" && git ls-files -z --cached --others --exclude-standard | xargs -0 sh -c \
     'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh | tar --null -T - -cf -) | tar -C "$work/korva" -xf -
else
  tar -C "$src" --exclude='./build*' --exclude=./dist --exclude=./obj-* -cf - . | tar -C "$work/korva" -xf -
fi

# The package build compiles the project once more; its tests are run by
# the test suite, not here.
export DEB_BUILD_OPTIONS="nocheck noautodbgsym parallel=2 ${DEB_BUILD_OPTIONS:-}"
# Debian's own tools (python3 above all), whatever PATH the caller has.
(cd "$work/korva" && PATH=/usr/sbin:/usr/bin:/sbin:/bin dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) || {
  tail -n 60 "$work/build.log" >&2
  echo "debian_packages.sh: dpkg-buildpackage failed (log above)" >&2
  exit 1
}
shopt -s nullglob
files=("$work"/*.deb "$work"/*.buildinfo "$work"/*.changes)
[ ${#files[@]} -gt 0 ] || { echo "debian_packages.sh: dpkg-buildpackage made no packages" >&2; exit 1; }
mv -f "${files[@]}" "$out/"
for f in "${files[@]}"; do echo "$out/$(basename "$f")"; done
