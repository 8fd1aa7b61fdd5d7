#!/bin/sh
# wow64_prefix.sh DIR - makes (once) a wine prefix that runs 32-bit Windows
# programs in wine's WoW64 mode, inside the 64-bit wine process, without
# wine32.  Debian's wine64 has that mode but not wine's 32-bit Windows
# DLLs; those are taken from the libwine:i386 package of the installed
# wine's version, unpacked under DIR and never installed:
#
#   DIR/libwine-VERSION/   the package's i386-windows folder
#   DIR/dlls/              WINEDLLPATH: i386-windows -> that folder,
#                          x86_64-unix -> the installed wine's (wine looks
#                          for the unix side of a DLL beside its folder)
#   DIR/prefix/            WINEPREFIX, made with that WINEDLLPATH, its
#                          drive_c/windows/syswow64 filled
#
# The package index for i386 is read into DIR/apt, so the machine's apt
# configuration is left as it is.  Exit status 0: the prefix runs 32-bit
# programs.  77: it cannot be made here; DIR/unavailable then holds the
# one line that says why, which is also printed.  A result is kept until
# the installed wine changes (a refusal until the next boot as well).
set -u
DIR=$1
mkdir -p "$DIR" || exit 1
DIR=$(cd "$DIR" && pwd)
LOADER=/usr/lib/wine/wine64
[ -x "$LOADER" ] || LOADER=$(command -v wine64 || true)
UNIX_DLLS=/usr/lib/x86_64-linux-gnu/wine/x86_64-unix
VERSION=$(dpkg-query -W -f='${Version}' libwine:amd64 2>/dev/null || true)
BOOT=$(cat /proc/sys/kernel/random/boot_id 2>/dev/null || true)
STAMP="$DIR/stamp"
export WINEPREFIX="$DIR/prefix" WINEDLLPATH="$DIR/dlls" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

unavailable() {
  line="korva: the 32-bit Windows programs are NOT run under wine's WoW64 mode: $*"
  echo "$line" >"$DIR/unavailable"
  echo "refused $VERSION $BOOT" >"$STAMP"
  echo "$line"
  exit 77
}

# A 32-bit program of wine's own (the command interpreter) runs and answers.
runs_32bit() {
  out=$(timeout 120 "$LOADER" 'C:\windows\syswow64\cmd.exe' /c echo korva-wow64 2>/dev/null)
  timeout 60 wineserver -w 2>/dev/null
  case "$out" in *korva-wow64*) return 0 ;; esac
  return 1
}

case "$(cat "$STAMP" 2>/dev/null)" in
  "ok $VERSION") [ -d "$WINEPREFIX/dosdevices" ] && exit 0 ;;
  "refused $VERSION $BOOT") cat "$DIR/unavailable"; exit 77 ;;
esac
rm -f "$DIR/unavailable" "$STAMP"

[ -n "$LOADER" ] && [ -x "$LOADER" ] || unavailable "no 64-bit wine loader (package wine64)"
# WoW64 runs 32-bit code by a far jump to the kernel's 32-bit user code
# segment (selector 0x23); a kernel whose 32-bit emulation is switched off
# faults there.  A 64-bit program that jumps there and back tells, before
# anything is fetched (where binutils are at hand).
probe="$DIR/probe32"
if printf '%s\n' '_start: pushq $0x23' 'leaq code32(%rip), %rax' 'pushq %rax' 'lretq' '.code32' \
     'code32: ljmp $0x33, $back' '.code64' 'back: movl $60, %eax' 'xorl %edi, %edi' 'syscall' '.globl _start' |
     as -o "$probe.o" - 2>/dev/null && ld -o "$probe" "$probe.o" 2>/dev/null; then
  ("$probe"; exit $?) 2>/dev/null # the subshell reports the fault, to nowhere
  rc=$?
  rm -f "$probe" "$probe.o"
  [ $rc -eq 0 ] || unavailable "this kernel refuses 32-bit code (a jump to its 32-bit code segment faults: 32-bit emulation is switched off)"
fi

[ -n "$VERSION" ] || unavailable "libwine:amd64 is not installed (package wine64)"
[ -d "$UNIX_DLLS" ] || unavailable "$UNIX_DLLS is missing"

PE="$DIR/libwine-$VERSION/usr/lib/i386-linux-gnu/wine/i386-windows"
if [ ! -f "$PE/ntdll.dll" ]; then
  echo "korva: fetching libwine:i386=$VERSION for wine's 32-bit Windows DLLs (not installed)"
  rm -rf "$DIR/libwine-"* "$DIR/deb"
  mkdir -p "$DIR/deb" "$DIR/apt/lists/partial" "$DIR/apt/cache/archives/partial"
  # The machine's own index first (where i386 is configured), else an
  # index of i386 packages of its own, from the machine's sources.
  (cd "$DIR/deb" && apt-get download "libwine:i386=$VERSION") >"$DIR/apt.log" 2>&1
  if ! ls "$DIR"/deb/libwine_*_i386.deb >/dev/null 2>&1; then
    set -- -o Dir::State::Lists="$DIR/apt/lists" -o Dir::Cache="$DIR/apt/cache" -o Debug::NoLocking=1 \
           -o APT::Architecture=i386 -o APT::Architectures::=i386 -o Acquire::Languages=none
    [ "$(id -u)" -eq 0 ] && set -- "$@" -o APT::Sandbox::User=root
    # A source that fails to answer is not fatal: the package comes from one that does.
    apt-get "$@" update >>"$DIR/apt.log" 2>&1
    (cd "$DIR/deb" && apt-get "$@" download "libwine:i386=$VERSION") >>"$DIR/apt.log" 2>&1
  fi
  deb=$(ls "$DIR"/deb/libwine_*_i386.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || unavailable "apt-get download libwine:i386=$VERSION failed (see $DIR/apt.log)"
  mkdir -p "$DIR/libwine-$VERSION"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$DIR/libwine-$VERSION" ./usr/lib/i386-linux-gnu/wine/i386-windows ||
    unavailable "cannot unpack $deb"
  rm -rf "$DIR/deb" "$DIR/apt"
  [ -f "$PE/ntdll.dll" ] || unavailable "$deb holds no i386-windows/ntdll.dll"
fi

mkdir -p "$WINEDLLPATH"
ln -sfn "$PE" "$WINEDLLPATH/i386-windows"
ln -sfn "$UNIX_DLLS" "$WINEDLLPATH/x86_64-unix"

rm -rf "$WINEPREFIX"
echo "korva: making the WoW64 wine prefix $WINEPREFIX"
timeout 300 "$LOADER" wineboot -i >"$DIR/wineboot.log" 2>&1
timeout 120 wineserver -w 2>/dev/null
if [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] || ! runs_32bit; then
  rm -rf "$WINEPREFIX"
  unavailable "wineboot could not fill syswow64 or run its 32-bit cmd.exe (see $DIR/wineboot.log)"
fi
echo "ok $VERSION" >"$STAMP"
echo "korva: WoW64 prefix ready (libwine:i386 $VERSION)"
