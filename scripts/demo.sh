#!/usr/bin/env bash
# Builds korva (library, tools, simulated adapter) and runs the demo: two
# simulated adapters on one virtual bus, frames sent through one with the
# library and received through the other.  Installs missing build packages
# with apt-get first.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

missing=()
for p in cmake make g++; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$ROOT" -B "$ROOT/build-demo" -DKORVA_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$ROOT/build-demo" -j "$(nproc)" --target korva korva_sim >/dev/null
exec "$ROOT/build-demo/tools/korva/korva" demo "$@"
