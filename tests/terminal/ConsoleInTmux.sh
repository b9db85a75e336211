#!/usr/bin/env bash
# Runs can-check in a real terminal under tmux, types at it and reads its screen.
#
# usage: ConsoleInTmux.sh bus|no-driver|no-terminal BIN_DIR
#   bus          connect, send, receive on a private virtual bus, end with Escape
#   no-driver    can-check alone in a directory: connecting shows the error box
#   no-terminal  without a terminal the program refuses to start
set -euo pipefail

mode=$1
bin=$(cd "$2" && pwd)
work=$(mktemp -d)
socket="can-check-test-$$"
export RVCAN32CE_NAMESPACE="terminal-test-$$"
# Line drawing and arrows as UTF-8, whatever the caller's locale, so that the screen reads as text.
export LC_ALL=C.UTF-8
dump_pid=""
patience=${CANCHECK_TEST_PATIENCE:-20} # seconds any one expected screen may take

cleanup() {
    tmux -L "$socket" kill-server 2>/dev/null || true
    if [ -n "$dump_pid" ]; then kill "$dump_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    echo "--- screen:" >&2
    screen >&2 || true
    exit 1
}

tmuxc() { tmux -L "$socket" -f /dev/null "$@"; }
screen() { tmuxc capture-pane -p -t console; }
keys() { tmuxc send-keys -t console "$@"; }

# Polls until the condition command succeeds, for at most $patience seconds.
eventually() {
    local tries=$((patience * 10))
    for ((i = 0; i < tries; i++)); do
        if "$@"; then return 0; fi
        sleep 0.1
    done
    return 1
}
shows() { screen | grep -q -F -- "$1"; }
shows_pattern() { screen | grep -q -E -- "$1"; }
lacks() { ! shows "$1"; }

# Starts the program in an 80x24 terminal; its exit code lands in $work/exit-code.
start_console() {
    local program=$1
    tmuxc new-session -d -s console -x 80 -y 24 \
        "env -u LD_LIBRARY_PATH '$program'; echo \$? > '$work/exit-code'"
    eventually shows "CAN - Check" || fail "the dialog did not appear"
}

expect_exit_zero() {
    eventually test -s "$work/exit-code" || fail "the program did not end"
    [ "$(cat "$work/exit-code")" = 0 ] || fail "exit code $(cat "$work/exit-code"), expected 0"
}

# Clicks the middle of the first place the text is shown, as a terminal reports a mouse click (X10
# encoding: ESC [ M, then button, column and row, each plus 32).
click_on() {
    local text=$1 row=0 line prefix
    while IFS= read -r line; do
        if [[ "$line" == *"$text"* ]]; then
            prefix=${line%%"$text"*}
            local column=$((${#prefix} + ${#text} / 2))
            local x y
            x=$(printf "\\$(printf %03o $((column + 33)))")
            y=$(printf "\\$(printf %03o $((row + 33)))")
            keys -l $'\e[M '"$x$y"
            keys -l $'\e[M#'"$x$y"
            return 0
        fi
        row=$((row + 1))
    done < <(screen)
    fail "\"$text\" is not on the screen to click"
}

# From the first tab stop (Cancel): Tab to the bit-rate list, Tab to the connect button, Space.
connect() { keys Tab Tab Space; }

initial_screen() {
    for text in "CAN - Check" "Open" "125" "Cancel" "Baudrate" "Frame ID" "Extended Frame" "ID" "exfrm" \
        "timestamp" "length" "payload"; do
        shows "$text" || fail "the initial screen lacks \"$text\""
    done
    # The hidden controls: loop check box, delay label and edit, "Timing" group, receive button.
    for text in "Loop" "Delay" "Timing" "1000"; do
        lacks "$text" || fail "the hidden control \"$text\" is drawn"
    done
    [ "$(screen | grep -o -F Start | wc -l)" = 1 ] || fail "the hidden receive button \"Start\" is drawn"
}

# can-dump on the bus before the console connects; a first frame proves that it listens.
start_dump() {
    "$bin/can-dump" -n 2 CAN1: >"$work/dump" 2>&1 &
    dump_pid=$!
    listening() { "$bin/can-send" CAN1: 7FF#01 >/dev/null && sleep 0.2 && grep -q -F "7FF   [1]  01" "$work/dump"; }
    eventually listening || fail "can-dump did not see the probe frame"
}

run_bus() {
    start_dump
    start_console "$bin/can-check"
    initial_screen
    connect
    eventually shows "Close" || fail "the connect button does not read \"Close\""
    # Tab through the frame-id edit, the check box, the length list and the eight payload edits to the
    # transmit button, which is then marked ">Start<".
    for _ in $(seq 12); do keys Tab; done
    eventually shows_pattern ">[[:space:]]*Start[[:space:]]*<" || fail "Tab did not reach the transmit button"
    keys Space
    sent() { grep -q -F "123   [8]  00 22 44 88 AA BB EE FF" "$work/dump"; }
    eventually sent || fail "can-dump did not see 123#00224488AABBEEFF: $(cat "$work/dump")"
    eventually shows_pattern "123 +No +[0-9a-f]+ +8 +00 22 44 88 aa bb ee ff" ||
        fail "the sent frame is not in the receive list"
    eventually shows "is ext frame: 0" || fail "the status line does not show the latest debug line"
    "$bin/can-send" CAN1: 321#CAFE
    eventually shows_pattern "321 +No +[0-9a-f]+ +2 +ca fe" || fail "the frame from can-send is not in the list"
    click_on "Close"
    eventually shows_pattern ">[[:space:]]*Open[[:space:]]*<" || fail "a click on \"Close\" did not disconnect"
    keys Escape
    expect_exit_zero
}

run_no_driver() {
    # can-check alone: no driver beside it, and none on the library search path.
    cp "$bin/can-check" "$work/"
    start_console "$work/can-check"
    connect
    eventually shows "cannot open CAN port." || fail "no error box"
    # The box's title bar: a line with the caption alone between the dialog's borders.
    shows_pattern "^[^[:alnum:]]* Error +[^[:alnum:]]*$" || fail "the error box is not titled \"Error\""
    keys Enter
    eventually lacks "cannot open CAN port." || fail "Enter did not dismiss the error box"
    shows "Open" || fail "the connect button does not read \"Open\" after the failed connect"
    keys Escape
    expect_exit_zero
}

run_no_terminal() {
    local status=0
    "$bin/can-check" </dev/null >"$work/out" 2>"$work/err" || status=$?
    [ "$status" -ne 0 ] || fail "can-check without a terminal exited with 0"
    grep -q -F "not a terminal" "$work/err" || fail "no message on standard error: $(cat "$work/err")"
}

command -v tmux >/dev/null || { echo "tmux is missing: run tools/setup.sh" >&2; exit 1; }
case "$mode" in
bus) run_bus ;;
no-driver) run_no_driver ;;
no-terminal) run_no_terminal ;;
*) echo "usage: $0 bus|no-driver|no-terminal BIN_DIR" >&2; exit 2 ;;
esac
echo "PASS: $mode"
