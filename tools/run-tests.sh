#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test: plain, under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer.
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
    echo "=== fuzz: each target for 60 s"
    bash tests/fuzz/run-fuzzers.sh build-fuzz 60
fi
