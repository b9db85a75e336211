#!/usr/bin/env bash
# Installs what is missing, builds with the default preset and starts can-check in this terminal, on
# the virtual CAN bus of the stand-in driver built beside it.
set -euo pipefail
cd "$(dirname "$0")/.."

# Running the console needs neither the Windows build's packages nor the SocketCAN test VM's.
export CANCHECK_SETUP_WINDOWS=0 CANCHECK_SETUP_VM=0
# setup.sh fails only when packages are missing and it may not install them: then ask sudo.
if ! bash tools/setup.sh; then
    if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null; then
        sudo --preserve-env=CANCHECK_SETUP_WINDOWS,CANCHECK_SETUP_VM bash tools/setup.sh
    else
        exit 1
    fi
fi
cmake --preset default >/dev/null
cmake --build --preset default --target can-check rvcan32ce can-dump can-send can-play can-serve can-fault man-pages
exec build/bin/can-check
