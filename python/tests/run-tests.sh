#!/bin/bash
# Installs the rvcan package into a venv under the build folder and runs its tests against the
# build's driver library. Usage: run-tests.sh BUILD_DIR
# The venv is made from Debian's interpreter, which has python3-can; the package is installed
# without network (no index, no build isolation, no dependencies).
set -euo pipefail

build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
venv="$build/python/venv"
python=${RVCAN_PYTHON:-/usr/bin/python3}

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv --system-site-packages "$venv"
fi
# As the README installs it, with this build's driver beside the package.
RVCAN_DRIVER="$build/bin/librvcan32ce.so" \
    "$venv/bin/pip" install --quiet --no-index --no-build-isolation --no-deps "$here/.."

export RVCAN_LIBRARY="$build/bin/librvcan32ce.so"
export RVCAN_TOOLS="$build/bin"
export RVCAN32CE_NAMESPACE="python-tests-$$"
exec "$venv/bin/python" -m unittest discover -s "$here" -v
