#!/usr/bin/env bash
# The Windows build's socketcand client against can-serve running as a Linux process on 127.0.0.1:
# can-dump.exe prints what the Linux can-send puts on the served bus, and the Linux can-dump prints
# what can-send.exe sends through the server. Run by run-wine-tests.sh inside its Wine prefix.
# Usage: socketcand-under-wine.sh WINDOWS-BIN-DIR LINUX-BIN-DIR
set -euo pipefail
windows=$1
linux=$2
for program in can-serve can-send can-dump; do
    if [ ! -x "$linux/$program" ]; then
        echo "socketcand-under-wine: $linux/$program is missing; build the Linux tools first:" \
            "cmake --preset default && cmake --build --preset default" >&2
        exit 1
    fi
done
work=$(mktemp -d)
export RVCAN32CE_NAMESPACE=wine-socketcand-$$ # buses of this test's own, for the Linux processes
server=
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$linux/can-serve" -n -p 0 CAN1 >"$work/serve.out" 2>&1 &
server=$!
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^can-serve: listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$work/serve.out")
    [ -n "$port" ] && break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "socketcand-under-wine: can-serve did not start:" >&2
    cat "$work/serve.out" >&2
    exit 1
fi
export RVCAN32CE_CAN1=socketcand://127.0.0.1:$port/CAN1 # for the Windows tools only
failed=0

# Linux → Windows: sent until can-dump.exe, which needs a while to start under Wine, has two.
(cd "$windows" && timeout 120 wine ./can-dump.exe -n 2 CAN1: >"$work/dump.exe.out" 2>&1) &
dump=$!
while kill -0 "$dump" 2>/dev/null; do
    env -u RVCAN32CE_CAN1 "$linux/can-send" CAN1: 1ABCDEF0#A1B2C3
    sleep 0.2
done
wait "$dump" || true
expected="  CAN1:  1ABCDEF0   [3]  A1 B2 C3"
if [ "$(tr -d '\r' <"$work/dump.exe.out")" != "$(printf '%s\n%s' "$expected" "$expected")" ]; then
    echo "socketcand-under-wine: can-dump.exe printed, instead of two lines '$expected':" >&2
    cat "$work/dump.exe.out" >&2
    failed=1
fi

# Windows → Linux: can-send.exe sends for up to 10 s; the Linux can-dump takes the first.
env -u RVCAN32CE_CAN1 timeout 120 "$linux/can-dump" -n 1 CAN1: >"$work/dump.out" 2>&1 &
dump=$!
sleep 0.5
(cd "$windows" && timeout 120 wine ./can-send.exe -n 50 -g 200 CAN1: 123#0102 >"$work/send.exe.out" 2>&1) &
send=$!
wait "$dump" || true
kill "$send" 2>/dev/null || true
wait "$send" 2>/dev/null || true
if [ "$(cat "$work/dump.out")" != "  CAN1:  123   [2]  01 02" ]; then
    echo "socketcand-under-wine: the Linux can-dump printed, instead of '  CAN1:  123   [2]  01 02':" >&2
    cat "$work/dump.out" "$work/send.exe.out" >&2
    failed=1
fi
[ "$failed" -eq 0 ] && echo "socketcand-under-wine: frames went both ways"
exit "$failed"
