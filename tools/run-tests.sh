#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test: plain (with the SocketCAN tests in a VM),
# under AddressSanitizer with UndefinedBehaviorSanitizer, under ThreadSanitizer, the Windows build
# under Wine, and each fuzz target for a minute. With preset names as arguments, runs only those.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

presets=(default asan tsan)
if [ $# -gt 0 ]; then
    presets=("$@")
fi

for preset in "${presets[@]}"; do
    echo "=== build and test: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" -j2
    if [ "$preset" = default ]; then
        echo "=== SocketCAN tests in a VM"
        bash tests/socketcan/run-vm-tests.sh build
    fi
done

if [ $# -eq 0 ]; then
    echo "=== Windows: cross build, tests under Wine, screenshot"
    cmake --preset windows >/dev/null
    cmake --build --preset windows
    bash tests/windows/run-wine-tests.sh build-win
    bash tests/windows/take-screenshot.sh build-win build-win/can-check-wine.png

    echo "=== fuzz: each target for 60 s"
    bash tests/fuzz/run-fuzzers.sh build-fuzz 60
fi
