"""RvCanBus: python-can's BusABC on one device of the rvcan32ce driver library ("CAN0:" to "CAN9:")."""

import collections
import ctypes
import math
import os
import re
import threading
import time
import weakref
import warnings
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
_DEVICE_PATTERN = re.compile(r"^CAN([0-9]):$", re.IGNORECASE)
# "CAN1" is our device without its colon; "can1" is a SocketCAN interface's name.
_WITHOUT_COLON_PATTERN = re.compile(r"^CAN([0-9])$")
_ROLLOVER_MS = 1 << 32
# A send that may wait for ever still looks between waits of this long whether its bus was shut down.
_TRANSMIT_SLICE_MS = 500
_ARPHRD_CAN = 280  # /sys/class/net/NAME/type of a SocketCAN interface (linux/if_arp.h)
# How often a waiting recv() asks whether the device has failed for good.
_FAULT_CHECK_S = 0.1
# The controller's state as python-can names it: error-warning is still error-active, and a state the
# device cannot know is python-can's default, ACTIVE.
_BUS_STATES = {
    driver.STATE_ERROR_ACTIVE: can.BusState.ACTIVE,
    driver.STATE_ERROR_WARNING: can.BusState.ACTIVE,
    driver.STATE_ERROR_PASSIVE: can.BusState.PASSIVE,
    driver.STATE_BUS_OFF: can.BusState.ERROR,
}


def _device_name(channel: Any) -> str:
    """CAN0: to CAN9:, as the channel names it; never another bus than the one meant."""
    if isinstance(channel, int) and not isinstance(channel, bool) and 0 <= channel <= 9:
        return f"CAN{channel}:"
    text = str(channel)
    match = _DEVICE_PATTERN.match(text)
    if match:
        return f"CAN{match.group(1)}:"
    for n in range(10):
        if text and os.environ.get(f"RVCAN32CE_CAN{n}") == text:
            return f"CAN{n}:"  # exactly that interface, through the device mapped to it
    raise can.CanInitializationError(_channel_refusal(text))


def _channel_refusal(text: str) -> str:
    if _is_socketcan_interface(text):
        return (f"rvcan: channel {text!r} is the SocketCAN interface {text}, which no device is mapped "
                f"to: set RVCAN32CE_CAN1={text} before the program starts and use channel 'CAN1:', "
                f"or use python-can's interface='socketcan', channel={text!r}")
    without_colon = _WITHOUT_COLON_PATTERN.match(text)
    if without_colon:
        return (f"rvcan: channel {text!r} is not a device: the virtual bus is "
                f"'CAN{without_colon.group(1)}:' (with the colon), and no SocketCAN interface is "
                f"named {text}")
    return (f"rvcan: channel {text!r} is neither a device nor a SocketCAN interface here: rvcan opens "
            f"CAN0: to CAN9:, the virtual buses or the SocketCAN interfaces RVCAN32CE_CANn maps them to")


def _is_socketcan_interface(name: str) -> bool:
    if not re.fullmatch(r"[^/\s]{1,15}", name):
        return False
    try:
        with open(f"/sys/class/net/{name}/type", encoding="ascii") as kind:
            return int(kind.read().strip()) == _ARPHRD_CAN
    except (OSError, ValueError):
        return False


def _milliseconds_until(deadline: float) -> int:
    return min(max(0, math.ceil((deadline - time.monotonic()) * 1000)), 0xFFFFFFFE)


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
        # Touched by the driver's receive thread (put), by readers (get) and by close; guarded by
        # _ready's lock.
        self._frames = collections.deque()
        self._ready = threading.Condition(threading.Lock())
        self._waiting = 0
        self._closed = False
        self.dropped = 0

    def put(self, frame) -> None:
        with self._ready:
            if len(self._frames) >= self._capacity:
                self._frames.popleft()
                self.dropped += 1
            self._frames.append(frame)
            if self._waiting:
                self._ready.notify()

    def close(self) -> None:
        """Ends every wait in get, now and later, with CanOperationError."""
        with self._ready:
            self._closed = True
            self._ready.notify_all()

    def get(self, timeout: Optional[float]):
        """The oldest frame, or None once timeout (seconds; None: no limit) has passed."""
        with self._ready:
            self._raise_if_closed()
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
                    self._raise_if_closed()
                return self._frames.popleft()
            finally:
                self._waiting -= 1

    def _raise_if_closed(self) -> None:
        if self._closed:
            raise can.CanOperationError("rvcan: the bus is shut down")


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


class _Receiver:
    """The receive functions the driver calls, and what they feed. It holds no reference to the bus, so
    that a bus nobody keeps is collected, and its finalizer closes the device first."""

    def __init__(self, capacity: int, receive_own_messages: bool, receive_error_frames: bool):
        # Items: (timestamp, id, extended, remote, dlc, data, own, error frame).
        self.queue = _ReceiveQueue(capacity)
        self._timestamps = _Timestamps()
        self._receive_own_messages = receive_own_messages
        self._thread_state_kept = False
        # The driver's receive thread, once it has called: read by the closing thread.
        self.thread_id: Optional[int] = None
        # Registered with the driver until _Device.close removes them; ctypes frees the thunks with them.
        self.function = driver.make_receive_function(self._on_record)
        self.error_function = driver.make_receive_function(self._on_error_record) if receive_error_frames else None

    def _on_record(self, address: Optional[int]) -> None:
        # On the driver's receive thread, one frame at a time; the record is the driver's.
        if not self._entered(address):
            return
        extended, identifier, remote, dlc, stamp, data, own = driver.unpack_record(address)
        if own and not self._receive_own_messages:
            return
        self.queue.put((self._timestamps.seconds(stamp), identifier, extended, remote, dlc, data, own, False))

    def _on_error_record(self, address: Optional[int]) -> None:
        # The same thread as _on_record, in order with it: one clock for both kinds of frame.
        if not self._entered(address):
            return
        classes, stamp, data = driver.unpack_error_record(address)
        # SocketCAN's error frames carry no CAN_EFF_FLAG, so python-can's socketcan interface gives
        # them as standard frames.
        self.queue.put((self._timestamps.seconds(stamp), classes, False, False, len(data), data, False, True))

    def _entered(self, address: Optional[int]) -> bool:
        if not address:
            return False
        if not self._thread_state_kept:
            self._keep_thread_state()
        return True

    def _keep_thread_state(self) -> None:
        # ctypes enters a thread Python does not know with a fresh thread state on every call and
        # deletes it on return, which costs more than the frame itself; one unmatched
        # PyGILState_Ensure keeps the driver thread's state for the calls that follow.
        ctypes.pythonapi.PyGILState_Ensure()
        self._thread_state_kept = True
        self.thread_id = threading.get_ident()


class _Device:
    """One open device of the driver and its receiver, closed once: by shutdown(), or by the bus's
    finalizer when the bus is collected without it, or at the interpreter's exit."""

    def __init__(self, library, handle: int, receiver: _Receiver):
        self.library = library
        self.handle = handle
        self.receiver = receiver
        self.closed = False  # set once, under _lock, before the device goes
        self.unsent = 0  # frames the driver dropped at close, set under _lock as it closes
        self._lock = threading.Lock()

    def bus_state(self) -> int:
        """The controller's driver.STATE_*, read under the lock so that a closed device's handle, which
        the driver may give to a device opened later, is never asked."""
        with self._lock:
            if self.closed:
                raise can.CanOperationError("rvcan: the bus is shut down")
            return driver.read_bus_state(self.library, self.handle)

    def close(self) -> None:
        if threading.get_ident() == self.receiver.thread_id:
            # The bus was collected on the driver's own thread, inside the receive function: the
            # driver cannot wait for that call there, and the function's thunk must outlive it. A
            # thread of its own closes, holding the device and the thunk until the driver lets go.
            threading.Thread(target=self._close_now, name="rvcan close").start()
            return
        self._close_now()

    def _close_now(self) -> None:
        with self._lock:
            if self.closed:
                return
            self.closed = True
            self.receiver.queue.close()
            # The driver's order: each of these returns only when the receive function has finished,
            # so after them nothing calls the thunk.
            self.library.CanStopReceiveQueue(self.handle)
            self.library.CanRegisterCallback(self.handle, driver.NO_RECEIVE_FUNCTION)
            unregister_errors = getattr(self.library, "RvCanRegisterErrorCallback", None)
            if unregister_errors is not None:
                unregister_errors(self.handle, driver.NO_RECEIVE_FUNCTION)
            self.unsent = driver.close_device(self.library, self.handle)


class RvCanBus(can.BusABC):
    """One device of the rvcan32ce driver library: a virtual bus, or the SocketCAN interface that
    RVCAN32CE_CANn maps the device to.

    :param channel: "CAN0:" to "CAN9:" (or 0 to 9); the name of an interface that RVCAN32CE_CANn maps
        a device to opens that device. Anything else is refused, saying what it would take.
    :param can_filters: python-can's filters ("can_id", "can_mask", optional "extended"), applied
        in software by python-can to data and remote frames; error frames pass them, as on SocketCAN.
    :param bitrate: in bit/s, one of the driver's nine rates (default 125000).
    :param receive_own_messages: also return the frames this bus sent, with is_rx False (default:
        they are not returned).
    :param ignore_rx_error_frames: do not return the device's error frames (default: recv() returns
        them, with is_error_frame True, as python-can's socketcan interface does).
    :param library: path of the driver library; default: the one beside this package, else
        librvcan32ce.so (rvcan32ce.dll on Windows) on the library search path.
    :param receive_queue_size: received frames kept for recv(); the oldest beyond it are dropped
        and counted in `dropped`.
    :param driver_queue_depth: frames the driver holds for this device before it drops.
    """

    def __init__(self, channel: Any = "CAN1:", can_filters=None, bitrate: Optional[int] = None,
                 receive_own_messages: bool = False, library: Optional[str] = None,
                 receive_queue_size: int = DEFAULT_RECEIVE_QUEUE_SIZE,
                 driver_queue_depth: int = DEFAULT_DRIVER_QUEUE_DEPTH, fd: bool = False,
                 ignore_rx_error_frames: bool = False, **kwargs: Any):
        if fd:
            raise can.CanInitializationError("rvcan: CAN FD is not supported, classic CAN only")
        name = _device_name(channel)
        kbit = _kbit_per_second(bitrate)
        try:
            self._library = driver.load_library(library)
        except driver.DriverError as error:
            raise can.CanInterfaceNotImplementedError(str(error)) from None
        self._transmit_within = getattr(self._library, "RvCanTransmitWithin", None)
        self._receiver = _Receiver(receive_queue_size, bool(receive_own_messages), not ignore_rx_error_frames)
        self.receive_own_messages = bool(receive_own_messages)
        self.channel = name
        self.channel_info = self._describe(name, kbit)
        self._device = self._open(name, kbit, driver_queue_depth)
        # Holds the device, not the bus: runs when the bus is collected or the interpreter exits.
        self._finalizer = weakref.finalize(self, self._device.close)
        super().__init__(channel=name, can_filters=can_filters, **kwargs)

    def _describe(self, name: str, kbit: int) -> str:
        mapped = os.environ.get(f"RVCAN32CE_CAN{name[3]}", "")
        if mapped.startswith("slcan:"):
            where = f"adapter on {mapped[len('slcan:'):]}"
        elif mapped.startswith("socketcand://"):
            where = mapped
        else:
            where = f"SocketCAN {mapped}" if mapped else "virtual bus"
        return f"rvcan {name} ({where}) at {kbit} kbit/s, {self._library.path}"

    def _open(self, name: str, kbit: int, depth: int) -> _Device:
        handle = self._library.CanCreateDevice(name, 0)
        if not handle:
            raise can.CanInitializationError(self._refused(f"cannot open {name}"))
        device = _Device(self._library, handle, self._receiver)
        try:
            if not self._library.CanSetBaudrate(handle, (driver.DWORD * 2)(kbit, 0)):
                raise can.CanInitializationError(self._refused(f"{name}: cannot set {kbit} kbit/s"))
            self._library.CanWriteDescriptorEx(handle, *_ACCEPT_EVERY_FRAME)
            self._library.CanRegisterCallback(handle, self._receiver.function)
            self._register_error_function(handle)
            if not self._library.CanStartReceiveQueue(handle, depth):
                raise can.CanInitializationError(self._refused(f"{name}: cannot start receiving"))
        except BaseException:
            device.close()
            raise
        return device

    def _register_error_function(self, handle: int) -> None:
        register = getattr(self._library, "RvCanRegisterErrorCallback", None)
        if self._receiver.error_function is not None and register is not None:  # else: no error frames
            register(handle, self._receiver.error_function)

    def _refused(self, what: str) -> str:
        reason = driver.refusal_reason(self._library)
        return f"rvcan: {what}: {reason}" if reason else f"rvcan: {what}"

    @property
    def dropped(self) -> int:
        """Frames the receive queue dropped because recv() did not keep up."""
        return self._receiver.queue.dropped

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[can.Message], bool]:
        frame = self._next_frame(timeout)
        if frame is None:
            return None, False
        timestamp, identifier, extended, remote, dlc, data, own, error = frame
        message = can.Message(timestamp=timestamp, arbitration_id=identifier, is_extended_id=extended,
                              is_remote_frame=remote, is_error_frame=error, dlc=dlc, data=data,
                              channel=self.channel, is_rx=not own)
        # SocketCAN's filters do not apply to error frames (its error mask does), so no filter
        # holds one back here either.
        return message, error

    def _next_frame(self, timeout: Optional[float]):
        """The next frame, or None after timeout; raises once the device has failed for good (a remote
        bus whose connection is lost), after the frames that came before, so that no wait lasts forever."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            frame = self._receiver.queue.get(_FAULT_CHECK_S if left is None else min(left, _FAULT_CHECK_S))
            if frame is not None:
                return frame
            fault = driver.device_fault(self._library, self._device.handle)
            if fault:
                raise can.CanOperationError(f"rvcan: {self.channel} {fault}")
            if left is not None and left <= _FAULT_CHECK_S:
                return None

    @property
    def state(self) -> can.BusState:
        """The controller's state: ACTIVE while error-active or error-warning, PASSIVE while
        error-passive, ERROR while bus-off; ACTIVE, python-can's default, where the device cannot tell
        (a driver without RvCanReadBusState). Raises CanOperationError once the bus is shut down."""
        return _BUS_STATES.get(self._device.bus_state(), can.BusState.ACTIVE)

    @state.setter
    def state(self, new_state: can.BusState) -> None:
        raise NotImplementedError("rvcan: the bus state is the controller's; it cannot be set")

    def send(self, msg: can.Message, timeout: Optional[float] = None) -> None:
        """Hands msg to the driver. While the device's transmit queue is full, waits up to timeout
        seconds for room (0: not at all; None: for as long as it takes), then raises
        CanOperationError."""
        record = self._record_for(msg)
        deadline = None if timeout is None else time.monotonic() + max(timeout, 0.0)
        while True:
            if self._device.closed:
                raise can.CanOperationError("rvcan: the bus is shut down")
            wait_ms = _TRANSMIT_SLICE_MS if deadline is None else _milliseconds_until(deadline)
            if self._transmit(record, wait_ms):
                return
            if deadline is not None or self._device.closed or not self._queue_was_full():
                raise can.CanOperationError(self._refused(f"{self.channel}: the driver refused {msg}"))

    def _transmit(self, record: bytes, wait_ms: int) -> bool:
        if self._transmit_within is None:  # an older driver: its own wait
            return bool(self._library.CanTransmittMessageEx(self._device.handle, record))
        return bool(self._transmit_within(self._device.handle, record, wait_ms))

    def _queue_was_full(self) -> bool:
        # Every other refusal is of a frame that _record_for lets through only if the driver takes it.
        return "stayed full" in driver.refusal_reason(self._library)

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
        if len(data) > 8 or (msg.is_remote_frame and not 0 <= msg.dlc <= 8):
            count = msg.dlc if msg.is_remote_frame else len(data)
            raise can.CanOperationError(f"rvcan: DLC {count}, classic CAN carries 0 to 8 bytes")
        return driver.pack_record(msg.is_extended_id, msg.arbitration_id, msg.is_remote_frame, msg.dlc,
                                  data, _tick_ms())

    def shutdown(self) -> None:
        """Stops receiving, removes the receive function and closes the device; a recv() waiting
        meanwhile, and any later one, raises CanOperationError. A second call does nothing. Frames
        sent but still queued get 1 s to reach the bus; a RuntimeWarning says how many did not."""
        super().shutdown()
        if self._finalizer.alive:
            self._finalizer()
            if self._device.unsent:
                warnings.warn(f"{self.channel_info}: {self._device.unsent} sent frames never reached the bus: "
                              "they were still queued when the device closed (the bus did not take them in 1 s)",
                              RuntimeWarning, stacklevel=2)

    @staticmethod
    def _detect_available_configs() -> List[dict]:
        try:
            driver.load_library()
        except driver.DriverError:
            return []
        return [{"interface": "rvcan", "channel": f"CAN{n}:"} for n in range(10)]
