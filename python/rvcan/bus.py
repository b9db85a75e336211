"""RvCanBus: python-can's BusABC on one device of the rvcan32ce driver library ("CAN0:" to "CAN9:")."""

import collections
import ctypes
import os
import re
import threading
import time
from typing import Any, List, Optional, Tuple

import can

from rvcan import driver

BITRATES_KBIT = (10, 20, 50, 100, 125, 250, 500, 800, 1000)
DEFAULT_BITRATE = 125000
# Frames the driver may hold for this device before it skips the oldest: room for the time the
# receive thread waits for Python's interpreter lock while another thread holds it.
DEFAULT_DRIVER_QUEUE_DEPTH = 4096
# Received frames waiting for recv(); beyond this the oldest are dropped and counted.
DEFAULT_RECEIVE_QUEUE_SIZE = 10000
_ACCEPT_EVERY_FRAME = (0, 0xFFFFFFFF, 0xFFFFFFFF)
_CHANNEL_PATTERN = re.compile(r"^CAN([0-9]):?$", re.IGNORECASE)
_ROLLOVER_MS = 1 << 32
# How often a waiting recv() asks whether the device has failed for good.
_FAULT_CHECK_S = 0.1


def _device_name(channel: Any) -> str:
    if isinstance(channel, int) and 0 <= channel <= 9:
        return f"CAN{channel}:"
    match = _CHANNEL_PATTERN.match(str(channel)) if channel is not None else None
    if not match:
        raise can.CanInitializationError(f"channel {channel!r}: use CAN0: to CAN9:")
    return f"CAN{match.group(1)}:"


def _kbit_per_second(bitrate: Optional[int]) -> int:
    if bitrate is None:
        bitrate = DEFAULT_BITRATE
    if bitrate % 1000 == 0 and bitrate // 1000 in BITRATES_KBIT:
        return bitrate // 1000
    rates = ", ".join(str(kbit * 1000) for kbit in BITRATES_KBIT)
    raise can.CanInitializationError(f"bitrate {bitrate} bit/s: the driver takes {rates} bit/s")


def _tick_ms() -> int:
    # What the console puts into a record it sends: milliseconds of a monotonic clock, 32 bits.
    return int(time.monotonic() * 1000) & 0xFFFFFFFF


class _ReceiveQueue:
    """Frames from the driver's receive thread to recv(), bounded, counting what it drops."""

    def __init__(self, capacity: int):
        self._capacity = capacity
        # Touched by the driver's receive thread (put) and by readers (get); guarded by _ready's lock.
        self._frames = collections.deque()
        self._ready = threading.Condition(threading.Lock())
        self._waiting = 0
        self.dropped = 0

    def put(self, frame) -> None:
        with self._ready:
            if len(self._frames) >= self._capacity:
                self._frames.popleft()
                self.dropped += 1
            self._frames.append(frame)
            if self._waiting:
                self._ready.notify()

    def get(self, timeout: Optional[float]):
        """The oldest frame, or None once timeout (seconds; None: no limit) has passed."""
        with self._ready:
            if self._frames:
                return self._frames.popleft()
            if timeout is not None and timeout <= 0:
                return None
            deadline = None if timeout is None else time.monotonic() + timeout
            self._waiting += 1
            try:
                while not self._frames:
                    left = None if deadline is None else deadline - time.monotonic()
                    if left is not None and left <= 0:
                        return None
                    self._ready.wait(left)
                return self._frames.popleft()
            finally:
                self._waiting -= 1


class _Timestamps:
    """Turns the driver's 32-bit millisecond stamps into python-can's seconds since the epoch.

    The first frame's stamp is pinned to the wall clock at its arrival; later frames keep the
    driver's distances, with its 32-bit roll-over unwrapped. Used on the receive thread only.
    """

    def __init__(self):
        self._origin = None
        self._last_ms = 0
        self._elapsed_ms = 0

    def seconds(self, stamp_ms: int) -> float:
        if self._origin is None:
            self._origin = time.time()
        else:
            self._elapsed_ms += (stamp_ms - self._last_ms) % _ROLLOVER_MS
        self._last_ms = stamp_ms
        return self._origin + self._elapsed_ms / 1000.0


class RvCanBus(can.BusABC):
    """One device of the rvcan32ce driver library: a virtual bus, or the SocketCAN interface that
    RVCAN32CE_CANn maps the device to.

    :param channel: "CAN0:" to "CAN9:" (also "CAN1" or 1).
    :param bitrate: in bit/s, one of the driver's nine rates (default 125000).
    :param library: path of the driver library; default: the one beside this package, else
        librvcan32ce.so (rvcan32ce.dll on Windows) on the library search path.
    :param receive_queue_size: received frames kept for recv(); the oldest beyond it are dropped
        and counted in `dropped`.
    :param driver_queue_depth: frames the driver holds for this device before it drops.
    """

    def __init__(self, channel: Any = "CAN1:", can_filters=None, bitrate: Optional[int] = None,
                 library: Optional[str] = None, receive_queue_size: int = DEFAULT_RECEIVE_QUEUE_SIZE,
                 driver_queue_depth: int = DEFAULT_DRIVER_QUEUE_DEPTH, fd: bool = False,
                 **kwargs: Any):
        if fd:
            raise can.CanInitializationError("rvcan: CAN FD is not supported, classic CAN only")
        name = _device_name(channel)
        kbit = _kbit_per_second(bitrate)
        self._device = 0
        self._closed = False
        self._close_lock = threading.Lock()
        try:
            self._library = driver.load_library(library)
        except driver.DriverError as error:
            raise can.CanInterfaceNotImplementedError(str(error)) from None
        self._queue = _ReceiveQueue(receive_queue_size)
        self._timestamps = _Timestamps()
        self._thread_state_kept = False
        # Registered with the driver until shutdown() removes it; ctypes frees the thunk with it.
        self._receive_function = driver.make_receive_function(self._on_record)
        self.channel = name
        self.channel_info = self._describe(name, kbit)
        self._open(name, kbit, driver_queue_depth)
        super().__init__(channel=name, can_filters=can_filters, **kwargs)

    def _describe(self, name: str, kbit: int) -> str:
        mapped = os.environ.get(f"RVCAN32CE_CAN{name[3]}", "")
        where = f"SocketCAN {mapped}" if mapped else "virtual bus"
        return f"rvcan {name} ({where}) at {kbit} kbit/s, {self._library.path}"

    def _open(self, name: str, kbit: int, depth: int) -> None:
        self._device = self._library.CanCreateDevice(name, 0)
        if not self._device:
            raise can.CanInitializationError(self._refused(f"cannot open {name}"))
        try:
            if not self._library.CanSetBaudrate(self._device, (driver.DWORD * 2)(kbit, 0)):
                raise can.CanInitializationError(self._refused(f"{name}: cannot set {kbit} kbit/s"))
            self._library.CanWriteDescriptorEx(self._device, *_ACCEPT_EVERY_FRAME)
            self._library.CanRegisterCallback(self._device, self._receive_function)
            if not self._library.CanStartReceiveQueue(self._device, depth):
                raise can.CanInitializationError(self._refused(f"{name}: cannot start receiving"))
        except BaseException:
            self._close_device()
            raise

    def _refused(self, what: str) -> str:
        reason = driver.refusal_reason(self._library)
        return f"rvcan: {what}: {reason}" if reason else f"rvcan: {what}"

    def _on_record(self, address: Optional[int]) -> None:
        # On the driver's receive thread, one frame at a time; the record is the driver's.
        if not address:
            return
        if not self._thread_state_kept:
            self._keep_thread_state()
        extended, identifier, remote, stamp, data = driver.unpack_record(address)
        self._queue.put((self._timestamps.seconds(stamp), identifier, extended, remote, data))

    def _keep_thread_state(self) -> None:
        # ctypes enters a thread Python does not know with a fresh thread state on every call and
        # deletes it on return, which costs more than the frame itself; one unmatched
        # PyGILState_Ensure keeps the driver thread's state for the calls that follow.
        ctypes.pythonapi.PyGILState_Ensure()
        self._thread_state_kept = True

    @property
    def dropped(self) -> int:
        """Frames the receive queue dropped because recv() did not keep up."""
        return self._queue.dropped

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[can.Message], bool]:
        frame = self._next_frame(timeout)
        if frame is None:
            return None, False
        timestamp, identifier, extended, remote, data = frame
        message = can.Message(timestamp=timestamp, arbitration_id=identifier, is_extended_id=extended,
                              is_remote_frame=remote, dlc=len(data), data=data, channel=self.channel,
                              is_rx=True)
        return message, False

    def _next_frame(self, timeout: Optional[float]):
        """The next frame, or None after timeout; raises once the device has failed for good (a remote
        bus whose connection is lost), after the frames that came before, so that no wait lasts forever."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            frame = self._queue.get(_FAULT_CHECK_S if left is None else min(left, _FAULT_CHECK_S))
            if frame is not None:
                return frame
            fault = driver.device_fault(self._library, self._device)
            if fault:
                raise can.CanOperationError(f"rvcan: {self.channel} {fault}")
            if left is not None and left <= _FAULT_CHECK_S:
                return None

    def send(self, msg: can.Message, timeout: Optional[float] = None) -> None:
        """Hands msg to the driver, which takes or refuses it at once (timeout is not needed)."""
        record = self._record_for(msg)
        if self._closed:
            raise can.CanOperationError("rvcan: the bus is shut down")
        if not self._library.CanTransmittMessageEx(self._device, record):
            raise can.CanOperationError(self._refused(f"{self.channel}: the driver refused {msg}"))

    @staticmethod
    def _record_for(msg: can.Message) -> bytes:
        if msg.is_fd:
            raise can.CanOperationError("rvcan: CAN FD frames are not supported, classic CAN only")
        if msg.is_error_frame:
            raise can.CanOperationError("rvcan: error frames cannot be sent")
        limit = 0x1FFFFFFF if msg.is_extended_id else 0x7FF
        if not 0 <= msg.arbitration_id <= limit:
            raise can.CanOperationError(f"rvcan: identifier {msg.arbitration_id:#x} is out of range")
        data = b"" if msg.is_remote_frame else bytes(msg.data or b"")
        if len(data) > 8:
            raise can.CanOperationError(f"rvcan: {len(data)} data bytes, classic CAN carries 0 to 8")
        return driver.pack_record(msg.is_extended_id, msg.arbitration_id, msg.is_remote_frame, data,
                                  _tick_ms())

    def shutdown(self) -> None:
        """Stops receiving, removes the receive function and closes the device; a second call does
        nothing."""
        super().shutdown()
        self._close_device()

    def _close_device(self) -> None:
        with self._close_lock:
            if self._closed:
                return
            self._closed = True
            if self._device:
                # The driver's order: each of these returns only when the receive function has
                # finished, so after them nothing calls into this object.
                self._library.CanStopReceiveQueue(self._device)
                self._library.CanRegisterCallback(self._device, driver.NO_RECEIVE_FUNCTION)
                self._library.CanCloseDevice(self._device)

    @staticmethod
    def _detect_available_configs() -> List[dict]:
        try:
            driver.load_library()
        except driver.DriverError:
            return []
        return [{"interface": "rvcan", "channel": f"CAN{n}:"} for n in range(10)]
