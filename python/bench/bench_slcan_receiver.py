"""python-can's slcan interface as a receiver beside bench-slcan's own: counts the frames it gets for
SECONDS and the delay from the peer's write (its monotonic clock in data bytes 4-7, in µs, 32 bits) to
python-can handing the frame out, on the same clock.

Usage: bench_slcan_receiver.py PORT SECONDS   (bench-slcan starts it; it prints "ready", then one line)
"""

import sys
import time

import can


def main():
    port, seconds = sys.argv[1], float(sys.argv[2])
    delays = []
    bus = can.Bus(interface="slcan", channel=port, bitrate=1000000, sleep_after_open=0)
    print("ready", flush=True)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        message = bus.recv(0.1)
        if message is not None:
            now = (time.monotonic_ns() // 1000) & 0xFFFFFFFF
            delays.append((now - int.from_bytes(message.data[4:8], "big")) & 0xFFFFFFFF)
    bus.shutdown()
    delays.sort()
    count = len(delays)
    p50 = delays[count // 2] if count else 0
    p99 = delays[min(count - 1, count * 99 // 100)] if count else 0
    print(f"frames {count} p50 {p50} p99 {p99} max {delays[-1] if count else 0}", flush=True)


if __name__ == "__main__":
    main()
