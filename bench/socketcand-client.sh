#!/usr/bin/env bash
# The driver's socketcand client at a saturated bus: can-send floods virtual bus CAN1 at 1000 kbit/s
# (wire timing on) with FRAMES 0-byte frames while two can-dump -d count them, one on CAN1 itself and
# one on CAN2:, mapped through can-serve to the same bus (RVCAN32CE_CAN2=socketcand://...). Prints
# both counts; every frame should reach the remote one.
# Usage: bench/socketcand-client.sh [BUILD-DIR [FRAMES]]   (defaults: build, 200000)
set -euo pipefail
bin=$(realpath "${1:-build}")/bin
frames=${2:-200000}
work=$(mktemp -d)
export RVCAN32CE_NAMESPACE=socketcand-bench-$$
"$bin/can-serve" -n -p 0 -b 1000 CAN1 >"$work/serve.out" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; rm -rf "$work"' EXIT
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^can-serve: listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$work/serve.out")
    [ -n "$port" ] && break
    sleep 0.1
done
RVCAN32CE_CAN2=socketcand://127.0.0.1:$port/CAN1 "$bin/can-dump" -b 1000 -d -n "$frames" CAN2 \
    >/dev/null 2>"$work/remote.err" &
remote=$!
"$bin/can-dump" -b 1000 -d -n "$frames" CAN1 >/dev/null 2>"$work/local.err" &
local=$!
sleep 1
start=$(date +%s%N)
"$bin/can-send" -b 1000 -n "$frames" -g 0 CAN1 000#
end=$(date +%s%N)
# A dump that missed frames never reaches FRAMES: it gets 10 s more, then Ctrl+C makes it report.
for dump in $remote $local; do
    for _ in $(seq 100); do
        kill -0 "$dump" 2>/dev/null || break
        sleep 0.1
    done
done
kill -INT "$remote" "$local" 2>/dev/null || true
wait "$remote" "$local" || true
echo "sent $frames frames in $(( (end - start) / 1000000 )) ms"
echo "on the bus:         $(cat "$work/local.err")"
echo "through socketcand: $(cat "$work/remote.err")"
