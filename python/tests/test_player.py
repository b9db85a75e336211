"""can.player replays recorded traces onto the bus while can-dump, in another process, listens.

Run: bash python/tests/run-tests.sh build (CTest runs it as python_rvcan in plain builds).
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import can

LIBRARY = os.environ.get("RVCAN_LIBRARY")
TOOLS = os.environ.get("RVCAN_TOOLS", os.path.dirname(LIBRARY or ""))
# 500 kbit/s: the longest frame takes about 0.3 ms on the wire, well inside the trace's 1 ms gaps.
BITRATE = 500000
FRAME_COUNT = 1000
# Only gaps this long are compared: shorter ones are within the scheduler's and the stamps' noise.
COMPARED_GAP_MS = 10
# A replayed gap may differ from the recorded one by this much: 1 ms of stamp resolution at each end
# and the player's sleep overshooting on a loaded machine.
GAP_TOLERANCE_MS = 5
# ... and this share of the compared gaps may miss that, when the scheduler stalls a process.
ALLOWED_OUTLIERS = 0.2
PROBE = can.Message(arbitration_id=0x7FF, is_extended_id=False, data=b"\x5A")
# Standard ids are right-aligned in 8 columns once an extended id was shown, as candump does.
DUMP_LINE = re.compile(r"^ \((\d+)\.(\d{6})\)  CAN1:  +([0-9A-F]+)   \[(\d)\]  ?(remote request|[0-9A-F ]*)$")


def trace():
    """FRAME_COUNT frames in (microseconds, message) order: ids, formats and lengths mixed, remote
    frames among them; 1 ms apart, with a pause of 10 to 29 ms after every tenth."""
    at_us = 0
    for n in range(FRAME_COUNT):
        extended = n % 3 == 0
        identifier = (n * 0x1F3B5) & 0x1FFFFFFF if extended else (n * 7) & 0x7FE
        remote = n % 25 == 7
        data = b"" if remote else bytes((n + i) & 0xFF for i in range(n % 9))
        yield at_us, can.Message(arbitration_id=identifier, is_extended_id=extended, is_remote_frame=remote,
                                 data=data)
        at_us += (10 + n // 10 % 20) * 1000 if n % 10 == 9 else 1000


def write_candump_log(path):
    # As candump -l writes it: (seconds.microseconds) interface ID#DATA, ID#R for a remote frame.
    start_us = 1_700_000_000 * 1_000_000
    with open(path, "w") as log:
        for at_us, message in trace():
            width = 8 if message.is_extended_id else 3
            identifier = f"{message.arbitration_id:0{width}X}"
            payload = "R" if message.is_remote_frame else message.data.hex().upper()
            seconds, micros = divmod(start_us + at_us, 1_000_000)
            log.write(f"({seconds}.{micros:06d}) can0 {identifier}#{payload}\n")


def write_asc(path):
    with can.ASCWriter(path) as writer:
        for at_us, message in trace():
            message.timestamp = 1000.0 + at_us / 1e6
            writer.on_message_received(message)


def fields(message):
    return message.arbitration_id, message.is_extended_id, message.is_remote_frame, bytes(message.data)


def parse_dump(text):
    """(fields, time stamp in ms) of each line can-dump -t a printed."""
    frames = []
    for line in text.splitlines():
        match = DUMP_LINE.match(line)
        if not match:
            raise AssertionError(f"can-dump printed {line!r}")
        seconds, micros, identifier, length, payload = match.groups()
        remote = payload == "remote request"
        data = b"" if remote else bytes.fromhex(payload)
        if not remote and len(data) != int(length):
            raise AssertionError(f"can-dump printed {line!r}")
        stamp_ms = int(seconds) * 1000 + int(micros) / 1000
        frames.append(((int(identifier, 16), len(identifier) == 8, remote, data), stamp_ms))
    return frames


class PlayerTest(unittest.TestCase):
    def replay_into_dump(self, path):
        """What can-dump heard while can.player replayed path: (fields, ms) per frame."""
        with open(path + ".dump", "w+") as dumped:
            dump = subprocess.Popen([os.path.join(TOOLS, "can-dump"), "-t", "a", "-b", str(BITRATE // 1000),
                                     "CAN1:"], stdout=dumped, text=True)
            try:
                self.wait_until_listening(dumped)
                subprocess.run([sys.executable, "-m", "can.player", "-i", "rvcan", "-c", "CAN1:", "-b",
                                str(BITRATE), f"--library={LIBRARY}", path], check=True, capture_output=True,
                               timeout=60)
                self.wait_for_lines(dumped, FRAME_COUNT)
            finally:
                dump.send_signal(signal.SIGINT)
                dump.wait(10)
            dumped.seek(0)
            return parse_dump(dumped.read())

    @staticmethod
    def wait_until_listening(dumped):
        # Probes until can-dump prints one; the caller takes the frames after the last probe.
        with can.Bus(interface="rvcan", channel="CAN1:", bitrate=BITRATE, library=LIBRARY) as bus:
            for _ in range(100):
                bus.send(PROBE)
                time.sleep(0.1)
                dumped.seek(0)
                if "7FF   [1]  5A" in dumped.read():
                    return
        raise AssertionError("can-dump does not print the probe frame")

    @staticmethod
    def wait_for_lines(dumped, count):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            dumped.seek(0)
            lines = dumped.read().splitlines()
            if sum(1 for line in lines if "7FF   [1]  5A" not in line) >= count:
                return
            time.sleep(0.1)

    def test_can_player_replays_a_candump_log_and_an_asc_file_in_order_with_their_gaps(self):
        with tempfile.TemporaryDirectory() as folder:
            for name, write in (("trace.log", write_candump_log), ("trace.asc", write_asc)):
                with self.subTest(trace=name):
                    path = os.path.join(folder, name)
                    write(path)
                    recorded = list(can.LogReader(path))
                    self.assertEqual(len(recorded), FRAME_COUNT)
                    heard = self.replay_into_dump(path)
                    probes = [n for n, (frame, _) in enumerate(heard) if frame == fields(PROBE)]
                    heard = heard[probes[-1] + 1:]
                    self.assertEqual([frame for frame, _ in heard], [fields(message) for message in recorded])
                    self.assert_gaps_kept([message.timestamp * 1000 for message in recorded],
                                          [stamp for _, stamp in heard])

    def assert_gaps_kept(self, recorded_ms, heard_ms):
        compared = 0
        missed = []
        for n in range(1, len(recorded_ms)):
            recorded_gap = recorded_ms[n] - recorded_ms[n - 1]
            if recorded_gap < COMPARED_GAP_MS:
                continue
            compared += 1
            heard_gap = heard_ms[n] - heard_ms[n - 1]
            if abs(heard_gap - recorded_gap) > GAP_TOLERANCE_MS:
                missed.append((n, round(recorded_gap, 3), heard_gap))
        self.assertGreaterEqual(compared, FRAME_COUNT // 10 - 1)
        self.assertLessEqual(len(missed), ALLOWED_OUTLIERS * compared, f"gaps (frame, recorded ms, replayed ms) "
                             f"off by more than {GAP_TOLERANCE_MS} ms: {missed}")


if __name__ == "__main__":
    unittest.main()
