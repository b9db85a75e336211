"""python-can's own socketcand client against can-serve, with can-send and can-dump on the served bus.

python-can 4.1's client sends an id as plain hex, so an extended id below 0x800 arrives as a standard
one, and it takes every frame it receives as extended: the frames here keep clear of the first, and
the comparisons of received frames leave out the second.

Run: bash python/tests/run-tests.sh build (CTest runs it as python_rvcan in plain builds).
"""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import can

LIBRARY = os.environ.get("RVCAN_LIBRARY")
TOOLS = os.environ.get("RVCAN_TOOLS", os.path.dirname(LIBRARY or ""))
RATE_KBIT = "500"
PROBE = can.Message(arbitration_id=0x7FF, is_extended_id=False, data=b"\x5A")
# Standard ids are right-aligned in 8 columns once an extended id was shown, as candump does.
DUMP_LINE = re.compile(r"^  CAN1:  +([0-9A-F]+)   \[(\d)\]  ?([0-9A-F ]*)$")
# Standard and extended ids, 0 to 8 bytes.
FRAMES = [can.Message(arbitration_id=0x100 + n if n % 2 else 0x1234500 + n, is_extended_id=n % 2 == 0,
                      data=bytes((0x11 * n + i) & 0xFF for i in range(n % 9))) for n in range(18)]


def start_server():
    server = subprocess.Popen([os.path.join(TOOLS, "can-serve"), "-p", "0", "-n", "-b", RATE_KBIT, "CAN1"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = server.stdout.readline()
    match = re.search(r"listening on 127\.0\.0\.1:(\d+),", line)
    if not match:
        server.kill()
        raise AssertionError(f"can-serve printed {line!r}, {server.stderr.read()!r}")
    return server, int(match.group(1))


def fields(message):
    return message.arbitration_id, message.is_extended_id, bytes(message.data)


def received_fields(message):
    return message.arbitration_id, bytes(message.data)


def dumped_fields(line):
    match = DUMP_LINE.match(line)
    if not match:
        raise AssertionError(f"can-dump printed {line!r}")
    identifier, length, payload = match.groups()
    data = bytes.fromhex(payload)
    if len(data) != int(length):
        raise AssertionError(f"can-dump printed {line!r}")
    return int(identifier, 16), len(identifier) == 8, data


def frame_text(message):
    width = 8 if message.is_extended_id else 3
    return f"{message.arbitration_id:0{width}X}#{message.data.hex().upper()}"


class ServedBusTest(unittest.TestCase):
    """Runs a can-serve of its own for each test; it must end cleanly on SIGTERM."""

    def setUp(self):
        self.server, self.port = start_server()

    def tearDown(self):
        self.server.send_signal(signal.SIGTERM)
        _, errors = self.server.communicate(timeout=10)
        self.assertEqual(self.server.returncode, 0, errors)


class SocketcandTest(ServedBusTest):

    def open_remote(self):
        return can.Bus(interface="socketcand", host="127.0.0.1", port=self.port, channel="CAN1")

    def start_dump(self, remote, dumped):
        """can-dump on the served bus, writing into the file dumped, once it prints a probe sent through
        remote; the frames after the probe's line are what the caller reads."""
        dump = subprocess.Popen([os.path.join(TOOLS, "can-dump"), "-b", RATE_KBIT, "CAN1:"], stdout=dumped)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            remote.send(PROBE)
            time.sleep(0.1)
            dumped.seek(0)
            lines = dumped.read().splitlines()
            if lines and "7FF   [1]  5A" in lines[-1]:
                return dump, len(lines)
        dump.kill()
        raise AssertionError("can-dump does not print the probe frame")

    @staticmethod
    def dumped_after(dumped, start, count):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            dumped.seek(0)
            lines = dumped.read().splitlines()[start:]
            if len(lines) >= count:
                return [dumped_fields(line) for line in lines]
            time.sleep(0.05)
        raise AssertionError(f"can-dump printed {len(lines)} of {count} frames")

    def test_frames_cross_both_ways_field_for_field(self):
        with self.open_remote() as remote:
            with tempfile.TemporaryFile("w+") as dumped:
                dump, start = self.start_dump(remote, dumped)
                try:
                    for message in FRAMES:
                        remote.send(message)
                    heard = self.dumped_after(dumped, start, len(FRAMES))
                finally:
                    dump.send_signal(signal.SIGINT)
                    dump.wait(10)
            self.assertEqual(heard, [fields(message) for message in FRAMES])

            while remote.recv(0.2) is not None:  # nothing of its own comes back
                self.fail("python-can received a frame it sent")
            for message in FRAMES:
                subprocess.run([os.path.join(TOOLS, "can-send"), "-b", RATE_KBIT, "CAN1:", frame_text(message)],
                               check=True, timeout=10)
            heard = [remote.recv(5) for _ in FRAMES]
            self.assertNotIn(None, heard)
            self.assertEqual([received_fields(message) for message in heard],
                             [received_fields(message) for message in FRAMES])

    def test_can_logger_and_can_player_work_through_the_server(self):
        remote_options = ["-i", "socketcand", "-c", "CAN1", "--host=127.0.0.1", f"--port={self.port}"]
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "trace.asc")
            logger = subprocess.Popen([sys.executable, "-m", "can.logger", *remote_options, "-f", path],
                                      stdout=subprocess.PIPE, text=True)
            try:
                for line in logger.stdout:
                    if line.startswith("Can Logger"):  # printed once its bus is open
                        break
                with can.Bus(interface="rvcan", channel="CAN1:", bitrate=int(RATE_KBIT) * 1000,
                             library=LIBRARY) as witness:
                    subprocess.run([os.path.join(TOOLS, "can-send"), "-b", RATE_KBIT, "-r", "-n", "300", "-g", "0",
                                    "CAN1:"], check=True, timeout=30)
                    sent = [witness.recv(5) for _ in range(300)]
                self.assertNotIn(None, sent)
                time.sleep(2)  # the logger's last frames, on a loaded machine too
            finally:
                logger.send_signal(signal.SIGINT)
                logger.communicate(timeout=10)
            logged = list(can.LogReader(path))
            self.assertEqual([received_fields(message) for message in logged],
                             [received_fields(message) for message in sent])

            # Played back through the server: the ids are standard, below 0x800, so they arrive as such.
            with self.open_remote() as remote, tempfile.TemporaryFile("w+") as dumped:
                dump, start = self.start_dump(remote, dumped)
                try:
                    subprocess.run([sys.executable, "-m", "can.player", *remote_options, path], check=True,
                                   capture_output=True, timeout=60)
                    heard = self.dumped_after(dumped, start, len(logged))
                finally:
                    dump.send_signal(signal.SIGINT)
                    dump.wait(10)
            self.assertEqual([(identifier, data) for identifier, _, data in heard],
                             [received_fields(message) for message in logged])


class Connection:
    """A socketcand client written out by hand, for what python-can's client does not do."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.buffer = b""

    def send(self, text):
        self.socket.sendall(text.encode("ascii"))

    def next_message(self):
        while b">" not in self.buffer:
            chunk = self.socket.recv(4096)
            if not chunk:
                raise AssertionError(f"connection closed, {self.buffer!r} left")
            self.buffer += chunk
        end = self.buffer.index(b">") + 1
        message, self.buffer = self.buffer[:end].strip().decode("ascii"), self.buffer[end:]
        return message

    def open_bus(self):
        assert self.next_message() == "< hi >"
        self.send("< open CAN1 >")
        assert self.next_message() == "< ok >"

    def close(self):
        self.socket.close()


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


class ServerTest(ServedBusTest):
    def test_bcm_mode_sends_cyclic_jobs_and_delivers_subscribed_and_changed_frames(self):
        sender, receiver = Connection(self.port), Connection(self.port)
        try:
            sender.open_bus()
            receiver.open_bus()
            receiver.send("< subscribe 0 0 123 >< filter 0 0 00012345 2 FF 00 >< echo >")
            self.assertEqual(receiver.next_message(), "< echo >")
            sender.send("< add 0 20000 123 2 AA BB >")
            first = [receiver.next_message() for _ in range(3)]
            sender.send("< update 123 1 CC >")
            for payload in ("11 22", "11 33", "44 55"):  # the second changes only unmasked bits
                sender.send(f"< send 00012345 2 {payload} >")
            time.sleep(0.1)
            sender.send("< delete 123 >< echo >")
            self.assertEqual(sender.next_message(), "< echo >")
            time.sleep(0.1)  # the last frames leave the wire
            receiver.send("< echo >")
            later = []
            while (message := receiver.next_message()) != "< echo >":
                later.append(message)
        finally:
            sender.close()
            receiver.close()
        self.assertEqual([m.split()[4:-1] for m in first], [["AA", "BB"]] * 3)
        filtered = [m.split()[4:-1] for m in later if " 00012345 " in m]
        self.assertEqual(filtered, [["11", "22"], ["44", "55"]])
        self.assertIn(["CC"], [m.split()[4:-1] for m in later if " 123 " in m])

    def test_a_client_killed_mid_message_leaves_no_thread_behind(self):
        present = Connection(self.port)
        try:
            present.open_bus()
            present.send("< echo >")
            self.assertEqual(present.next_message(), "< echo >")
            idle = thread_count(self.server.pid)
            killed = Connection(self.port)
            killed.open_bus()
            killed.send("< rawmode >< send 12")
            killed.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            killed.close()  # a reset, as when the client is killed
            deadline = time.monotonic() + 10
            while thread_count(self.server.pid) != idle and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(thread_count(self.server.pid), idle)
            present.send("< echo >")
            self.assertEqual(present.next_message(), "< echo >")
        finally:
            present.close()


if __name__ == "__main__":
    unittest.main()
