#!/bin/bash
# Runs the SocketCAN tests inside a small VM that has vcan0 and two emulated CAN controllers, can0 and
# can1 (../shared/socketcan-vm/run-in-vm.sh), for machines whose kernel has no SocketCAN: the port and
# bus-tool tests against can-utils (vm_port_test, vm_tools_test) and the console itself, headless, on vcan0
# (vm_console_test), then the driver, the bus tools and the console on the controllers, as root and
# as an ordinary user (vm_controller_test), and the slcan device against can-utils' slcanpty and the
# kernel's slcan (vm-slcan-tests.sh; socat makes its null modem). One VM boot runs them all.
#
#   tests/socketcan/run-vm-tests.sh BUILD_DIR
#
# BUILD_DIR is a configured and built tree (e.g. build); the VM programs are built here if missing.
# Exits with the VM's status: 0 when every test passed.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
repo=$(git -C "$here" rev-parse --show-toplevel)
vm="$repo/../shared/socketcan-vm/run-in-vm.sh"
if [ ! -x "$vm" ]; then
    echo "run-vm-tests.sh: $vm is missing: the shared folder must sit beside the clone" >&2
    exit 2
fi

cmake --build "$build" -j2 --target rvcan32ce can-send can-dump can-play can-serve vm_port_test \
    vm_console_test vm_controller_test vm_tools_test vm_serve_test >/dev/null

payload=$(mktemp -d /tmp/socketcan-tests.XXXXXX)
trap 'rm -rf "$payload"' EXIT
chmod 755 "$payload" # the unprivileged tests run programs from it
mkdir "$payload/bin"
# The driver sits beside each program, where LoadLibraryW looks first.
cp "$build/bin/librvcan32ce.so" "$build/bin/can-send" "$build/bin/can-dump" "$build/bin/can-play" \
    "$build/bin/can-serve" "$build/tests/socketcan-vm/vm_port_test" "$build/tests/socketcan-vm/vm_console_test" \
    "$build/tests/socketcan-vm/vm_controller_test" "$build/tests/socketcan-vm/vm_tools_test" \
    "$build/tests/socketcan-vm/vm_serve_test" "$(command -v setpriv)" "$(command -v socat)" "$payload/bin/"
cp "$here/vm-tests.sh" "$here/vm-slcan-tests.sh" "$payload/"

SOCKETCAN_VM_CAN_CONTROLLERS=2 SOCKETCAN_VM_TIMEOUT=${SOCKETCAN_VM_TIMEOUT:-300} "$vm" "$payload/vm-tests.sh" "$payload"
