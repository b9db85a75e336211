"""python-can's socketcand client as a receiver beside bench-serve's own: counts the frames it gets
for SECONDS and the delay from can-serve's time stamp (its clock when the bus delivered the frame) to
python-can handing the frame out, on the same machine's clock.

Usage: bench_socketcand_receiver.py PORT SECONDS   (bench-serve starts it; it prints one line)
"""

import sys
import time

import can


def main():
    port, seconds = int(sys.argv[1]), float(sys.argv[2])
    delays = []
    with can.Bus(interface="socketcand", host="127.0.0.1", port=port, channel="CAN1") as bus:
        print("ready", flush=True)
        end = time.time() + seconds
        while time.time() < end:
            message = bus.recv(0.1)
            if message is not None:
                delays.append(time.time() - message.timestamp)
    delays.sort()
    count = len(delays)
    p50 = delays[count // 2] * 1e6 if count else 0
    p99 = delays[min(count - 1, count * 99 // 100)] * 1e6 if count else 0
    print(f"python_frames {count} python_p50_us {p50:.0f} python_p99_us {p99:.0f}", flush=True)


if __name__ == "__main__":
    main()
