"""Our slcan device with python-can's own slcan interface at the other end of a null modem: two
pseudo-terminals joined by socat, as two hosts joined by a null-modem cable. Our side is reached through
the rvcan plugin (channel "CAN1:" mapped with RVCAN32CE_CAN1=slcan:PORT), as a user would.

Neither end answers the other's commands, and each skips the other's C, S and O lines: the case the
device's "do not require an answer" is for.

Run: bash python/tests/run-tests.sh build (CTest runs it as python_rvcan in plain builds).
"""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

import can

LIBRARY = os.environ.get("RVCAN_LIBRARY")
# Standard, extended and remote frames, 0 to 8 bytes.
FRAMES = ([can.Message(arbitration_id=0x100 + n, is_extended_id=False, data=bytes(range(0x10 * n, 0x10 * n + n)))
           for n in range(9)] +
          [can.Message(arbitration_id=0x1ABCDE00 + n, is_extended_id=True, data=bytes([0xA0 + n] * n))
           for n in range(9)] +
          [can.Message(arbitration_id=0x7FF, is_extended_id=False, is_remote_frame=True, dlc=4),
           can.Message(arbitration_id=0x1FFFFFFF, is_extended_id=True, is_remote_frame=True, dlc=0)])


def fields(message):
    return (message.arbitration_id, message.is_extended_id, message.is_remote_frame, message.dlc,
            bytes(message.data))


@unittest.skipUnless(LIBRARY and shutil.which("socat"), "needs the driver library and socat")
class SlcanNullModem(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.ours, self.theirs = (os.path.join(self.folder, name) for name in ("ours", "theirs"))
        self.socat = subprocess.Popen(["socat", f"pty,raw,echo=0,link={self.ours}",
                                       f"pty,raw,echo=0,link={self.theirs}"])
        deadline = time.monotonic() + 10
        while not (os.path.exists(self.ours) and os.path.exists(self.theirs)):
            self.assertLess(time.monotonic(), deadline, "socat made no null modem")
            time.sleep(0.01)
        os.environ["RVCAN32CE_CAN1"] = f"slcan:{self.ours}"
        self.peer = can.Bus(interface="slcan", channel=self.theirs, bitrate=500000, sleep_after_open=0)
        self.bus = can.Bus(interface="rvcan", channel="CAN1:", bitrate=500000, library=LIBRARY)

    def tearDown(self):
        self.bus.shutdown()
        self.peer.shutdown()
        del os.environ["RVCAN32CE_CAN1"]
        self.socat.terminate()
        self.socat.wait()
        shutil.rmtree(self.folder)

    def receive(self, bus, count):
        received = []
        deadline = time.monotonic() + 10
        while len(received) < count and time.monotonic() < deadline:
            message = bus.recv(0.5)
            if message is not None:
                received.append(message)
        return received

    def test_frames_both_ways(self):
        for message in FRAMES:
            self.peer.send(message)
        self.assertEqual([fields(m) for m in self.receive(self.bus, len(FRAMES))], [fields(m) for m in FRAMES])

        for message in FRAMES:
            self.bus.send(message)
        self.assertEqual([fields(m) for m in self.receive(self.peer, len(FRAMES))], [fields(m) for m in FRAMES])


if __name__ == "__main__":
    unittest.main()
