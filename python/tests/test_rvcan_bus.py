"""The rvcan interface through python-can on a private set of virtual buses.

Run: bash python/tests/run-tests.sh build (CTest runs it as python_rvcan in plain builds).
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
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

    def test_a_lost_socketcand_server_ends_a_waiting_recv_with_the_reason(self):
        server = subprocess.Popen([os.path.join(TOOLS, "can-serve"), "-p", "0", "-n", "CAN2"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            port = re.search(r"listening on 127\.0\.0\.1:(\d+),", server.stdout.readline()).group(1)
            os.environ["RVCAN32CE_CAN1"] = f"socketcand://127.0.0.1:{port}/CAN2"  # after can-serve started
            with open_bus() as bus:
                server.kill()
                server.wait()
                # Without a timeout: the wait would last for ever if the lost connection went unnoticed.
                with self.assertRaisesRegex(can.CanOperationError,
                                            rf"^rvcan: CAN1: connection to 127\.0\.0\.1:{port}/CAN2 lost: "):
                    bus.recv()
        finally:
            os.environ.pop("RVCAN32CE_CAN1", None)
            server.kill()
            server.wait()
            server.stdout.close()

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


def fields(message):
    return message.arbitration_id, message.is_extended_id, message.is_remote_frame, bytes(message.data)


def start_logger(path):
    logger = subprocess.Popen([sys.executable, "-m", "can.logger", "-i", "rvcan", "-c", "CAN1:", "-f", path,
                               f"--library={LIBRARY}"], stdout=subprocess.PIPE, text=True)
    for line in logger.stdout:
        if line.startswith("Can Logger"):  # printed once its bus is open
            return logger
    raise AssertionError(f"can.logger for {path} did not start")


class LoggerTest(unittest.TestCase):
    def test_can_logger_records_a_burst_into_asc_and_blf_frame_for_frame(self):
        with tempfile.TemporaryDirectory() as folder, open_bus() as witness:
            paths = [os.path.join(folder, "burst.asc"), os.path.join(folder, "burst.blf")]
            loggers = [start_logger(path) for path in paths]
            try:
                subprocess.run([os.path.join(TOOLS, "can-send"), "-r", "-n", "1000", "-g", "0", "CAN1:"],
                               check=True, timeout=30)
                heard = [witness.recv(5) for _ in range(1000)]
                self.assertNotIn(None, heard)
                time.sleep(0.5)  # the loggers' last frames
            finally:
                for logger in loggers:
                    logger.send_signal(signal.SIGINT)
                    logger.communicate(timeout=10)
            for path in paths:
                with self.subTest(path=os.path.basename(path)):
                    self.assertEqual([fields(message) for message in can.LogReader(path)],
                                     [fields(message) for message in heard])


if __name__ == "__main__":
    unittest.main()
