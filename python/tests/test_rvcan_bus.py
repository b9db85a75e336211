"""The rvcan interface through python-can on a private set of virtual buses.

Run: bash python/tests/run-tests.sh build (CTest runs it as python_rvcan in plain builds).
"""

import os
import subprocess
import threading
import time
import unittest

import can

os.environ.setdefault("RVCAN32CE_NAMESPACE", f"pytest-{os.getpid()}")
LIBRARY = os.environ.get("RVCAN_LIBRARY")
TOOLS = os.environ.get("RVCAN_TOOLS", os.path.join(os.path.dirname(LIBRARY or ""), ""))


def open_bus(**options):
    return can.Bus(interface="rvcan", channel="CAN1:", library=LIBRARY, **options)


class RvCanBusTest(unittest.TestCase):
    def test_frames_cross_between_two_buses_with_their_fields(self):
        with open_bus(bitrate=125000) as sender, open_bus() as receiver:
            sent = [can.Message(arbitration_id=0x123, data=bytes.fromhex("00224488AABBEEFF"), is_extended_id=False),
                    can.Message(arbitration_id=0x12345678, data=b"\x11\x22\x33", is_extended_id=True),
                    can.Message(arbitration_id=0x321, is_remote_frame=True, is_extended_id=False),
                    can.Message(arbitration_id=0x7FF, data=b"", is_extended_id=False)]
            for message in sent:
                sender.send(message)
            for message in sent:
                got = receiver.recv(2)
                self.assertIsNotNone(got)
                self.assertEqual((got.arbitration_id, got.is_extended_id, got.is_remote_frame, bytes(got.data)),
                                 (message.arbitration_id, message.is_extended_id, message.is_remote_frame,
                                  bytes(message.data)))

    def test_a_bus_at_250_hears_nothing_of_125(self):
        with open_bus(bitrate=125000) as sender, open_bus(bitrate=250000) as receiver:
            sender.send(can.Message(arbitration_id=0x1, data=b"\x01", is_extended_id=False))
            self.assertIsNone(receiver.recv(0.5))

    def test_an_unknown_bitrate_names_the_nine(self):
        with self.assertRaisesRegex(can.CanInitializationError, "10000, 20000, 50000, 100000, 125000, "
                                    "250000, 500000, 800000, 1000000 bit/s"):
            open_bus(bitrate=123000)

    def test_fd_and_error_frames_are_refused(self):
        with open_bus() as bus:
            with self.assertRaises(can.CanOperationError):
                bus.send(can.Message(arbitration_id=1, is_fd=True, data=b"\x00" * 12))
            with self.assertRaises(can.CanOperationError):
                bus.send(can.Message(arbitration_id=1, is_error_frame=True))

    def test_shutdown_twice_is_harmless(self):
        bus = open_bus()
        bus.shutdown()
        bus.shutdown()
        with self.assertRaises(can.CanOperationError):
            bus.send(can.Message(arbitration_id=1, is_extended_id=False))

    def test_shutdown_during_a_flood_returns_at_once_and_ends_the_driver_thread(self):
        threads_before = os.listdir("/proc/self/task")
        bus = open_bus()
        flood = subprocess.Popen([os.path.join(TOOLS, "can-send"), "-n", "100000", "-g", "0", "CAN1:",
                                  "123#00224488AABBEEFF"])
        try:
            self.assertIsNotNone(bus.recv(5), "the flood did not arrive")
            began = time.monotonic()
            bus.shutdown()
            self.assertLess(time.monotonic() - began, 1.0)
        finally:
            flood.kill()
            flood.wait()
        self.assertEqual([thread.name for thread in threading.enumerate()], [threading.main_thread().name])
        self.assertEqual(sorted(os.listdir("/proc/self/task")), sorted(threads_before))


if __name__ == "__main__":
    unittest.main()
