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


OPEN_WITHOUT_LIBRARY = """
import os, can, rvcan.driver
with can.Bus(interface="rvcan", channel="CAN1:", bitrate=125000) as bus:
    print(os.path.dirname(rvcan.driver.__file__), rvcan.driver.default_library_path())
"""


def open_bus(**options):
    return can.Bus(interface="rvcan", channel="CAN1:", library=LIBRARY, **options)


class RvCanBusTest(unittest.TestCase):
    def test_frames_cross_between_two_buses_with_their_fields(self):
        with open_bus(bitrate=125000) as sender, open_bus() as receiver:
            sent = [can.Message(arbitration_id=0x123, data=bytes.fromhex("00224488AABBEEFF"), is_extended_id=False),
                    can.Message(arbitration_id=0x12345678, data=b"\x11\x22\x33", is_extended_id=True),
                    can.Message(arbitration_id=0x321, is_remote_frame=True, is_extended_id=False, dlc=4),
                    can.Message(arbitration_id=0x7FF, data=b"", is_extended_id=False)]
            for message in sent:
                sender.send(message)
            for message in sent:
                got = receiver.recv(2)
                self.assertIsNotNone(got)
                self.assertEqual((got.arbitration_id, got.is_extended_id, got.is_remote_frame, got.dlc,
                                  bytes(got.data), got.is_rx),
                                 (message.arbitration_id, message.is_extended_id, message.is_remote_frame,
                                  message.dlc, bytes(message.data), True))

    def test_own_frames_come_back_only_when_asked_and_then_as_sent(self):
        with open_bus() as quiet, open_bus(receive_own_messages=True) as echoing, open_bus() as other:
            for identifier, bus in ((0x101, quiet), (0x102, echoing), (0x103, other)):
                bus.send(can.Message(arbitration_id=identifier, data=b"\x01", is_extended_id=False))
            heard = {name: sorted((message.arbitration_id, message.is_rx) for message in iter(lambda: bus.recv(1), None))
                     for name, bus in (("quiet", quiet), ("echoing", echoing))}
            self.assertEqual(heard["quiet"], [(0x102, True), (0x103, True)])
            self.assertEqual(heard["echoing"], [(0x101, True), (0x102, False), (0x103, True)])

    def test_recv_on_a_shut_down_bus_raises_also_when_it_was_waiting(self):
        bus = open_bus()
        outcome = []

        def wait():
            try:
                outcome.append(bus.recv(10))
            except can.CanError as error:
                outcome.append(error)

        waiter = threading.Thread(target=wait)
        waiter.start()
        time.sleep(0.2)
        bus.shutdown()
        waiter.join(5)
        self.assertIsInstance(outcome[0], can.CanOperationError)
        with self.assertRaises(can.CanOperationError):
            bus.recv(0)

    def test_send_waits_for_room_no_longer_than_its_timeout(self):
        # At 10 kbit/s each frame holds the wire for 11 ms or more: 40 sent at once overflow the
        # transmit queue of 32, unless each send waits for room as the driver does by itself.
        with open_bus(bitrate=10000) as bus:
            frame = can.Message(arbitration_id=0x7FF, data=b"\xff" * 8, is_extended_id=False)
            with self.assertRaisesRegex(can.CanOperationError, "stayed full for 0 ms"):
                for _ in range(40):
                    bus.send(frame, timeout=0)
            bus.send(frame, timeout=None)  # waits for room

    def test_the_installed_package_opens_a_bus_from_any_directory_without_library(self):
        # As the README installs it: the driver beside the package, nothing on the search path.
        environment = {key: value for key, value in os.environ.items() if key != "LD_LIBRARY_PATH"}
        child = subprocess.run([sys.executable, "-c", OPEN_WITHOUT_LIBRARY], cwd="/", env=environment,
                               capture_output=True, text=True, timeout=30)
        self.assertEqual(child.returncode, 0, child.stderr)
        package, library = child.stdout.split()
        self.assertEqual(library, os.path.join(package, "librvcan32ce.so"))

    def test_channel_names_that_are_not_devices_are_refused_saying_what_they_mean(self):
        with self.assertRaisesRegex(can.CanInitializationError, "the virtual bus is 'CAN1:' .with the colon"):
            can.Bus(interface="rvcan", channel="CAN1", library=LIBRARY)
        with self.assertRaisesRegex(can.CanInitializationError, "'can0' is neither a device nor a SocketCAN interface"):
            can.Bus(interface="rvcan", channel="can0", library=LIBRARY)
        os.environ["RVCAN32CE_CAN3"] = "nosuchcan3"
        try:  # the interface a device is mapped to opens that device
            with self.assertRaisesRegex(can.CanInitializationError, "cannot open CAN3:.*nosuchcan3\"? does not"):
                can.Bus(interface="rvcan", channel="nosuchcan3", library=LIBRARY)
        finally:
            del os.environ["RVCAN32CE_CAN3"]

    def test_a_bus_dropped_without_shutdown_while_frames_flow_closes_safely(self):
        # In a child: without a safe close the interpreter dies of SIGSEGV, or the dropped bus's frames
        # reach a bus opened after it, whose receive function took the freed one's place.
        child = subprocess.run([sys.executable, "-c", DROP_WITHOUT_SHUTDOWN, LIBRARY, TOOLS],
                               capture_output=True, text=True, timeout=60)
        self.assertEqual((child.returncode, child.stdout.strip()), (0, "frames on CAN2: 0"), child.stderr)

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

    def test_shutdown_warns_of_sent_frames_a_held_bus_never_took(self):
        # At 10 kbit/s each of its frames holds the wire for 13 ms: time enough, even on a loaded
        # machine, to bid for the next slot before it is given, so ours never win one.
        holder = subprocess.Popen([os.path.join(TOOLS, "can-send"), "-b", "10", "-n", "1000000", "CAN1:",
                                   "000#0011223344556677"], stderr=subprocess.DEVNULL)
        try:
            time.sleep(0.3)  # its queue full, its frames back to back
            bus = open_bus(bitrate=10000)
            for _ in range(20):
                bus.send(can.Message(arbitration_id=0x123, data=b"\x11", is_extended_id=False))
            with self.assertWarnsRegex(RuntimeWarning, r"[1-9][0-9]* sent frames never reached the bus"):
                bus.shutdown()
        finally:
            holder.terminate()  # as Ctrl+C would: it leaves the bus and its files go with it
            holder.wait()

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


DROP_WITHOUT_SHUTDOWN = """
import gc, os, subprocess, sys, time
import can
library, tools = sys.argv[1], sys.argv[2]
flood = subprocess.Popen([os.path.join(tools, "can-send"), "-n", "100000", "-g", "0", "CAN1:", "123#11"])
try:
    for _ in range(5):
        dropped = can.Bus(interface="rvcan", channel="CAN1:", library=library)
        if dropped.recv(5) is None:
            sys.exit("the flood did not arrive")
        del dropped
        gc.collect()
    later = [can.Bus(interface="rvcan", channel="CAN2:", library=library) for _ in range(5)]
    time.sleep(0.5)
    print("frames on CAN2:", sum(1 for bus in later for _ in iter(lambda: bus.recv(0), None)))
    for bus in later:
        bus.shutdown()
finally:
    flood.kill()
    flood.wait()
"""


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
