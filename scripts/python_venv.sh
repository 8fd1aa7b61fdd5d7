#!/usr/bin/env bash
# python_venv.sh DIR
#
# Creates a virtual environment in DIR that sees Debian's python-can
# (--system-site-packages) and installs the python-can back-end of python/
# into it, offline: no package index is asked.  The package is built from a
# copy, so the source tree stays untouched.  Prints DIR/bin/python.
set -euo pipefail
dir=$1
src=$(cd "$(dirname "$0")/../python" && pwd)
rm -rf "$dir"
/usr/bin/python3 -m venv --system-site-packages "$dir"
cp -r "$src" "$dir/src"
"$dir/bin/python" -m pip install --quiet --no-build-isolation --no-index --disable-pip-version-check "$dir/src"
"$dir/bin/python" -c "import can.interfaces, sys; sys.exit('korva' not in can.interfaces.BACKENDS)" \
  || { echo "python_venv.sh: python-can does not see the korva interface" >&2; exit 1; }
echo "$dir/bin/python"
