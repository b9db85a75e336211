"""Frames/s through python-can on our bus (interface "rvcan", the sender or the receiver in another
process) next to python-can's own in-process "virtual" interface, in the same run.

usage: bench_python_can.py [--frames N] [--runs R] [--library PATH] [--bin DIR]

receive: a peer sends N frames as fast as it can; frames/s from the first frame recv() returns to
         the last one (frames the queues dropped are reported, not counted).
         rvcan: the peer is can-send in another process; virtual: a thread of this process.
send:    bus.send() of N frames, timed, while a receiver listens (rvcan: can-dump in another
         process, whose count of received and dropped frames is printed; virtual: a second bus in
         this process).
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

import can

FRAME = can.Message(arbitration_id=0x123, data=bytes.fromhex("00224488AABBEEFF"), is_extended_id=False)


def receive_rate(bus: can.BusABC, frames: int, start_peer) -> tuple:
    peer = start_peer()
    first = bus.recv(10)
    if first is None:
        raise RuntimeError("no frame arrived")
    began = time.perf_counter()
    received = 1
    while received < frames and bus.recv(0.5) is not None:
        received += 1
    elapsed = time.perf_counter() - began
    peer()
    return (received - 1) / elapsed, frames - received


def send_rate(bus: can.BusABC, frames: int) -> float:
    began = time.perf_counter()
    for _ in range(frames):
        bus.send(FRAME)
    return frames / (time.perf_counter() - began)


def drain(bus: can.BusABC) -> None:
    while bus.recv(0.2) is not None:
        pass


def measure_virtual(frames: int) -> dict:
    channel = f"bench-{os.getpid()}"
    receiver = can.Bus(interface="virtual", channel=channel)
    sender = can.Bus(interface="virtual", channel=channel)

    def start_sender_thread():
        thread = threading.Thread(target=send_rate, args=(sender, frames))
        thread.start()
        return thread.join

    received, dropped = receive_rate(receiver, frames, start_sender_thread)
    sent = send_rate(sender, frames)
    drain(receiver)
    sender.shutdown()
    receiver.shutdown()
    return {"receive": received, "receive_dropped": dropped, "send": sent}


def measure_rvcan(frames: int, library: str, tools: str) -> dict:
    options = {"interface": "rvcan", "channel": "CAN1:", "bitrate": 125000, "library": library,
               "receive_queue_size": frames, "driver_queue_depth": 32768}
    bus = can.Bus(**options)

    def start_can_send():
        process = subprocess.Popen([os.path.join(tools, "can-send"), "-n", str(frames), "CAN1:",
                                    "123#00224488AABBEEFF"])
        return process.wait

    received, dropped = receive_rate(bus, frames, start_can_send)
    # can-dump prints every frame and so falls behind a sender this fast: its driver queue drops
    # frames, which it counts and reports; waiting for all N of them would never end.
    dump = subprocess.Popen([os.path.join(tools, "can-dump"), "-d", "CAN1:"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    try:
        time.sleep(0.5)  # until can-dump has started its queue
        sent = send_rate(bus, frames)
        time.sleep(0.2)
        dump.send_signal(signal.SIGINT)
        _, report = dump.communicate(timeout=10)
    finally:
        if dump.poll() is None:
            dump.kill()
            dump.wait()
    dropped += bus.dropped
    bus.shutdown()
    return {"receive": received, "receive_dropped": dropped, "send": sent,
            "send_peer": report.strip()}


def main() -> int:
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--bin", default=os.path.join(here, "..", "..", "build", "bin"),
                        help="folder of can-send, can-dump and librvcan32ce.so")
    parser.add_argument("--library", help="the driver library (default: in --bin)")
    arguments = parser.parse_args()
    library = arguments.library or os.path.join(arguments.bin, "librvcan32ce.so")
    if not shutil.which(os.path.join(arguments.bin, "can-send")):
        print(f"bench: no can-send in {arguments.bin}; build first or give --bin", file=sys.stderr)
        return 1
    os.environ.setdefault("RVCAN32CE_NAMESPACE", f"bench-python-{os.getpid()}")

    results = {"virtual": [], "rvcan": []}
    for _ in range(arguments.runs):
        results["virtual"].append(measure_virtual(arguments.frames))
        results["rvcan"].append(measure_rvcan(arguments.frames, library, arguments.bin))
    print(f"python-can {can.__version__}, Python {sys.version.split()[0]}, {arguments.frames} frames, "
          f"{arguments.runs} runs; frames/s, median (min-max)")
    for figure in ("receive", "send"):
        medians = {}
        for interface, runs in results.items():
            values = [run[figure] for run in runs]
            medians[interface] = statistics.median(values)
            extra = ""
            if figure == "receive":
                extra = f", dropped {sum(run['receive_dropped'] for run in runs)}"
            print(f"{figure:8} {interface:8} {medians[interface]:10.0f} "
                  f"({min(values):.0f}-{max(values):.0f}){extra}")
        print(f"{figure:8} ratio rvcan/virtual {medians['rvcan'] / medians['virtual']:.2f}")
    for run in results["rvcan"]:
        print(f"send     rvcan peer: {run['send_peer']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
