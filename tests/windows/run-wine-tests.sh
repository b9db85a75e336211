#!/usr/bin/env bash
# Runs the Windows test programs of a MinGW build (cmake --preset windows) under Wine, in a fresh Wine
# prefix on a private Xvfb display. Usage: tests/windows/run-wine-tests.sh [BUILD-DIR]   (default build-win)
# The socketcand test also needs the Linux build's can-serve and tools: LINUX_BUILD (default build).
#
# Tests listed in tests/windows/known-differences.txt are not run; each is printed with its reason.
# Needs: wine, wine64, fonts-wine, xvfb, xauth.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$(realpath "${1:-build-win}")
tests=$build/wine-tests
known=$root/tests/windows/known-differences.txt

for tool in wine Xvfb wineserver; do
    if ! command -v "$tool" >/dev/null; then
        echo "run-wine-tests: $tool is missing; install wine wine64 fonts-wine xvfb" >&2
        exit 1
    fi
done
if [ ! -d "$tests" ]; then
    echo "run-wine-tests: $tests is missing; build first: cmake --preset windows && cmake --build --preset windows" >&2
    exit 1
fi

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/can-check-wine.XXXXXX)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko installer prompts in the fresh prefix

displayFile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$displayFile" >/dev/null 2>&1 &
xvfb=$!
cleanup() {
    wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
    rm -rf "$WINEPREFIX" "$displayFile"
}
trap cleanup EXIT
for _ in $(seq 50); do
    [ -s "$displayFile" ] && break
    sleep 0.1
done
export DISPLAY=":$(cat "$displayFile")"

echo "run-wine-tests: prefix $WINEPREFIX, display $DISPLAY"
timeout 180 wineboot -i >/dev/null 2>&1
# A fault outside a guarded block ends the process (the death test); no crash dialog may wait for a click.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
timeout 60 wineserver -w || true # the prefix's start-up processes gone, before the first test

# The gtest filter that leaves out the known differences of one program.
exclusions() {
    local program=$1
    grep -v '^#' "$known" | awk -v p="$program" '$1 == p { print $2 }' | paste -sd: -
}

# Where every thread of the hung PROGRAM (the wine process PID) is: each Linux thread's state, kernel
# wait and system call, then each Windows thread's backtrace from winedbg (the build has DWARF 4 for it).
show_threads() {
    local pid=$1 program=$2 task windowsPid
    echo "run-wine-tests: the threads of $program: task, state, kernel wait (wchan), system call (number):"
    for task in /proc/"$pid"/task/*; do
        echo "  ${task##*/} $(sed 's/.*) //' "$task/stat" | cut -d' ' -f1) $(cat "$task/wchan")" \
            "$(cut -d' ' -f1 "$task/syscall")"
    done 2>/dev/null
    windowsPid=$(timeout 30 winedbg --command "info process" 2>/dev/null |
        awk -v p="'$program.exe'" '$NF == p { print $1; exit }') || true
    [ -n "$windowsPid" ] || return 0
    echo "run-wine-tests: their Windows backtraces (process 0x$windowsPid):"
    printf 'attach 0x%s\nbacktrace all\ndetach\n' "$windowsPid" >"$WINEPREFIX/hung.winedbg"
    # "backtrace all" goes through every process of the prefix; only the hung one's threads are kept.
    timeout 120 winedbg --file "$WINEPREFIX/hung.winedbg" 2>&1 |
        awk -v p="$windowsPid" 'BEGIN { sub(/^0+/, "", p) }
            $1 == "Backtracing" { id = $7; sub(/^0+/, "", id); mine = (id == p) } mine' | head -n 400 || true
}

failed=()
run() {
    local program=$1 dir=$2 limit=$3
    local excluded
    excluded=$(exclusions "$program")
    grep -v '^#' "$known" | awk -v p="$program" '$1 == p { $1 = ""; print "KNOWN DIFFERENCE, not run:" $0 }'
    echo "=== $program (under Wine, at most ${limit}s)"
    (cd "$tests/$dir" && exec wine "./$program.exe" ${excluded:+--gtest_filter=-$excluded}) &
    local pid=$! status=0
    sleep "$limit" &
    local timer=$!
    wait -n "$pid" "$timer" || true
    if kill -0 "$pid" 2>/dev/null; then
        echo "run-wine-tests: $program still runs after ${limit}s: hung" >&2
        show_threads "$pid" "$program" >&2
        kill -KILL "$pid"
    fi
    kill "$timer" 2>/dev/null || true
    wait "$pid" || status=$?
    if [ "$status" -ne 0 ]; then
        echo "run-wine-tests: $program failed (exit $status)" >&2
        failed+=("$program")
    fi
}

run test_fault_guard platform 120
run test_console_resource dialog 60
run test_can port 300
run test_port_noread port-noread 120
run test_port_nodriver port-nodriver 60
run test_dialog_listview_class dialog 60
run test_dialog dialog 600
run test_console_fake console-fake 600
run test_tools ../bin 120

# The Windows tools reach a bus served by can-serve of the Linux build (LINUX_BUILD, default build/).
echo "=== socketcand-under-wine"
if ! bash tests/windows/socketcand-under-wine.sh "$build/bin" "$(realpath "${LINUX_BUILD:-build}")/bin"; then
    failed+=(socketcand-under-wine)
fi

# The Windows tools on a COM port mapped to a pseudo-terminal, the Linux tools at the null modem's far end.
echo "=== slcan-under-wine"
if ! bash tests/windows/slcan-under-wine.sh "$build/bin" "$(realpath "${LINUX_BUILD:-build}")/bin"; then
    failed+=(slcan-under-wine)
fi

if [ ${#failed[@]} -gt 0 ]; then
    echo "run-wine-tests: failed: ${failed[*]}" >&2
    exit 1
fi
echo "run-wine-tests: all passed"
