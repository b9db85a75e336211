#!/bin/bash
# Benchmark (not a test): how many frames of a flood on vcan0 reach can-dump (our driver, "CAN1:"
# mapped to vcan0) and candump (can-utils), both listening during the same run, inside the SocketCAN
# VM (../shared/socketcan-vm). The flood is `cangen vcan0 -g 0 -n FRAMES` (default 200000).
#
#   bench/socketcan-vm.sh BUILD_DIR [FRAMES]
#
# The last two lines are `received_ratio_ours N` and `received_ratio_candump N`.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 BUILD_DIR [FRAMES]" >&2
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
set -eu
frames=$1
marker=1FFFFFFF
export RVCAN32CE_CAN1=vcan0
can-dump -d CAN1: >/tmp/ours.txt 2>/tmp/ours.err &
ours=$!
candump vcan0 >/tmp/candump.txt &
theirs=$!
tries=0
until grep -q $marker /tmp/ours.txt && grep -q $marker /tmp/candump.txt; do
    cansend vcan0 $marker#00
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { echo "the receivers never started" >&2; exit 1; }
    sleep 0.1
done
start=$(cut -d' ' -f1 /proc/uptime)
cangen vcan0 -g 0 -n "$frames"
end=$(cut -d' ' -f1 /proc/uptime)
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
awk -v n="$frames" -v s="$start" -v e="$end" 'BEGIN { printf "cangen: %d frames in %.2f s\n", n, e - s }'
cat /tmp/ours.err
echo "can-dump: $received_ours frames; candump: $received_candump frames"
awk -v n="$frames" -v o="$received_ours" -v c="$received_candump" \
    'BEGIN { printf "received_ratio_ours %.4f\nreceived_ratio_candump %.4f\n", o / n, c / n }'
GUEST
chmod +x "$payload/flood.sh"

status=0
"$vm" "$payload/flood.sh" "$payload" -- "$frames" | tee "$output" || status=$?
if [ $status -ne 0 ]; then
    echo "socketcan-vm.sh: the VM run failed with status $status" >&2
    exit $status
fi
grep -E '^received_ratio_(ours|candump) ' "$output"
