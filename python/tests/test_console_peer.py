"""python-can and the console on one bus: can-check runs in an 80x24 terminal under tmux, the test
types at it and reads its screen.

Run: bash python/tests/run-tests.sh build (CTest runs it as python_rvcan in plain builds).
"""

import os
import re
import shlex
import subprocess
import time
import unittest

import can

LIBRARY = os.environ.get("RVCAN_LIBRARY")
TOOLS = os.environ.get("RVCAN_TOOLS", os.path.dirname(LIBRARY or ""))
PATIENCE = float(os.environ.get("CANCHECK_TEST_PATIENCE", "20"))  # seconds one expected screen may take


def tick_ms():
    # The driver's receive time stamp: CLOCK_MONOTONIC in ms, 32 bits, as time.monotonic() reads it.
    return int(time.monotonic() * 1000) & 0xFFFFFFFF


class Terminal:
    """can-check in a detached tmux session of its own server, 80 columns by 24 rows."""

    def __init__(self, program):
        self._socket = f"rvcan-console-test-{os.getpid()}"
        command = " ".join(["env", "-u", "LD_LIBRARY_PATH", "LC_ALL=C.UTF-8",
                            f"RVCAN32CE_NAMESPACE={shlex.quote(os.environ['RVCAN32CE_NAMESPACE'])}",
                            shlex.quote(program)])
        self._tmux("new-session", "-d", "-s", "console", "-x", "80", "-y", "24", command)

    def _tmux(self, *arguments):
        return subprocess.run(["tmux", "-L", self._socket, "-f", "/dev/null", *arguments], check=True,
                              capture_output=True, text=True, timeout=10).stdout

    def screen(self):
        return self._tmux("capture-pane", "-p", "-t", "console")

    def keys(self, *names):
        self._tmux("send-keys", "-t", "console", *names)

    def wait_for(self, pattern, what):
        """The first match of the regular expression on the screen, waited for PATIENCE seconds."""
        deadline = time.monotonic() + PATIENCE
        while True:
            match = re.search(pattern, self.screen())
            if match:
                return match
            if time.monotonic() > deadline:
                raise AssertionError(f"{what}; the screen:\n{self.screen()}")
            time.sleep(0.1)

    def close(self):
        subprocess.run(["tmux", "-L", self._socket, "kill-server"], capture_output=True)


def fields(message):
    return message.arbitration_id, message.is_extended_id, message.is_remote_frame, bytes(message.data)


class ConsolePeerTest(unittest.TestCase):
    def test_frames_cross_between_python_can_and_the_console_with_their_cells(self):
        with can.Bus(interface="rvcan", channel="CAN1:", bitrate=125000, library=LIBRARY) as bus:
            console = Terminal(os.path.join(TOOLS, "can-check"))
            self.addCleanup(console.close)
            console.wait_for("CAN - Check", "the dialog did not appear")
            console.keys("Tab", "Tab", "Space")  # from Cancel over the bit-rate list to the connect button
            console.wait_for("Close", "the connect button does not read \"Close\"")

            before = tick_ms()
            bus.send(can.Message(arbitration_id=0x1ABCDE0F, is_extended_id=True, data=b"\x11\x22\x33"))
            row = console.wait_for(r"1abcde0f +Yes +([0-9a-f]+) +3 +11 22 33 ", "the frame is not in the list")
            self.assertLessEqual(before, int(row.group(1), 16))
            self.assertLessEqual(int(row.group(1), 16), tick_ms())

            # Over the frame-id edit, the check box, the length list and the eight data bytes to Start.
            console.keys(*["Tab"] * 12)
            console.wait_for(r">\s*Start\s*<", "Tab did not reach the transmit button")
            console.keys("Space")
            heard = bus.recv(PATIENCE)  # the console's frame; not its own, python-can's default
            self.assertIsNotNone(heard)
            self.assertEqual(fields(heard), (0x123, False, False, bytes.fromhex("00224488AABBEEFF")))
            self.assertEqual(heard.dlc, 8)


if __name__ == "__main__":
    unittest.main()
