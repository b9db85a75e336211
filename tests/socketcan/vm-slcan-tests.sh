#!/bin/sh
# Inside the SocketCAN VM (see run-vm-tests.sh): our slcan device against two peers nobody here wrote.
# 1. can-utils' slcanpty on a pseudo-terminal, bridged to vcan0, is the adapter; cansend and candump on
#    vcan0 are the bus's other nodes.
# 2. The kernel's slcan, attached by slcand to one end of a null modem (socat), is the far host;
#    cansend and candump on slcan0.
# Frames go both ways in each, standard, extended and remote (slcanpty passes a remote frame's DLC on
# as 0, so the remote frame goes to the kernel's slcan only). Prints "slcan tests: passed" or what failed.
set -u
cd /extra/bin
export RVCAN32CE_NAMESPACE=vm-slcan
status=0
work=$(mktemp -d)
pids=""

# expect NAME FILE TEXT: FILE holds exactly TEXT.
expect() {
    if [ "$(cat "$2")" != "$3" ]; then
        echo "slcan: $1: expected '$3', got:"
        cat "$2"
        status=1
    fi
}

# A frame from the bus to our can-dump on CAN1: (mapped to $1), sent by cansend on $2 until it arrives.
to_ours() {
    RVCAN32CE_CAN1=$1 timeout 20 ./can-dump -b $3 -n 1 CAN1: >"$work/ours.out" 2>&1 &
    dump=$!
    for _ in $(seq 50); do
        kill -0 $dump 2>/dev/null || break
        cansend "$2" "$4"
        sleep 0.2
    done
    wait $dump
}

# A frame from our can-send on CAN1: (mapped to $1) to candump on $2.
from_ours() {
    timeout 20 candump -n 1 "$2" >"$work/theirs.out" 2>&1 &
    dump=$!
    sleep 0.3
    RVCAN32CE_CAN1=$1 ./can-send -b $3 CAN1: "$4" || status=1
    wait $dump
}

# 1. slcanpty as the adapter.
ls /dev/pts >"$work/before"
slcanpty /dev/ptmx vcan0 >/dev/null 2>&1 &
pids="$! $pids" # ended last started first
sleep 0.5
pty=/dev/pts/$(ls /dev/pts | grep -vxF -f "$work/before" | head -n 1)
exec 3<>"$pty" # slcanpty ends when the last opener of its terminal closes it: one stays open
to_ours "slcan:$pty" vcan0 500 1ABCDEF0#A1B2C3
expect "slcanpty to can-dump" "$work/ours.out" "  CAN1:  1ABCDEF0   [3]  A1 B2 C3"
from_ours "slcan:$pty" vcan0 500 123#
expect "can-send to slcanpty" "$work/theirs.out" "  vcan0  123   [0] "
from_ours "slcan:$pty" vcan0 500 7FF#0102030405060708
expect "can-send to slcanpty" "$work/theirs.out" "  vcan0  7FF   [8]  01 02 03 04 05 06 07 08"

# 2. The kernel's slcan at the far end of a null modem.
modprobe slcan 2>/dev/null
./socat pty,raw,echo=0,link="$work/kernel" pty,raw,echo=0,link="$work/ours" &
pids="$! $pids" # ended last started first
sleep 0.5
slcand -o -c -s8 -F "$(readlink -f "$work/kernel")" slcan0 &
pids="$! $pids" # ended last started first
sleep 0.5
ip link set slcan0 up
to_ours "slcan:$work/ours" slcan0 1000 321#CAFE
expect "slcan0 to can-dump" "$work/ours.out" "  CAN1:  321   [2]  CA FE"
from_ours "slcan:$work/ours" slcan0 1000 12345678#11.22
expect "can-send to slcan0" "$work/theirs.out" "  slcan0  12345678   [2]  11 22"
from_ours "slcan:$work/ours" slcan0 1000 12345678#R3
expect "can-send to slcan0" "$work/theirs.out" "  slcan0  12345678   [3]  remote request"

exec 3<&-
for pid in $pids; do kill "$pid" 2>/dev/null; done
rm -rf "$work"
echo "slcan tests: $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
