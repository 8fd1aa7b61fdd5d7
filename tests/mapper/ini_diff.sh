#!/usr/bin/env bash
# ini_diff.sh REAL OURS CASES [FILE...]: runs the two builds of ini_dump
# (Debian's iniparser and korva's reader) over every CASES/*.ini and each
# FILE with the keys of CASES/queries.txt, and fails when their answers
# differ, or when one writes a diagnostic and the other does not.
set -uo pipefail
real=$1 ours=$2 cases=$3
shift 3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failed=0 count=0
for ini in "$cases"/*.ini "$@"; do
  name=$(basename "$ini")
  count=$((count + 1))
  "$real" "$ini" "$cases/queries.txt" >"$out/real" 2>"$out/real.err"
  "$ours" "$ini" "$cases/queries.txt" >"$out/ours" 2>"$out/ours.err"
  real_diag=no ours_diag=no
  [ -s "$out/real.err" ] && real_diag=yes
  [ -s "$out/ours.err" ] && ours_diag=yes
  if ! diff -u --label "iniparser $name" --label "korva $name" "$out/real" "$out/ours"; then
    failed=$((failed + 1))
  elif [ "$real_diag" != "$ours_diag" ]; then
    echo "$name: diagnostic from iniparser: $real_diag, from korva: $ours_diag"
    failed=$((failed + 1))
  fi
done
[ "$count" -gt 0 ] || { echo "no cases in $cases"; exit 1; }
echo "ini files: $((count - failed)) alike, $failed differ"
[ "$failed" -eq 0 ]
