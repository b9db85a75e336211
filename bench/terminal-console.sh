#!/usr/bin/env bash
# The console as an operator runs it: can-check in an 80x24 terminal (tmux), connected at 1000 kbit/s
# with wire timing on, while can-send keeps the bus saturated with 0-byte frames. Prints the
# console's processor time over SECONDS, in all and per thread. bench-receive measures the same
# without a terminal, with the frames lost and the lag; this adds the drawing.
# Usage: bench/terminal-console.sh [BUILD-DIR [SECONDS]]   (defaults: build, 20)
set -euo pipefail
bin=$(realpath "${1:-build}")/bin
seconds=${2:-20}
socket=terminal-console-bench-$$
export RVCAN32CE_NAMESPACE=$socket LC_ALL=C.UTF-8
tmuxc() { tmux -L "$socket" -f /dev/null "$@"; }
screen() { tmuxc capture-pane -p -t console; }
sender=
cleanup() {
    if [ -n "$sender" ]; then kill "$sender" 2>/dev/null || true; fi
    tmuxc kill-server 2>/dev/null || true
}
trap cleanup EXIT
ticks() { awk '{ print $14 + $15 }' "$1/stat"; }

tmuxc new-session -d -s console -x 80 -y 24 "env -u LD_LIBRARY_PATH '$bin/can-check'"
for _ in $(seq 50); do screen | grep -q "CAN - Check" && break; sleep 0.1; done
# From Cancel: Tab to the bit-rate list, four times Down from 125 to 1000, Tab to Open, Space.
tmuxc send-keys -t console Tab
for _ in 1 2 3 4; do tmuxc send-keys -t console Down; done
tmuxc send-keys -t console Tab Space
for _ in $(seq 50); do screen | grep -q "Close" && break; sleep 0.1; done
if ! screen | grep -q "1000" || ! screen | grep -q "Close"; then
    echo "terminal-console: the console did not connect at 1000 kbit/s:" >&2
    screen >&2
    exit 1
fi
console=$(tmuxc list-panes -t console -F '#{pane_pid}')

frames=$(((seconds + 4) * 21000)) # more than the bus carries meanwhile
"$bin/can-send" -b 1000 -n "$frames" CAN1: 123# >/dev/null 2>&1 &
sender=$!
sleep 2
declare -A before
for task in /proc/"$console"/task/*; do before[$task]=$(ticks "$task"); done
start=$(date +%s%N)
total=$(ticks /proc/"$console")
sleep "$seconds"
total=$(($(ticks /proc/"$console") - total))
elapsed=$((($(date +%s%N) - start) / 1000000))
threads=""
for task in /proc/"$console"/task/*; do
    threads="$threads $(($(ticks "$task") - ${before[$task]:-0}))"
done
hz=$(getconf CLK_TCK)
echo "console_cpu_percent $(awk -v t="$total" -v hz="$hz" -v ms="$elapsed" 'BEGIN { printf "%.1f", t / hz * 100000 / ms }')"
echo "thread_ticks$threads (of $hz a second)"
