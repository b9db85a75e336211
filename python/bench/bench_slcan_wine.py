"""The Windows build's slcan device under Wine: can-dump.exe on COM5, which Wine maps to one end of a
null modem of two pseudo-terminals (socat); a writer thread here plays the adapter at the other end,
8-byte frames paced at RATE per second for SECONDS, each with its number and its write time on the
monotonic clock. Latency is from that write to can-dump.exe's line arriving here through its output
pipe. Prints frames sent, delivered, lost, and latency p50/p99/max.

Usage: WINEPREFIX=PREFIX bench_slcan_wine.py WINDOWS-BIN-DIR [SECONDS [RATE]]   (defaults 10, 1000)
"""

import os
import subprocess
import sys
import tempfile
import threading
import time


def write_frames(port, seconds, rate, sent):
    with open(port, "wb", buffering=0) as adapter:
        start = time.monotonic()
        number = 0
        while time.monotonic() - start < seconds:
            due = start + number / rate
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            stamp = (time.monotonic_ns() // 1000) & 0xFFFFFFFF
            adapter.write(b"t1238%08X%08X\r" % (number, stamp))
            number += 1
        sent.append(number)


def main():
    windows = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
    rate = float(sys.argv[3]) if len(sys.argv) > 3 else 1000
    folder = tempfile.mkdtemp()
    ends = [os.path.join(folder, end) for end in ("windows", "peer")]
    socat = subprocess.Popen(["socat"] + [f"pty,raw,echo=0,link={end}" for end in ends])
    while not all(os.path.exists(end) for end in ends):
        time.sleep(0.01)
    com = os.path.join(os.environ["WINEPREFIX"], "dosdevices", "com5")
    if os.path.lexists(com):
        os.unlink(com)
    os.symlink(os.path.realpath(ends[0]), com)
    dump = subprocess.Popen(["wine", "./can-dump.exe", "-b", "1000", "CAN1:"], cwd=windows,
                            env=dict(os.environ, RVCAN32CE_CAN1="slcan:COM5"), stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    time.sleep(5)  # Wine's start
    sent = []
    writer = threading.Thread(target=write_frames, args=(ends[1], seconds, rate, sent))
    writer.start()
    delays = []
    deadline = time.monotonic() + seconds + 2
    os.set_blocking(dump.stdout.fileno(), False)
    pending = b""
    while time.monotonic() < deadline:
        chunk = dump.stdout.read()
        if not chunk:
            time.sleep(0.0002)
            continue
        now = (time.monotonic_ns() // 1000) & 0xFFFFFFFF
        pending += chunk
        *lines, pending = pending.split(b"\n")
        for line in lines:
            data = line.split(b"]")[-1].split()
            if len(data) == 8:
                delays.append((now - int(b"".join(data[4:8]), 16)) & 0xFFFFFFFF)
    writer.join()
    dump.terminate()
    dump.wait()
    socat.terminate()
    socat.wait()
    os.unlink(com)
    delays.sort()
    count = len(delays)
    print(f"can-dump.exe: sent {sent[0]}, delivered {count} ({count / seconds:.0f} frames/s), "
          f"lost {sent[0] - count}, latency p50 {delays[count // 2] if count else 0} us, "
          f"p99 {delays[min(count - 1, count * 99 // 100)] if count else 0} us, max {delays[-1] if count else 0} us")


if __name__ == "__main__":
    main()
