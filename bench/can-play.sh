#!/bin/bash
# Benchmark (not a test): how late can-play puts the frames of a log on the bus against their recorded
# schedule, beside canplayer. The log has FRAMES frames (default 10000), 1 ms apart, 8-byte standard
# frames; each player runs RUNS times (default 3).
#
#   bench/can-play.sh BUILD_DIR [FRAMES] [RUNS]
#
# 1. Here, on the virtual bus CAN1: with wire timing at 1000 kbit/s: can-play's own report, the
#    largest lateness of a frame (the moment the driver took it, against its deadline).
# 2. In the SocketCAN VM (../shared/socketcan-vm) on vcan0: canplayer and can-play replay the same
#    log while candump -L records; a frame's lateness is its receive stamp against the schedule's
#    start plus its recorded offset, so both players are measured by the same clock in the same way.
#
# Prints per run `lateness_max_ms PLAYER RUN VALUE` (in the VM with the mean lateness and how many
# frames were more than 1 and 10 ms late), then `median` and `max` of the runs per player.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 3 ]; then
    echo "usage: $0 BUILD_DIR [FRAMES] [RUNS]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
frames=${2:-10000}
runs=${3:-3}
repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
vm="$repo/../shared/socketcan-vm/run-in-vm.sh"

cmake --build "$build" -j2 --target rvcan32ce can-play >/dev/null
work=$(mktemp -d /tmp/can-play-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cp "$build/bin/librvcan32ce.so" "$build/bin/can-play" "$work/bin/"

# The log: DEVICE is replaced per player.
awk -v n="$frames" 'BEGIN { for (i = 0; i < n; i++)
    printf "(%010d.%06d) DEVICE %03X#%016X\n", 1700000000 + int(i / 1000), (i % 1000) * 1000, i % 2048, i }' \
    >"$work/template.log"
sed 's/DEVICE/CAN1:/' "$work/template.log" >"$work/host.log"
sed 's/DEVICE/vcan0/' "$work/template.log" >"$work/vcan0.log"

summary() { # PLAYER: median and max of the runs' values
    sort -n | awk -v p="$1" '{ v[NR] = $1 } END { printf "median_ms %s %.3f\nmax_ms %s %.3f\n", p, v[int((NR + 1) / 2)], p, v[NR] }'
}

echo "== here: can-play on CAN1: at 1000 kbit/s, wire timing on"
for run in $(seq "$runs"); do
    report=$(RVCAN32CE_NAMESPACE=can-play-bench-$$ "$work/bin/can-play" -b 1000 -I "$work/host.log" 2>&1 >/dev/null)
    echo "$report" >&2
    value=$(echo "$report" | sed -n 's/.*went out \([0-9.]*\) ms after.*/\1/p')
    echo "lateness_max_ms can-play-here $run $value"
    echo "$value" >>"$work/here"
done
summary can-play-here <"$work/here"

cat >"$work/replay.sh" <<'GUEST'
#!/bin/sh
# In the VM: each player replays the log on vcan0 while candump records it.
set -eu
runs=$1
cd /extra
for run in $(seq "$runs"); do
    for player in canplayer can-play; do
        candump -L vcan0 >recorded.log &
        recorder=$!
        sleep 1
        if [ $player = canplayer ]; then canplayer -I vcan0.log; else can-play -I vcan0.log 2>/dev/null; fi
        sleep 0.5
        kill -INT $recorder
        wait $recorder || true
        # A frame's offset: its receive stamp minus the first frame's, minus its recorded offset. No
        # player sends before a deadline, so the smallest offset is the schedule's own start, and a
        # frame's lateness is its offset above that (the first frame may itself be late).
        awk -v p=$player -v r=$run '{ gsub(/[()]/, "", $1); t = $1 + 0
            if (NR == 1) first = t
            off[NR] = (t - first) - (NR - 1) * 0.001; if (NR == 1 || off[NR] < min) min = off[NR] }
            END { for (i = 1; i <= NR; i++) { late = off[i] - min; sum += late; if (late > max) max = late
                      if (late > 0.001) over1++; if (late > 0.010) over10++ }
                  printf "lateness_max_ms %s-vm %d %.3f (%d frames, mean %.3f ms, %d over 1 ms, %d over 10 ms)\n",
                      p, r, max * 1000, NR, sum / NR * 1000, over1, over10 }' recorded.log
    done
done
GUEST
chmod +x "$work/replay.sh"
echo "== in the VM: canplayer and can-play on vcan0, recorded by candump"
SOCKETCAN_VM_TIMEOUT=${SOCKETCAN_VM_TIMEOUT:-900} "$vm" "$work/replay.sh" "$work" -- "$runs" | tee "$work/vm.out"
for player in canplayer can-play; do
    awk -v p="$player-vm" '$1 == "lateness_max_ms" && $2 == p { print $4 }' "$work/vm.out" | summary "$player-vm"
done
