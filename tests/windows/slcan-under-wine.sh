#!/usr/bin/env bash
# The Windows build's slcan device on a COM port that Wine maps to a Linux pseudo-terminal, with the
# Linux build's tools at the other end of a null modem (two pseudo-terminals joined by socat):
# can-dump.exe prints what the Linux can-send writes, and the Linux can-dump prints what can-send.exe
# writes. Run by run-wine-tests.sh inside its Wine prefix. Usage: slcan-under-wine.sh WINDOWS-BIN-DIR
# LINUX-BIN-DIR
set -euo pipefail
windows=$1
linux=$2
: "${WINEPREFIX:?slcan-under-wine: run it inside a Wine prefix (run-wine-tests.sh makes one)}"
for program in can-send can-dump; do
    if [ ! -x "$linux/$program" ]; then
        echo "slcan-under-wine: $linux/$program is missing; build the Linux tools first:" \
            "cmake --preset default && cmake --build --preset default" >&2
        exit 1
    fi
done
if ! command -v socat >/dev/null; then
    echo "slcan-under-wine: socat is missing (bash tools/setup.sh installs it)" >&2
    exit 1
fi
work=$(mktemp -d)
export RVCAN32CE_NAMESPACE=wine-slcan-$$
socat=
com=$WINEPREFIX/dosdevices/com5
cleanup() {
    if [ -n "$socat" ]; then
        kill "$socat" 2>/dev/null || true
        wait "$socat" 2>/dev/null || true # ended by the signal: not this test's status
    fi
    rm -f "$com"
    rm -rf "$work"
}
trap cleanup EXIT

socat pty,raw,echo=0,link="$work/windows" pty,raw,echo=0,link="$work/linux" &
socat=$!
for _ in $(seq 100); do
    [ -e "$work/windows" ] && [ -e "$work/linux" ] && break
    sleep 0.1
done
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$(readlink -f "$work/windows")" "$com" # Wine's COM5 is the pseudo-terminal
linuxPort=slcan:$work/linux
failed=0

# Linux → Windows: sent until can-dump.exe, which needs a while to start under Wine, has two.
(cd "$windows" && RVCAN32CE_CAN1=slcan:COM5 timeout 120 wine ./can-dump.exe -n 2 CAN1: >"$work/dump.exe.out" 2>&1) &
dump=$!
while kill -0 "$dump" 2>/dev/null; do
    RVCAN32CE_CAN1=$linuxPort "$linux/can-send" CAN1: 1ABCDEF0#A1B2C3 2>/dev/null || true
    sleep 0.2
done
wait "$dump" || true
expected="  CAN1:  1ABCDEF0   [3]  A1 B2 C3"
if [ "$(tr -d '\r' <"$work/dump.exe.out")" != "$(printf '%s\n%s' "$expected" "$expected")" ]; then
    echo "slcan-under-wine: can-dump.exe printed, instead of two lines '$expected':" >&2
    cat "$work/dump.exe.out" >&2
    failed=1
fi

# Windows → Linux: can-send.exe sends for up to 10 s; the Linux can-dump takes the first.
RVCAN32CE_CAN1=$linuxPort timeout 120 "$linux/can-dump" -n 1 CAN1: >"$work/dump.out" 2>&1 &
dump=$!
sleep 0.5
(cd "$windows" && RVCAN32CE_CAN1=slcan:COM5 timeout 120 wine ./can-send.exe -n 50 -g 200 CAN1: 123#R2 \
    >"$work/send.exe.out" 2>&1) &
send=$!
wait "$dump" || true
kill "$send" 2>/dev/null || true
wait "$send" 2>/dev/null || true
if [ "$(cat "$work/dump.out")" != "  CAN1:  123   [2]  remote request" ]; then
    echo "slcan-under-wine: the Linux can-dump printed, instead of '  CAN1:  123   [2]  remote request':" >&2
    cat "$work/dump.out" "$work/send.exe.out" >&2
    failed=1
fi
[ "$failed" -eq 0 ] && echo "slcan-under-wine: frames went both ways"
exit "$failed"
