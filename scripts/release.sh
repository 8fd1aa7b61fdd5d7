#!/usr/bin/env bash
# release.sh - makes a release of the committed tree in dist/:
#   korva-VERSION.tar.gz         the source (git archive of HEAD)
#   *_VERSION_ARCH.deb, *_all.deb the Debian packages, built from that source
#   korva-VERSION-win32.zip      the 32-bit Windows archive (mingw-w64 build)
#   korva-VERSION-win64.zip      the 64-bit Windows archive
#   SHA256SUMS                   sha256sum of each of them
# Everything is built from the source tarball in a scratch directory, so the
# release is exactly the commit it names.  Refuses to run on a tree with
# uncommitted changes.  Needs what scripts/check.sh installs.
#
#   scripts/release.sh           JOBS=N for parallel builds (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}
die() { echo "release.sh: $*" >&2; exit 1; }

git rev-parse --is-inside-work-tree >/dev/null 2>&1 || die "$root is not a git checkout"
if [ -n "$(git status --porcelain --untracked-files=normal)" ]; then
  git status --short >&2
  die "the tree has uncommitted changes (above): commit or stash them; a release is made from a commit"
fi
version=$(sed -n 's/^project(korva VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || die "no version in CMakeLists.txt"
deb_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
py_version=$(sed -n 's/^version = "\(.*\)"$/\1/p' python/pyproject.toml)
[ "$deb_version" = "$version" ] || die "debian/changelog says $deb_version, CMakeLists.txt $version"
[ "$py_version" = "$version" ] || die "python/pyproject.toml says $py_version, CMakeLists.txt $version"
commit=$(git rev-parse HEAD)
short=$(git rev-parse --short HEAD)

dist=$root/dist
rm -rf "$dist"
mkdir -p "$dist"
work=$(mktemp -d "${TMPDIR:-/tmp}/korva-release-XXXXXX")
trap 'rm -rf "$work"' EXIT
declare -A origin

echo "== source tarball of $short"
tarball=korva-$version.tar.gz
git archive --format=tar.gz --prefix="korva-$version/" -o "$dist/$tarball" HEAD
origin[$tarball]="git archive of commit $commit"
tar -C "$work" -xzf "$dist/$tarball"
src=$work/korva-$version

echo "== Debian packages (dpkg-buildpackage)"
"$src/scripts/debian_packages.sh" "$work/debs" "$src" >/dev/null
echo "== lintian"
lintian --fail-on error,warning "$work"/debs/*.changes || die "lintian reports errors or warnings (above)"
for deb in "$work"/debs/*.deb; do
  cp "$deb" "$dist/"
  origin[$(basename "$deb")]="dpkg-buildpackage -us -uc -b of the source tarball (debian/), package $(dpkg-deb -f "$deb" Package)"
done

for flavour in win32 win64; do
  case $flavour in
    win32) toolchain=mingw-w64-i686.cmake ;;
    win64) toolchain=mingw-w64-x86_64.cmake ;;
  esac
  echo "== Windows archive $flavour (mingw-w64, $toolchain)"
  cmake -S "$src" -B "$work/build-$flavour" -DCMAKE_BUILD_TYPE=Release -DKORVA_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/$toolchain" >"$work/$flavour.log" 2>&1 \
    && cmake --build "$work/build-$flavour" -j "$jobs" >>"$work/$flavour.log" 2>&1 \
    && (cd "$work/build-$flavour" && cpack -B "$work/zip-$flavour" >>"$work/$flavour.log" 2>&1) \
    || { tail -n 40 "$work/$flavour.log" >&2; die "the $flavour build failed (log above)"; }
  zip=korva-$version-$flavour.zip
  [ -f "$work/zip-$flavour/$zip" ] || die "cpack made no $zip"
  cp "$work/zip-$flavour/$zip" "$dist/"
  origin[$zip]="cpack ZIP of a Release build with cmake/$toolchain of the source tarball"
done

(cd "$dist" && sha256sum -- * >SHA256SUMS)
origin[SHA256SUMS]="sha256sum of the files above"

echo
echo "korva $version, commit $commit, in $dist:"
for f in $(cd "$dist" && ls); do
  printf '  %-40s %9s bytes  %s\n' "$f" "$(stat -c %s "$dist/$f")" "${origin[$f]:-?}"
done
