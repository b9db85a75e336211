#!/usr/bin/env bash
# bus-users.sh BIN_DIR: the virtual bus between several users, run as root with setpriv. Users A, B and
# C are numeric uids without passwd entries, members of a group made for the run; D is an outsider.
#   shared:  A and B on the group's bus hear each other; they leave in either order, and a new pair
#            still exchanges frames (a bus left in a state that nobody can open was a real fault)
#   private: A and B on their own buses do not hear each other
#   outsider: D cannot use the group's bus, and is told why
#   modes:   no lock file and no segment of theirs has a permission bit for others, whatever the umask
#   setup:   without the group's directory, opening a group bus names the command that makes it
#   takeover: an outsider's look-alike of a group bus's last segment (the id and creator pid the lock
#            file names, the group, the mode, the size) is never joined, gets no member's frame, and
#            does not keep the members off their bus
#   squatting: files, FIFOs, symbolic links, directories and hard links an outsider puts wherever it
#            can write do not stop a user's private or group bus
#   kills:   after openers are killed at random moments, nothing of theirs is left in ipcs -m or in
#            the bus directories
# Each user's private buses meet in a runtime directory made for the run (XDG_RUNTIME_DIR); the
# group's in the administrator's directory for it. Exits 77 (skipped) when not run as root.
set -euo pipefail
bin=$1
if [ "$(id -u)" != 0 ]; then
    echo "bus-users: needs root (setpriv, groupadd); skipped"
    exit 77
fi

export RVCAN32CE_NAMESPACE=users-$$
group=rvcan-users-$$
groupDir=/var/lib/rvcan32ce/$group
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
    rm -f /dev/shm/rvcan32ce-"$RVCAN32CE_NAMESPACE"-*
    rm -rf "$groupDir"
    rmdir /var/lib/rvcan32ce 2>/dev/null || true
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
for user in $A $B $C $D; do
    mkdir -m 700 "$work/run-$user"
    chown "$user" "$work/run-$user"
done

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
        "${env[@]}" XDG_RUNTIME_DIR="$work/run-$user" "$@")
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
    for file in "$groupDir"/rvcan32ce-"$RVCAN32CE_NAMESPACE"-* "$work"/run-*/rvcan32ce-"$RVCAN32CE_NAMESPACE"-*; do
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

# setup
refusal=$(as "$A" shared "$bin/can-send" CAN2: 123#A0 2>&1) && fail "a group bus opened without its directory"
case $refusal in
*"install -d -o root -g $group -m 2770 $groupDir"*) echo "bus-users: setup: $refusal" ;;
*) fail "without its directory, a group bus does not say how to make it: $refusal" ;;
esac
install -d -o root -g "$group" -m 2770 "$groupDir"

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
lockFile=$(ls "$groupDir"/rvcan32ce-"$RVCAN32CE_NAMESPACE"-g"$gid"-bus-4-* 2>/dev/null || true)
if setpriv --reuid="$D" --regid="$D" --clear-groups -- sh -c "exec 3<>'$lockFile'" 2>/dev/null; then
    fail "the outsider could open the group's lock file $lockFile"
fi
check_modes
leave "$holder"

# segment_of LOCKFILE: the id the lock file names (its record: magic, then the segment id).
segment_of() {
    /usr/bin/python3 -c 'import struct, sys; print(struct.unpack_from("<i", open(sys.argv[1], "rb").read(), 8)[0])' "$1"
}

# shm_field ID COLUMN: a column of the segment's line in /proc/sysvipc/shm (4 size, 7 nattch, 8 uid).
shm_field() {
    awk -v id="$1" -v column="$2" '$2 == id { print $column }' /proc/sysvipc/shm
}

# takeover: the last member dies, so the lock file stays and names a gone segment. The outsider D makes
# a segment of the same size, gives it the group and mode of the bus (IPC_SET) and stays attached to
# read it; root then writes its id and creator pid into the lock file, which stands for D getting the
# kernel to hand out the same id and pid again (about a minute of forking and of making and removing
# segments). Its creator is not the bus's: members leave it alone and make the bus anew beside it.
dump "$A" shared "$bin/can-dump" CAN5:
lockFile=$(ls "$groupDir"/rvcan32ce-"$RVCAN32CE_NAMESPACE"-g"$gid"-bus-5-*)
size=$(shm_field "$(segment_of "$lockFile")" 4)
kill -KILL "$dumpPid"
wait "$dumpPid" 2>/dev/null || true
mkfifo "$work/look-alike"
setpriv --reuid="$D" --regid="$D" --clear-groups -- /usr/bin/python3 -c '
import ctypes, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.shmat.restype = ctypes.c_void_p
libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
size, gid = int(sys.argv[1]), int(sys.argv[2])
segment = libc.shmget(0, ctypes.c_size_t(size), 0o1000 | 0o660)
address = libc.shmat(segment, None, 0)
status = ctypes.create_string_buffer(256)  # struct shmid64_ds; ipc64_perm: key, uid, gid, cuid, cgid, mode
libc.shmctl(segment, 2, status)  # IPC_STAT
struct.pack_into("<I", status, 8, gid)
libc.shmctl(segment, 1, status)  # IPC_SET: the group of the bus, as the owner of a segment may
libc.shmctl(segment, 0, None)  # IPC_RMID: gone with its last attachment; others may still attach it
# the words every segment of this layout starts with: magic, version, slots, size
ctypes.memmove(address, struct.pack("<QIIQ", 0x7276636E62757332, 4, 32768, size), 24)
print(segment, flush=True)
sys.stdin.read()
' "$size" "$gid" <"$work/look-alike" >"$work/look-alike.id" &
lookAlikePid=$!
pids+=("$lookAlikePid")
exec 7>"$work/look-alike"
for _ in $(seq 100); do
    [ -s "$work/look-alike.id" ] && break
    sleep 0.05
done
lookAlike=$(cat "$work/look-alike.id")
[ "$(awk -v id="$lookAlike" '$2 == id { print $9 }' /proc/sysvipc/shm)" = "$gid" ] ||
    fail "the look-alike did not get the group's id: $(grep " $lookAlike " /proc/sysvipc/shm)"
/usr/bin/python3 -c '
import struct, sys
with open(sys.argv[1], "r+b") as record:
    record.seek(8)
    record.write(struct.pack("<ii", int(sys.argv[2]), int(sys.argv[3])))
' "$lockFile" "$lookAlike" "$lookAlikePid"
dump "$A" shared "$bin/can-dump" -n 1 CAN5:
as "$B" shared "$bin/can-send" CAN5: 555#B5 || fail "the outsider's look-alike kept B off the group's bus"
wait "$dumpPid" || fail "the outsider's look-alike kept A off the group's bus: $(cat "$dumped")"
grep -q '555   \[1\]  B5' "$dumped" || fail "A did not hear B beside the look-alike: $(cat "$dumped")"
[ "$(shm_field "$lookAlike" 7)" = 1 ] || fail "someone besides the outsider attached its look-alike"
exec 7>&-
wait "$lookAlikePid" || true
echo "bus-users: takeover: the look-alike was never joined; the members made the bus anew beside it"

# squatting: D puts each kind of entry under every name of A's and the group's buses it can reach.
squat() {
    local place=$1 kind=$2
    setpriv --reuid="$D" --regid="$D" --clear-groups -- sh -c '
        case $2 in
        file) : >"$1" ;;
        fifo) mkfifo "$1" ;;
        symlink) ln -s /etc/passwd "$1" ;;
        directory) mkdir "$1" ;;
        hardlink) : >"$1.target" && ln "$1.target" "$1" ;;
        esac' sh "$place" "$kind" 2>/dev/null
}
for kind in file fifo symlink directory hardlink; do
    for version in 3 4; do
        for scope in u"$A" g"$gid"; do
            for place in /dev/shm /tmp "$work/run-$A" "$groupDir"; do
                name=$place/rvcan32ce-$RVCAN32CE_NAMESPACE-$scope-bus-6-v$version
                if squat "$name" "$kind" && [[ $place == "$work/run-$A" || $place == "$groupDir" ]]; then
                    fail "the outsider could make a $kind in $place"
                fi
            done
        done
    done
    as "$A" "$bin/can-send" CAN6: 666#A6 || fail "a $kind squatted by an outsider stopped A's private bus"
    as "$A" shared "$bin/can-send" CAN6: 666#A7 || fail "a $kind squatted by an outsider stopped the group's bus"
    rm -rf /dev/shm/rvcan32ce-"$RVCAN32CE_NAMESPACE"-* /tmp/rvcan32ce-"$RVCAN32CE_NAMESPACE"-*
done
echo "bus-users: squatting: files, FIFOs, symbolic links, directories and hard links did not stop a bus"

# kills: openers of a private and a group bus killed at random moments, then one clean opener each.
for round in $(seq 100); do
    if [ $((round % 2)) = 0 ]; then as_command "$A" "$bin/can-send" CAN7: 777#01; else as_command "$A" shared "$bin/can-send" CAN7: 777#02; fi
    "${command[@]}" 2>/dev/null &
    victim=$!
    sleep "0.0$((RANDOM % 3))$((RANDOM % 10))" # an opener lives about 20 ms
    kill -KILL "$victim" 2>/dev/null || true
    wait "$victim" 2>/dev/null || true
done
as "$A" "$bin/can-send" CAN7: 777#03 || fail "A's private bus does not work after the kills"
as "$A" shared "$bin/can-send" CAN7: 777#04 || fail "the group's bus does not work after the kills"
left=$(awk -v uid="$A" '$8 == uid' /proc/sysvipc/shm)
[ -z "$left" ] && echo "bus-users: kills: no segment of A's left" || fail "segments left after the kills: $left"
files=$(find "$work/run-$A" "$groupDir" -mindepth 1)
[ -z "$files" ] && echo "bus-users: kills: no lock file left" || fail "lock files left after the kills: $files"

[ "$failures" = 0 ] && echo "bus-users: passed"
exit $((failures != 0))
