#!/usr/bin/env bash
# bus-no-room.sh BIN_DIR: opening a bus when the system has no room for it fails with a reason, never
# with a signal. In a mount and IPC namespace of its own (root only, else skipped with 77): a 256 KiB
# bus directory (XDG_RUNTIME_DIR) filled to the last block, then a System V segment limit (kernel.shmmax) and a total
# (kernel.shmall) too small for one bus; after each, the room is given back and the bus works.
set -euo pipefail
bin=$1
if [ "$(id -u)" != 0 ] || ! unshare -m -i true 2>/dev/null; then
    echo "bus-no-room: needs root and unshare -m -i; skipped"
    exit 77
fi

export RVCAN32CE_NAMESPACE=no-room-$$
exec unshare -m -i --propagation private bash -s "$bin" <<'INSIDE'
set -uo pipefail
bin=$1
failures=0
room=$(mktemp -d)
mount -t tmpfs -o size=256k,mode=700 tmpfs "$room"
export XDG_RUNTIME_DIR=$room

# refused WHAT EXPECTED: can-send must exit with 1 (not a signal) and say EXPECTED.
refused() {
    local text status
    text=$("$bin/can-send" CAN1: 123#11 2>&1)
    status=$?
    echo "bus-no-room: $1: exit $status: $text"
    if [ "$status" != 1 ] || [[ $text != *"$2"* ]]; then
        echo "bus-no-room: FAILED: $1 did not give exit 1 and \"$2\"" >&2
        failures=$((failures + 1))
    fi
}

works() {
    timeout 10 "$bin/can-dump" -n 1 CAN1: >/dev/null &
    local dump=$!
    sleep 0.3
    if ! "$bin/can-send" CAN1: 123#22 || ! wait "$dump"; then
        echo "bus-no-room: FAILED: the bus does not work once there is room again ($1)" >&2
        failures=$((failures + 1))
    fi
}

dd if=/dev/zero of="$room/filler" bs=4096 2>/dev/null
refused "bus directory full" "the file system of $room is full"
leftover=$(ls "$room" | grep -v '^filler$' || true)
if [ -n "$leftover" ]; then
    echo "bus-no-room: FAILED: a failed open left $leftover in $room" >&2
    failures=$((failures + 1))
fi
rm "$room/filler"
works "after the bus directory was full"

echo 4096 >/proc/sys/kernel/shmmax
refused "kernel.shmmax 4096" "kernel.shmmax"
echo 18446744073692774399 >/proc/sys/kernel/shmmax
echo 16 >/proc/sys/kernel/shmall
refused "kernel.shmall 16 pages" "limits are used up"
echo 18446744073692774399 >/proc/sys/kernel/shmall
works "after the limits"

[ "$(ls "$room")" = "" ] || { echo "bus-no-room: FAILED: left $(ls "$room")" >&2; failures=$((failures + 1)); }
umount "$room"
rmdir "$room"
[ "$failures" = 0 ] && echo "bus-no-room: passed"
exit $((failures != 0))
INSIDE
