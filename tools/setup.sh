#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test and run, where they are missing.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev libncurses-dev tmux
          clang libclang-rt-14-dev libsocketcan-dev
          python3-can python3-venv python3-pip python3-setuptools pandoc
          socat) # a null modem of two pseudo-terminals, for the slcan tests
# The SocketCAN tests run in a small VM (../shared/socketcan-vm), which needs these on the host.
if [ "${CANCHECK_SETUP_VM:-1}" = 1 ]; then
    packages+=(qemu-system-x86 busybox-static can-utils)
fi
# The Windows build (MinGW-w64, GoogleTest's sources) and its run under Wine with Xvfb.
if [ "${CANCHECK_SETUP_WINDOWS:-1}" = 1 ]; then
    packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 googletest
               wine wine64 fonts-wine xvfb xauth imagemagick)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}" >&2
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: run as root (or with sudo) to install packages" >&2
        exit 1
    fi
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
