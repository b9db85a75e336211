#!/usr/bin/env bash
# bus-users.sh BIN_DIR: the virtual bus between several users, run as root with setpriv. Users A, B and
# C are numeric uids without passwd entries, members of a group made for the run; D is an outsider.
#   shared:  A and B on the group's bus hear each other; they leave in either order, and a new pair
#            still exchanges frames (a bus left in a state that nobody can open was a real fault)
#   private: A and B on their own buses do not hear each other
#   outsider: D cannot use the group's bus, and is told why
#   modes:   no lock file and no segment of theirs has a permission bit for others, whatever the umask
# Exits 77 (skipped) when not run as root.
set -euo pipefail
bin=$1
if [ "$(id -u)" != 0 ]; then
    echo "bus-users: needs root (setpriv, groupadd); skipped"
    exit 77
fi

export RVCAN32CE_NAMESPACE=users-$$
group=rvcan-users-$$
A=61001 B=61002 C=61003 D=61004
work=$(mktemp -d)
chmod 755 "$work"
pids=()
failures=0

cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    # A group bus's last member cannot remove a lock file another member created (/dev/shm is sticky).
    rm -f /dev/shm/rvcan32ce-"$RVCAN32CE_NAMESPACE"-*
    groupdel "$group" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "bus-users: FAILED: $*" >&2
    failures=$((failures + 1))
}

groupadd "$group"
gid=$(getent group "$group" | cut -d: -f3)

# as_command USER [shared] COMMAND...: sets command to run COMMAND as USER (a member of the group), with
# umask 0 so that only the driver decides the modes; with "shared", on the group's buses.
as_command() {
    local user=$1
    shift
    local env=(env -u RVCAN32CE_GROUP)
    if [ "$1" = shared ]; then
        env=(env RVCAN32CE_GROUP="$group")
        shift
    fi
    command=(setpriv --reuid="$user" --regid="$user" --groups="$gid" -- sh -c 'umask 0; exec "$@"' sh
        "${env[@]}" "$@")
}

as() {
    as_command "$@"
    "${command[@]}"
}

# dump USER [shared] COMMAND...: starts can-dump in the background and waits until it is on the bus.
dump() {
    local out=$work/dump-$RANDOM
    as_command "$@"
    "${command[@]}" >"$out" 2>&1 & # every program in the chain execs the next: $! is can-dump
    local pid=$!
    pids+=("$pid")
    for _ in $(seq 100); do
        if grep -q SYSV "/proc/$pid/maps" 2>/dev/null; then
            break
        fi
        sleep 0.05
    done
    dumped=$out
    dumpPid=$pid
}

# leave PID: ends a can-dump with Ctrl+C, as a user would.
leave() {
    kill -INT "$1"
    wait "$1" || fail "can-dump $1 did not end cleanly"
}

check_modes() {
    local file
    for file in /dev/shm/rvcan32ce-"$RVCAN32CE_NAMESPACE"-*; do
        [ -e "$file" ] || continue
        local mode
        mode=$(stat -c %a "$file")
        if [ $((8#$mode & 8#007)) != 0 ]; then
            fail "$file has mode $mode"
        fi
    done
    # /proc/sysvipc/shm: key shmid perms(octal) size cpid lpid nattch uid gid ...
    while read -r _ shmid perms _ _ _ _ uid _; do
        case $uid in
        "$A" | "$B" | "$C" | "$D")
            if [ $((8#$perms & 8#007)) != 0 ]; then
                fail "segment $shmid of user $uid has mode $perms"
            fi
            ;;
        esac
    done < <(tail -n +2 /proc/sysvipc/shm)
}

# shared, in both orders of leaving
for order in "A B" "B A"; do
    dump "$A" shared "$bin/can-dump" CAN2:
    dumpA=$dumpPid outA=$dumped
    dump "$B" shared "$bin/can-dump" CAN2:
    dumpB=$dumpPid outB=$dumped
    as "$A" shared "$bin/can-send" CAN2: 123#A1 || fail "A cannot send on the group's bus"
    as "$B" shared "$bin/can-send" CAN2: 123#B1 || fail "B cannot send on the group's bus"
    check_modes
    sleep 0.2
    for user in $order; do
        if [ "$user" = A ]; then leave "$dumpA"; else leave "$dumpB"; fi
    done
    grep -q '123   \[1\]  B1' "$outA" || fail "A did not hear B: $(cat "$outA")"
    grep -q '123   \[1\]  A1' "$outB" || fail "B did not hear A: $(cat "$outB")"

    dump "$C" shared "$bin/can-dump" -n 1 CAN2:
    as "$A" shared "$bin/can-send" CAN2: 456#C1 || fail "A cannot open the group's bus after $order left"
    wait "$dumpPid" || fail "C cannot use the group's bus after $order left: $(cat "$dumped")"
    grep -q '456   \[1\]  C1' "$dumped" || fail "C did not hear A after $order left: $(cat "$dumped")"
    echo "bus-users: shared bus: $order left in that order; a new pair still exchanges frames"
done

# private
dump "$A" "$bin/can-dump" CAN3:
privateA=$dumpPid outA=$dumped
as "$B" "$bin/can-send" CAN3: 321#B2 || fail "B cannot open its own CAN3:"
as "$A" "$bin/can-send" CAN3: 321#A2 || fail "A cannot open its own CAN3:"
check_modes
sleep 0.2
leave "$privateA"
if grep -q 'B2' "$outA" || ! grep -q '321   \[1\]  A2' "$outA"; then
    fail "A's private bus: expected only A's frame, got: $(cat "$outA")"
fi
echo "bus-users: private buses: A heard itself and not B"

# outsider
dump "$A" shared "$bin/can-dump" CAN4:
holder=$dumpPid
refusal=$(setpriv --reuid="$D" --regid="$D" --clear-groups -- env RVCAN32CE_GROUP="$group" \
    "$bin/can-send" CAN4: 111#D1 2>&1) && fail "the outsider could send on the group's bus"
echo "bus-users: outsider: $refusal"
case $refusal in
*"not a member of group $group"*) ;;
*) fail "the outsider's refusal does not say why" ;;
esac
lockFile=$(ls /dev/shm/rvcan32ce-"$RVCAN32CE_NAMESPACE"-g"$gid"-bus-4-* 2>/dev/null || true)
if setpriv --reuid="$D" --regid="$D" --clear-groups -- sh -c "exec 3<>'$lockFile'" 2>/dev/null; then
    fail "the outsider could open the group's lock file $lockFile"
fi
check_modes
leave "$holder"

[ "$failures" = 0 ] && echo "bus-users: passed"
exit $((failures != 0))
