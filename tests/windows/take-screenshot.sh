#!/usr/bin/env bash
# Screenshot of can-check.exe under Wine on a private Xvfb display, in Wine's virtual desktop (which
# draws the title bar): connected on the virtual bus CAN1: after sending one frame, which can-dump.exe,
# another process on the same bus, must receive.
# Usage: tests/windows/take-screenshot.sh [BUILD-DIR] [OUTPUT.png]   (defaults: build-win doc/can-check-wine.png)
# Needs: wine, wine64, fonts-wine, xvfb, xauth, imagemagick.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=$(realpath "${1:-build-win}")/bin
output=$(realpath -m "${2:-doc/can-check-wine.png}")
readonly width=420 height=300

for file in can-check.exe rvcan32ce.dll can-dump.exe press-connect-and-send.exe; do
    if [ ! -f "$bin/$file" ]; then
        echo "take-screenshot: $bin/$file is missing; build first: cmake --build --preset windows" >&2
        exit 1
    fi
done
for tool in wine Xvfb wineserver import; do
    if ! command -v "$tool" >/dev/null; then
        echo "take-screenshot: $tool is missing; install wine wine64 fonts-wine xvfb imagemagick" >&2
        exit 1
    fi
done

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/can-check-shot.XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export RVCAN32CE_NAMESPACE=screenshot$$ # a private set of buses

displayFile=$(mktemp)
dumpLog=$(mktemp)
Xvfb -displayfd 3 -screen 0 ${width}x${height}x24 -nolisten tcp 3>"$displayFile" >/dev/null 2>&1 &
xvfb=$!
console=""
cleanup() {
    [ -n "$console" ] && kill "$console" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$WINEPREFIX" "$displayFile" "$dumpLog"
}
trap cleanup EXIT
for _ in $(seq 50); do
    [ -s "$displayFile" ] && break
    sleep 0.1
done
export DISPLAY=":$(cat "$displayFile")"

timeout 180 wineboot -i >/dev/null 2>&1
# Every program of the prefix in one virtual desktop, so that the helper finds the console's window.
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "${width}x${height}" /f >/dev/null 2>&1
wineserver -w # the desktop is made when the next session starts, now as a virtual one
cd "$bin"
timeout 60 wine ./can-dump.exe -n 1 CAN1: >"$dumpLog" 2>&1 &
dump=$!
wine ./can-check.exe >/dev/null 2>&1 &
console=$!
timeout 60 wine ./press-connect-and-send.exe
if ! timeout 30 tail --pid=$dump -f /dev/null; then
    echo "take-screenshot: can-dump received nothing on CAN1:" >&2
    exit 1
fi
echo "take-screenshot: can-dump saw: $(tr -d '\r' <"$dumpLog")"
sleep 2 # the console redraws after the send
mkdir -p "$(dirname "$output")"
import -window root "$output"
echo "take-screenshot: wrote $output"
