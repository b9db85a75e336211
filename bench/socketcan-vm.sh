#!/bin/bash
# Benchmark (not a test): how many frames of a flood on vcan0 reach can-dump (our driver, "CAN1:"
# mapped to vcan0) and candump (can-utils), both listening during the same run, inside the SocketCAN
# VM (../shared/socketcan-vm). The flood is `cangen vcan0 -g 0 -n FRAMES` (default 200000).
#
#   bench/socketcan-vm.sh [--controllers [BITRATE]] BUILD_DIR [FRAMES]
#
# --controllers runs on the VM's two emulated CAN controllers instead: both at BITRATE (default
# 500000) and up, `cangen can1 -g 0 -i -n FRAMES` floods can1 while both receivers listen on can0.
# can1's queue holds only 10 frames, so cangen goes on past ENOBUFS (-i) and the ratios are taken
# against the frames can1 actually sent (its tx_packets counter), not against FRAMES.
#
# The last two lines are `received_ratio_ours N` and `received_ratio_candump N`.
set -euo pipefail

mode=vcan
bitrate=500000
if [ "${1:-}" = --controllers ]; then
    mode=controllers
    shift
    if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
        bitrate=$1
        shift
    fi
fi
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 [--controllers [BITRATE]] BUILD_DIR [FRAMES]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
frames=${2:-200000}
repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
vm="$repo/../shared/socketcan-vm/run-in-vm.sh"

cmake --build "$build" -j2 --target rvcan32ce can-dump >/dev/null
payload=$(mktemp -d /tmp/socketcan-bench.XXXXXX)
output=$(mktemp /tmp/socketcan-bench-output.XXXXXX)
trap 'rm -rf "$payload" "$output"' EXIT
mkdir "$payload/bin"
cp "$build/bin/librvcan32ce.so" "$build/bin/can-dump" "$payload/bin/"

cat >"$payload/flood.sh" <<'GUEST'
#!/bin/sh
# In the VM: both receivers listen, a marker frame shows that they do, then cangen floods.
# vcan: everything on vcan0. controllers: the receivers on can0, the flood from can1.
set -eu
mode=$1
frames=$2
bitrate=$3
marker=1FFFFFFF
if [ "$mode" = controllers ]; then
    listen=can0
    flood=can1
    for controller in can0 can1; do
        ip link set $controller type can bitrate "$bitrate"
        ip link set $controller up
    done
    ignore_enobufs=-i
    # At any other rate the driver would take can0 down and set its own.
    rate_option="-b $((bitrate / 1000))"
else
    listen=vcan0
    flood=vcan0
    ignore_enobufs=
    rate_option=
fi
export RVCAN32CE_CAN1=$listen
can-dump $rate_option -d CAN1: >/tmp/ours.txt 2>/tmp/ours.err &
ours=$!
candump $listen >/tmp/candump.txt &
theirs=$!
tries=0
until grep -q $marker /tmp/ours.txt && grep -q $marker /tmp/candump.txt; do
    cansend $flood $marker#00
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { echo "the receivers never started" >&2; exit 1; }
    sleep 0.1
done
sent_before=$(cat /sys/class/net/$flood/statistics/tx_packets)
start=$(cut -d' ' -f1 /proc/uptime)
cangen $flood -g 0 $ignore_enobufs -n "$frames"
end=$(cut -d' ' -f1 /proc/uptime)
if [ "$mode" = controllers ]; then
    sleep 0.5 # the last frames in can1's queue
    sent=$(($(cat /sys/class/net/$flood/statistics/tx_packets) - sent_before))
    ip -s link show $flood
    # What can0 itself took off the bus: frames both receivers could at best see, and its overruns.
    ip -s -d link show $listen
    delivered=$(($(cat /sys/class/net/$listen/statistics/rx_packets) - $(cat /sys/class/net/$listen/statistics/rx_dropped)))
else
    sent=$frames
    delivered=
fi
# Let both readers empty their buffers: wait until neither file grows any more.
last=-1
while :; do
    sleep 0.5
    now=$(cat /tmp/ours.txt /tmp/candump.txt | wc -l)
    [ "$now" -ne "$last" ] || break
    last=$now
done
kill -INT $ours
kill $theirs
wait $ours || true
wait $theirs 2>/dev/null || true
received_ours=$(grep -vc $marker /tmp/ours.txt || true)
received_candump=$(grep -vc $marker /tmp/candump.txt || true)
awk -v n="$frames" -v t="$sent" -v s="$start" -v e="$end" \
    'BEGIN { printf "cangen: %d frames asked, %d sent in %.2f s\n", n, t, e - s }'
cat /tmp/ours.err
echo "can-dump: $received_ours frames; candump: $received_candump frames"
if [ -n "$delivered" ]; then
    # Markers included: they passed can0 too.
    echo "$listen passed $delivered frames (markers included) to its sockets"
    awk -v d="$delivered" -v o="$received_ours" -v c="$received_candump" -v m="$tries" \
        'BEGIN { printf "of those: ours %.4f, candump %.4f\n", o / (d - m), c / (d - m) }'
fi
awk -v n="$sent" -v o="$received_ours" -v c="$received_candump" \
    'BEGIN { printf "received_ratio_ours %.4f\nreceived_ratio_candump %.4f\n", o / n, c / n }'
GUEST
chmod +x "$payload/flood.sh"

if [ $mode = controllers ]; then
    export SOCKETCAN_VM_CAN_CONTROLLERS=2
fi
status=0
"$vm" "$payload/flood.sh" "$payload" -- "$mode" "$frames" "$bitrate" | tee "$output" || status=$?
if [ $status -ne 0 ]; then
    echo "socketcan-vm.sh: the VM run failed with status $status" >&2
    exit $status
fi
grep -E '^received_ratio_(ours|candump) ' "$output"
