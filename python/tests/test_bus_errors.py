"""bus.state and error frames through the rvcan interface: with the driver's receive functions and
controller state played by the test at the ctypes level, and end to end on a virtual bus.

Run: bash python/tests/run-tests.sh build (CTest runs it as python_rvcan in plain builds).
"""

import ctypes
import os
import subprocess
import threading
import unittest
import warnings
from unittest import mock

import can

from rvcan import driver

os.environ.setdefault("RVCAN32CE_NAMESPACE", f"pytest-{os.getpid()}")
LIBRARY = os.environ.get("RVCAN_LIBRARY")
TOOLS = os.environ.get("RVCAN_TOOLS", os.path.dirname(LIBRARY or ""))
CAN_FAULT = os.path.join(TOOLS, "can-fault")

ReadBusState = ctypes.CFUNCTYPE(driver.BOOL, driver.DWORD, ctypes.POINTER(driver.RvCanBusState))

PROTOCOL_ERROR = 0x008 | 0x080 | 0x200  # CAN_ERR_PROT | CAN_ERR_BUSERROR | CAN_ERR_CNT
ACK_ERROR = PROTOCOL_ERROR | 0x020  # and CAN_ERR_ACK
STATE_CHANGE = 0x004 | 0x200  # CAN_ERR_CRTL | CAN_ERR_CNT
TX_WARNING, TX_PASSIVE = 0x08, 0x20  # CAN_ERR_CRTL_TX_*
PROTOCOL_TX, ACK_SLOT, CRC_SEQUENCE = 0x80, 0x19, 0x08  # CAN_ERR_PROT_TX, CAN_ERR_PROT_LOC_*
# An error frame as the driver hands it over: the transmitter gone error-passive at TEC 128, REC 0.
ERROR_CLASSES = STATE_CHANGE
ERROR_DETAILS = bytes([0, TX_PASSIVE, 0, 0, 0, 0, 128, 0])


def driver_exports(*names):
    library = driver.load_library(LIBRARY)
    return all(hasattr(library, name) for name in names)


def error_rows(messages):
    """What tells error frames apart: classes, controller state, protocol violation and where, TEC."""
    return [(m.arbitration_id, m.data[1], m.data[2], m.data[3], m.data[6]) for m in messages]


def error_record(stamp_ms):
    return driver.RECORD_FORMAT.pack(1, driver.CAN_ERR_FLAG | ERROR_CLASSES, 0, 8, stamp_ms, 0, ERROR_DETAILS)


def data_record(identifier, stamp_ms):
    return driver.pack_record(False, identifier, False, 2, b"\x01\x02", stamp_ms)


class StandInDriver:
    """The driver library with its two receive functions and its controller state played by the test;
    every other entry point is the real library's. Exports named in missing are absent, as from an
    older driver."""

    def __init__(self, missing=()):
        self._missing = set(missing)
        self._library = driver.load_library(LIBRARY)
        self.state = driver.STATE_UNKNOWN  # what RvCanReadBusState reports
        self.functions = {}  # registration entry point -> the function last registered, or None
        played = {"CanRegisterCallback": self._registration("CanRegisterCallback"),
                  "RvCanRegisterErrorCallback": self._registration("RvCanRegisterErrorCallback"),
                  "RvCanReadBusState": ReadBusState(self._read_state)}
        for name, function in played.items():
            if name not in self._missing:
                setattr(self, name, function)

    def __getattr__(self, name):  # what __init__ did not set
        if name in self._missing:
            raise AttributeError(name)
        return getattr(self._library, name)

    def _registration(self, name):
        def register(device, function):
            self.functions[name] = function if function else None
            return 1
        return register

    def _read_state(self, device, controller):
        controller.contents.state = self.state
        return 1

    def deliver(self, *calls):
        """Calls the registered functions, (entry point, record) after (entry point, record), on a thread
        of their own as the driver's receive thread does."""
        def run():
            for name, record in calls:
                buffer = ctypes.create_string_buffer(record, driver.RECORD_SIZE)
                self.functions[name](ctypes.addressof(buffer))

        thread = threading.Thread(target=run, name="stand-in receive thread")
        thread.start()
        thread.join(10)


def open_bus(library, **options):
    with mock.patch("rvcan.driver.load_library", return_value=library):
        return can.Bus(interface="rvcan", channel="CAN5:", **options)


class BusStateTest(unittest.TestCase):
    STATES = [  # RvCanBusState.state, bus.state
        (0, can.BusState.ACTIVE),   # RVCAN_STATE_ERROR_ACTIVE
        (1, can.BusState.ACTIVE),   # RVCAN_STATE_ERROR_WARNING
        (2, can.BusState.PASSIVE),  # RVCAN_STATE_ERROR_PASSIVE
        (3, can.BusState.ERROR),    # RVCAN_STATE_BUS_OFF
        (4, can.BusState.ACTIVE),   # RVCAN_STATE_UNKNOWN: python-can's default
    ]

    def test_bus_state_names_the_controllers_state_as_python_can_does(self):
        library = StandInDriver()
        with open_bus(library) as bus:
            for state, expected in self.STATES:
                library.state = state
                with self.subTest(state=state):
                    self.assertEqual(bus.state, expected)
        with self.assertRaisesRegex(can.CanOperationError, "shut down"):
            bus.state


class ErrorFrameTest(unittest.TestCase):
    def test_error_frames_reach_recv_in_order_with_data_frames_past_the_filters(self):
        library = StandInDriver()
        with open_bus(library, can_filters=[{"can_id": 0x123, "can_mask": 0x7FF, "extended": False}]) as bus:
            library.deliver(("CanRegisterCallback", data_record(0x123, 1000)),
                            ("RvCanRegisterErrorCallback", error_record(1250)),
                            ("CanRegisterCallback", data_record(0x124, 1400)),
                            ("CanRegisterCallback", data_record(0x123, 1500)))
            heard = list(iter(lambda: bus.recv(0.5), None))
        self.assertEqual([(m.is_error_frame, m.arbitration_id, m.is_extended_id, m.dlc, bytes(m.data), m.is_rx,
                           m.channel) for m in heard],
                         [(False, 0x123, False, 2, b"\x01\x02", True, "CAN5:"),
                          (True, ERROR_CLASSES, False, 8, ERROR_DETAILS, True, "CAN5:"),
                          (False, 0x123, False, 2, b"\x01\x02", True, "CAN5:")])
        # One clock for both kinds: the driver's distances between the stamps.
        self.assertEqual([round(m.timestamp - heard[0].timestamp, 3) for m in heard], [0.0, 0.25, 0.5])

    def test_error_frames_are_asked_for_unless_ignored_or_the_driver_cannot(self):
        rows = [  # options, exports missing, error function registered, bus.state while bus-off
            ({}, (), True, can.BusState.ERROR),
            ({"ignore_rx_error_frames": True}, (), False, can.BusState.ERROR),
            ({}, ("RvCanRegisterErrorCallback", "RvCanReadBusState"), False, can.BusState.ACTIVE),
        ]
        for options, missing, registered, state in rows:
            with self.subTest(options=options, missing=missing):
                library = StandInDriver(missing)
                library.state = driver.STATE_BUS_OFF
                with open_bus(library, **options) as bus:
                    self.assertEqual(library.functions.get("RvCanRegisterErrorCallback") is not None, registered)
                    self.assertEqual(bus.state, state)
                    library.deliver(("CanRegisterCallback", data_record(0x123, 1000)))
                    self.assertEqual(bus.recv(5).arbitration_id, 0x123)


@unittest.skipUnless(driver_exports("RvCanReadBusState", "RvCanRegisterErrorCallback"),
                     "the driver has no controller state or error frames")
class VirtualBusTest(unittest.TestCase):
    def test_a_lone_sender_nobody_acknowledges_hears_why_and_goes_error_passive(self):
        os.environ["RVCAN32CE_BUS_ACK"] = "wire"  # read as the device opens
        try:
            bus = can.Bus(interface="rvcan", channel="CAN6:", library=LIBRARY)
        finally:
            del os.environ["RVCAN32CE_BUS_ACK"]
        try:
            bus.send(can.Message(arbitration_id=0x123, data=b"\x11", is_extended_id=False))
            heard = []
            for message in iter(lambda: bus.recv(10), None):
                heard.append(message)
                if (message.arbitration_id, message.data[1]) == (STATE_CHANGE, TX_PASSIVE):
                    break
            state = bus.state
        finally:
            with warnings.catch_warnings(record=True) as unsent:  # the frame nobody acknowledged
                warnings.simplefilter("always")
                bus.shutdown()
        # 8 for each attempt that nobody acknowledged, error-warning at 96, error-passive at 128.
        expected = []
        for transmit_errors in range(8, 129, 8):
            expected.append((ACK_ERROR, 0, PROTOCOL_TX, ACK_SLOT, transmit_errors))
            if transmit_errors in (96, 128):
                expected.append((STATE_CHANGE, TX_WARNING if transmit_errors == 96 else TX_PASSIVE, 0, 0,
                                 transmit_errors))
        self.assertEqual(error_rows(heard), expected)
        self.assertEqual({(m.is_error_frame, m.is_extended_id, m.dlc) for m in heard}, {(True, False, 8)})
        self.assertEqual(state, can.BusState.PASSIVE)
        self.assertRegex(" ".join(str(warning.message) for warning in unsent), "1 sent frames never reached the bus")

    @unittest.skipUnless(os.path.exists(CAN_FAULT), "can-fault is not built")
    def test_a_receiver_hears_a_frames_injected_fault_before_the_frame_itself(self):
        with can.Bus(interface="rvcan", channel="CAN7:", library=LIBRARY) as receiver, \
                can.Bus(interface="rvcan", channel="CAN7:", library=LIBRARY) as sender:
            subprocess.run([CAN_FAULT, "CAN7:", "123"], check=True, capture_output=True, timeout=30)
            sender.send(can.Message(arbitration_id=0x123, data=b"\x11", is_extended_id=False))
            heard = [receiver.recv(10) for _ in range(2)]
        # A CRC error in the frame, REC 1; then the frame, sent again.
        self.assertEqual([message and (message.is_error_frame, message.arbitration_id, bytes(message.data))
                          for message in heard],
                         [(True, PROTOCOL_ERROR, bytes([0, 0, 0, CRC_SEQUENCE, 0, 0, 0, 1])),
                          (False, 0x123, b"\x11")])


if __name__ == "__main__":
    unittest.main()
