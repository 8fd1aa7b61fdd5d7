#!/usr/bin/env bash
# fresh_root.sh CACHE_DIR SOURCE_DIR
#
# The README's first commands on a fresh machine: makes a minimal Debian
# root with debootstrap (--variant=minbase, the release and mirror of this
# machine's apt sources), clones SOURCE_DIR's committed HEAD into it and,
# as root in that root,
#   - runs scripts/demo.sh, which must report every frame through;
#   - runs the README's build and install commands (cmake -S . -B build, ...),
#     which must say what they leave out without iniparser and GoogleTest;
#   - builds examples/c against the installed files through pkg-config and
#     runs it against the installed simulator.
# The unpacked root and the packages apt fetched are kept in CACHE_DIR as
# tarballs, so later runs need no debootstrap and no downloads (apt still
# reads the package lists).
#
# The root runs in a mount and PID namespace of its own: /proc, /dev (with
# a private devpts for the simulator's pseudo-terminals) are mounted there
# only, so they vanish with the namespace whatever happens; no process
# outlives it.
#
# Exit status 77 (skipped, with one line saying why) without root, without
# namespaces, when the mirror cannot be reached, or with KORVA_FRESH_ROOT=0.
set -euo pipefail

# Everything is in functions, read whole before the first runs: the script
# may be edited while a run takes its minutes.

inside_namespaces() { # root
  # In the namespaces: pid 1 of a fresh PID namespace, with this root's
  # /proc already mounted by unshare.
  # Global: the trap runs after this function. The mounts end with the
  # namespace anyway; unmounting them first is tidier.
  root=$1
  [ -d "$root/dev" ] && [ -d "$root/proc" ] || exit 1
  trap 'umount -R "$root/dev" 2>/dev/null || true; umount "$root/proc" 2>/dev/null || true' EXIT
  mount -t tmpfs -o mode=755,nosuid tmpfs "$root/dev"
  for n in null zero full random urandom tty; do
    touch "$root/dev/$n"
    mount --bind "/dev/$n" "$root/dev/$n"
  done
  mkdir "$root/dev/pts" "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5 devpts "$root/dev/pts"
  ln -s pts/ptmx "$root/dev/ptmx"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/dev/shm"
  ln -s /proc/self/fd "$root/dev/fd"
  ln -s /proc/self/fd/0 "$root/dev/stdin"
  ln -s /proc/self/fd/1 "$root/dev/stdout"
  ln -s /proc/self/fd/2 "$root/dev/stderr"
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash /root/fresh-test/fresh_root.sh --steps
}

steps_in_root() {
  # In the chroot, as a new user would go.
  cd /root/korva
  work=/root/scratch
  mkdir -p "$work"
  fail() { echo "FAIL: fresh root: $*" >&2; exit 1; }
  # shellcheck source-path=SCRIPTDIR source=example_on_sim.sh
  . /root/fresh-test/example_on_sim.sh
  trap stop_sim EXIT

  echo "== fresh root: scripts/demo.sh (at ${SECONDS} s)"
  scripts/demo.sh >"$work/demo.out" 2>&1 || fail "scripts/demo.sh failed: $(tail -n 20 "$work/demo.out")"
  grep -E '^([0-9]+) of \1 frames went from A to B unchanged\.$' "$work/demo.out" \
    || fail "the demo did not report every frame through: $(tail -n 20 "$work/demo.out")"

  echo "== fresh root: the README's build and install (at ${SECONDS} s)"
  cmake -S . -B build >"$work/configure.out" 2>&1 || fail "cmake -S . -B build: $(tail -n 20 "$work/configure.out")"
  for package in libiniparser-dev libgtest-dev; do
    grep -q "not found (Debian package $package)" "$work/configure.out" \
      || fail "the configure does not say that $package is missing"
  done
  cmake --build build -j >"$work/build.out" 2>&1 || fail "cmake --build build -j: $(tail -n 30 "$work/build.out")"
  cmake --install build >"$work/install.out" || fail "cmake --install build"
  ldconfig
  version=$(sed -n 's/^project(korva VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
  [ "$(korva --version)" = "korva $version" ] || fail "korva --version says '$(korva --version)', not korva $version"

  echo "== fresh root: examples/c against the installed files (at ${SECONDS} s)"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pkg-config >"$work/apt.out" 2>&1 \
    || fail "apt-get install pkg-config: $(tail -n 5 "$work/apt.out")"
  cc -o "$work/korva_example" examples/c/korva_example.c $(pkg-config --cflags --libs korva_api) \
    || fail "the README's cc command for examples/c failed"
  build_c_example /root/korva cc /usr/local/lib
  start_sim korva_sim --pty "$work/ttyUSB0" --serial 4242
  run_c_example "$work/ttyUSB0"
  stop_sim
  echo "== fresh root: all steps passed (${SECONDS} s)"
}

main() { # CACHE_DIR SOURCE_DIR

  cache=$(mkdir -p "$1" && cd "$1" && pwd) src=$2
  skip() {
    echo "SKIPPED: fresh-root test: $*"
    exit 77
  }
  fail() {
    echo "FAIL: fresh-root test: $*" >&2
    exit 1
  }

  # The steps run the README's commands (as root, without sudo): it must
  # still give them.
  for command in "scripts/demo.sh" "cmake -S . -B build" "cmake --build build -j" "sudo cmake --install build" \
                 "sudo ldconfig" 'cc -o korva_example examples/c/korva_example.c $(pkg-config --cflags --libs korva_api)'; do
    grep -qxF "    $command" "$src/README.md" || fail "README.md no longer gives the command '$command'"
  done

  [ "${KORVA_FRESH_ROOT:-1}" != 0 ] || skip "KORVA_FRESH_ROOT=0"
  [ "$(id -u)" -eq 0 ] || skip "needs root (debootstrap, chroot, mounts)"
  command -v debootstrap >/dev/null || skip "debootstrap is not installed (Debian package debootstrap)"
  command -v git >/dev/null || skip "git is not installed"
  unshare --mount --pid --fork true 2>/dev/null || skip "this machine allows no mount and PID namespaces (unshare)"

  # "URI SUITE" of every deb source, one-line and deb822 files alike, in the
  # order apt reads them.
  apt_sources() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [ -f "$f" ] || continue
      awk '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ } print $i, $(i + 1) }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      awk 'BEGIN { RS = ""; FS = "\n" }
           { types = uris = suites = ""; enabled = "yes"
             for (i = 1; i <= NF; i++) {
               line = $i
               if (line ~ /^#/) continue
               key = tolower(substr(line, 1, index(line, ":") - 1)); val = substr(line, index(line, ":") + 1)
               if (key == "types") types = val; else if (key == "uris") uris = val
               else if (key == "suites") suites = val; else if (key == "enabled") enabled = val
             }
             if (enabled ~ /no/ || (" " types " ") !~ /[ \t]deb[ \t]/) next
             nu = split(uris, u, /[ \t]+/); ns = split(suites, s, /[ \t]+/)
             for (a = 1; a <= nu; a++) for (b = 1; b <= ns; b++) if (u[a] != "" && s[b] != "") print u[a], s[b] }' "$f"
    done
  }
  # This system's release, or else the first suite that is no update or
  # security suite.
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  source_line=$(apt_sources | awk -v c="$codename" '$2 == c { print; exit }')
  [ -n "$source_line" ] || source_line=$(apt_sources | awk '$2 !~ /[-\/]/ { print; exit }')
  [ -n "$source_line" ] || skip "no Debian release found in /etc/apt/sources.list or /etc/apt/sources.list.d"
  read -r mirror suite <<<"$source_line"
  mirror=${mirror%/}
  wget -q -T 20 -t 2 -O /dev/null "$mirror/dists/$suite/Release" || skip "cannot reach $mirror ($suite)"

  arch=$(dpkg --print-architecture)
  base=$cache/$suite-$arch-minbase.tar
  debs=$cache/$suite-$arch-debs.tar
  work=$(mktemp -d "$cache/run-XXXXXX")
  root=$work/root
  cleanup() {
    # Nothing may be mounted below the root when it is removed; the mounts
    # live in the namespace only, so this holds unless the system is odd.
    if grep -q " $root/" /proc/self/mountinfo; then
      echo "fresh_root.sh: something is still mounted below $root; not removing it" >&2
      return
    fi
    rm -rf "$work"
  }
  trap cleanup EXIT
  mkdir "$root"

  if [ -f "$base" ]; then
    echo "== fresh root: $suite from the cache $base"
    tar -C "$root" -xf "$base"
  else
    echo "== fresh root: debootstrap --variant=minbase $suite $mirror"
    debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 \
      || fail "debootstrap failed: $(tail -n 20 "$work/debootstrap.log")"
    tar -C "$root" -cf "$base.part" . && mv "$base.part" "$base"
  fi
  [ -f "$debs" ] && tar -C "$root/var/cache/apt/archives" -xf "$debs"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  git clone -q "$src" "$root/root/korva"
  # The steps are this script's, beside the clone.
  mkdir "$root/root/fresh-test"
  cp "$(dirname "$0")/fresh_root.sh" "$(dirname "$0")/example_on_sim.sh" "$root/root/fresh-test/"

  status=0
  unshare --mount --pid --kill-child --mount-proc="$root/proc" --propagation private \
    bash "$root/root/fresh-test/fresh_root.sh" --inside "$root" || status=$?

  # What apt fetched, for the next run.
  (cd "$root/var/cache/apt/archives" && ls ./*.deb >/dev/null 2>&1 && tar -cf "$debs.part" ./*.deb && mv "$debs.part" "$debs") || true
  [ $status -eq 0 ] || fail "a step in the fresh root failed (exit status $status)"
  echo "PASSED: fresh-root test ($suite from $mirror, ${SECONDS} s)"
}

case "${1:-}" in
  --inside) inside_namespaces "$2" ;;
  --steps) steps_in_root ;;
  *) main "$@" ;;
esac
