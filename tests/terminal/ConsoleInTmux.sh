#!/usr/bin/env bash
# Runs can-check in a real terminal under tmux, types at it and reads its screen.
#
# usage: ConsoleInTmux.sh MODE BIN_DIR
#   bus          connect, send, receive on a private virtual bus, end with Escape
#   hex          hex digits typed into Frame ID and a data byte go out as typed; other letters refused
#   limits       Frame ID takes at most 8 characters, a data byte 2: what is shown is what is sent
#   send-again   Start, Space, Space: the focus stays on Start, so the second Space sends again
#   follow       12 frames at 80x24: the list, not focused, shows the twelfth, marked
#   scroll       focused by the wheel, the list stays where it is scrolled; leaving it follows again
#   no-driver    can-check alone in a directory: connecting shows the error box
#   no-terminal  without a terminal the program refuses to start
#   dumb         on TERM=dumb the program refuses to start as on an unknown terminal
#   sigterm      SIGTERM while connected: exit code 143 and the terminal's modes given back
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

# Starts the program in an 80x24 terminal; its exit code lands in $work/exit-code. The shell then
# runs the commands in $2, if any.
start_console() {
    local program=$1
    tmuxc new-session -d -s console -x 80 -y 24 \
        "env -u LD_LIBRARY_PATH '$program'; echo \$? > '$work/exit-code'${2:+; $2}"
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

# can-dump on the bus before the console connects; a first frame proves that it listens. It ends after
# the probe and $1 more frames (default 1).
start_dump() {
    "$bin/can-dump" -n $((${1:-1} + 1)) CAN1: >"$work/dump" 2>&1 &
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

# Connected, with the focus on the frame-id edit (its text selected, so typing replaces it).
connect_and_focus_frame_id() {
    start_console "$bin/can-check"
    connect
    eventually shows "Close" || fail "the connect button does not read \"Close\""
    keys Tab
}

# From the frame-id edit: Tab over the check box and the length list to the first data byte.
tab_to_first_byte() { keys Tab Tab Tab; }
# From the first data byte over the other seven to the transmit button, then press it.
tab_to_start_and_press() {
    for _ in $(seq 8); do keys Tab; done
    eventually shows_pattern ">[[:space:]]*Start[[:space:]]*<" || fail "Tab did not reach the transmit button"
    keys Space
}
dumped() { grep -q -F -- "$1" "$work/dump"; }

run_hex() {
    start_dump
    connect_and_focus_frame_id
    keys 7 f g F
    eventually shows_pattern "[[>]7FF +[]<]" || fail "the frame-id edit does not show 7FF"
    tab_to_first_byte
    keys a x b
    eventually shows_pattern "[[>]AB +[]<]" || fail "the first data byte does not show AB"
    tab_to_start_and_press
    eventually dumped "7FF   [8]  AB 22 44 88 AA BB EE FF" || fail "can-dump did not see 7FF#AB22...: $(cat "$work/dump")"
    keys Escape
    expect_exit_zero
}

run_limits() {
    start_dump
    connect_and_focus_frame_id
    keys Tab Space BTab # Extended Frame checked, so that 8 digits make an id the format carries
    keys 1 2 3 4 5 6 7 8 9
    eventually shows_pattern "[[>]12345678 +[]<]" || fail "the frame-id edit does not show the 8 characters 12345678"
    lacks "123456789" || fail "the frame-id edit took a ninth character"
    keys Tab Tab Tab # on to the first data byte
    keys c d e
    eventually shows_pattern "[[>]CD +[]<]" || fail "the first data byte does not show CD"
    lacks "CDE" || fail "the first data byte took a third character"
    tab_to_start_and_press
    eventually dumped "12345678   [8]  CD 22 44 88 AA BB EE FF" ||
        fail "can-dump did not see 12345678#CD22...: $(cat "$work/dump")"
    keys Escape
    expect_exit_zero
}

run_send_again() {
    start_dump 2
    connect_and_focus_frame_id
    tab_to_first_byte
    tab_to_start_and_press
    eventually shows_pattern "123 +No +[0-9a-f]+ +8 +00 22 44 88 aa bb ee ff" || fail "the first frame is not in the list"
    shows_pattern ">[[:space:]]*Start[[:space:]]*<" || fail "the focus left the transmit button after a send"
    keys Space
    sent_twice() { [ "$(grep -c -F "123   [8]  00 22 44 88 AA BB EE FF" "$work/dump")" = 2 ]; }
    eventually sent_twice || fail "the second Space did not send again: $(cat "$work/dump")"
    keys Escape
    expect_exit_zero
}

# Frames 101#01 to 10C#0C, which go to rows 0 to 11.
send_twelve_frames() {
    for i in $(seq 12); do
        "$bin/can-send" CAN1: "$(printf '%03X#%02X' $((0x100 + i)) "$i")"
    done
}

# The list's rows as drawn: the receive list's header line and the lines below it.
list_shows_row() { screen | sed -n '/ID *exfrm/,$p' | grep -q -E -- "$1"; }

run_follow() {
    start_console "$bin/can-check"
    connect
    eventually shows "Close" || fail "the connect button does not read \"Close\""
    send_twelve_frames
    eventually list_shows_row "→10c +No +[0-9a-f]+ +1 +0c" || fail "the twelfth frame is not in view, marked"
    list_shows_row "^│ +10b " || fail "the eleventh frame is not in view above the twelfth"
    list_shows_row "101 +No" && fail "the list did not scroll along: the first frame is still shown"
    keys Escape
    expect_exit_zero
}

# Turns the wheel up once over the first place the text is shown (X10 encoding, button 64).
wheel_up_on() {
    local text=$1 row=0 line prefix
    while IFS= read -r line; do
        if [[ "$line" == *"$text"* ]]; then
            prefix=${line%%"$text"*}
            local x y
            x=$(printf "\\$(printf %03o $((${#prefix} + 33)))")
            y=$(printf "\\$(printf %03o $((row + 33)))")
            keys -l $'\e[M`'"$x$y"
            return 0
        fi
        row=$((row + 1))
    done < <(screen)
    fail "\"$text\" is not on the screen to scroll"
}

run_scroll() {
    start_console "$bin/can-check"
    connect
    eventually shows "Close" || fail "the connect button does not read \"Close\""
    send_twelve_frames
    eventually list_shows_row "10c +No" || fail "the twelfth frame is not in view"
    wheel_up_on "10b"
    eventually shows "5-9/50" || fail "the wheel did not focus the list and scroll it up 3 rows"
    keys Home
    eventually shows "1-5/50" || fail "Home did not scroll the focused list to row 0"
    "$bin/can-send" CAN1: 10D#0D
    eventually list_shows_row "^│ +101 +No" || fail "the focused list does not show row 0"
    sleep 0.5
    list_shows_row "10d +No" && fail "the focused list followed a write instead of staying at row 0"
    keys End
    eventually shows "46-50/50" || fail "End did not scroll the focused list to row 49"
    keys Tab # leaving the list: it follows the writes again
    eventually list_shows_row "→10d +No" || fail "after leaving the list, the newest frame is not in view"
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

run_dumb() {
    tmuxc new-session -d -s console -x 80 -y 24 \
        "TERM=dumb '$bin/can-check' 2> '$work/err'; echo \$? > '$work/exit-code'"
    eventually test -s "$work/exit-code" || fail "can-check on TERM=dumb did not end"
    [ "$(cat "$work/exit-code")" = 1 ] || fail "exit code $(cat "$work/exit-code") on TERM=dumb, expected 1"
    grep -q -F "this terminal type is unknown" "$work/err" || fail "no message on standard error: $(cat "$work/err")"
}

# The terminal's modes as the shell finds them after the program, in $work/stty.
run_sigterm() {
    start_console "$bin/can-check" "stty -a > '$work/stty.tmp'; mv '$work/stty.tmp' '$work/stty'; sleep 60"
    connect
    eventually shows "Close" || fail "the connect button does not read \"Close\""
    local pane program
    pane=$(tmuxc list-panes -t console -F '#{pane_pid}')
    program=$(pgrep -P "$pane" -x can-check) || fail "no can-check process under the pane's shell"
    kill -TERM "$program"
    eventually test -s "$work/stty" || fail "the program did not end on SIGTERM"
    [ "$(cat "$work/exit-code")" = 143 ] || fail "exit code $(cat "$work/exit-code") on SIGTERM, expected 143"
    for mode in icanon echo; do
        grep -q -E "(^| )$mode( |;|\$)" "$work/stty" || fail "the terminal was left with -$mode: $(cat "$work/stty")"
    done
}

command -v tmux >/dev/null || { echo "tmux is missing: run tools/setup.sh" >&2; exit 1; }
case "$mode" in
bus) run_bus ;;
hex) run_hex ;;
limits) run_limits ;;
send-again) run_send_again ;;
follow) run_follow ;;
scroll) run_scroll ;;
no-driver) run_no_driver ;;
no-terminal) run_no_terminal ;;
dumb) run_dumb ;;
sigterm) run_sigterm ;;
*) echo "usage: $0 bus|hex|limits|send-again|follow|scroll|no-driver|no-terminal|dumb|sigterm BIN_DIR" >&2; exit 2 ;;
esac
echo "PASS: $mode"
