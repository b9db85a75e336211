"""The rvcan32ce driver library through ctypes: its ten entry points, the 32-byte message record and
the driver's own extras (controller state, error frames).

The library is found as the console finds it: an explicit path when one is given, else the file
beside this package, else by name on the system's library search path (LD_LIBRARY_PATH included;
on Windows the DLL search order).
"""

import ctypes
import os
import struct
import sys
from typing import Callable, Optional

IS_WINDOWS = sys.platform == "win32"
LIBRARY_NAME = "rvcan32ce.dll" if IS_WINDOWS else "librvcan32ce.so"

# The record: extended, id, remote (32-bit words), length (16 bits), a 2-byte gap, timestamp,
# reserved (32-bit words), 8 data bytes; native byte order, which is little-endian on every target.
RECORD_FORMAT = struct.Struct("<IIIH2xII8s")
RECORD_SIZE = 32
assert RECORD_FORMAT.size == RECORD_SIZE
# What the driver keeps in reserved, which the console writes as 0 and never reads (driver/FrameRules.h):
# a remote frame's DLC both ways (length counts data bytes, and a remote frame has none), and on
# receive a mark on the frames the receiving device sent itself.
RESERVED_OWN_FRAME = 1 << 0
RESERVED_REMOTE_DLC_SHIFT = 8
RESERVED_REMOTE_DLC_MASK = 0xF << RESERVED_REMOTE_DLC_SHIFT

# Error frames come in SocketCAN's form (linux/can/error.h): id CAN_ERR_FLAG | the error classes,
# length 8, the details in data.
CAN_ERR_FLAG = 0x20000000
CAN_ERR_MASK = 0x1FFFFFFF

# RvCanBusState.state: the controller's fault confinement state, or unknown where the kind of device
# cannot tell.
STATE_ERROR_ACTIVE = 0
STATE_ERROR_WARNING = 1
STATE_ERROR_PASSIVE = 2
STATE_BUS_OFF = 3
STATE_UNKNOWN = 4

# The entry points use the platform's standard calling convention: stdcall on 32-bit Windows.
_FUNCTION_TYPE = ctypes.WINFUNCTYPE if IS_WINDOWS else ctypes.CFUNCTYPE
DWORD = ctypes.c_uint32
BOOL = ctypes.c_int
# The receive function gets the record's address; a plain address is the cheapest to take apart.
ReceiveFunction = _FUNCTION_TYPE(None, ctypes.c_void_p)
NO_RECEIVE_FUNCTION = ReceiveFunction()  # the null function that CanRegisterCallback removes with


class RvCanBusState(ctypes.Structure):
    _fields_ = [("state", DWORD), ("transmitErrors", DWORD), ("receiveErrors", DWORD)]


_ENTRY_POINTS = {
    "CanCreateDevice": (DWORD, [ctypes.c_wchar_p, DWORD]),
    "CanCloseDevice": (BOOL, [DWORD]),
    "CanSetBaudrate": (BOOL, [DWORD, ctypes.POINTER(DWORD)]),
    "CanReset": (BOOL, [DWORD, ctypes.POINTER(DWORD)]),
    "CanTransmittMessageEx": (BOOL, [DWORD, ctypes.c_char_p]),
    "CanWriteDescriptorEx": (BOOL, [DWORD, DWORD, DWORD, DWORD]),
    "CanReadDescriptorEx": (BOOL, [DWORD, DWORD, ctypes.POINTER(DWORD), ctypes.POINTER(DWORD)]),
    "CanRegisterCallback": (BOOL, [DWORD, ReceiveFunction]),
    "CanStartReceiveQueue": (BOOL, [DWORD, DWORD]),
    "CanStopReceiveQueue": (BOOL, [DWORD]),
}


# The driver's own extras, not among the ten: optional, a library without them still works.
_EXTRA_ENTRY_POINTS = {
    "RvCanTransmitWithin": (BOOL, [DWORD, ctypes.c_char_p, DWORD]),
    "RvCanReadBusState": (BOOL, [DWORD, ctypes.POINTER(RvCanBusState)]),
    # A second receive function, for the device's error frames only.
    "RvCanRegisterErrorCallback": (BOOL, [DWORD, ReceiveFunction]),
}


class DriverError(Exception):
    """The library could not be loaded or lacks an entry point, or an entry point refused."""


def default_library_path() -> str:
    """The library beside this package if it is there, else its bare name for the loader's search."""
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_NAME)
    return beside if os.path.isfile(beside) else LIBRARY_NAME


def load_library(path: Optional[str] = None):
    path = path or default_library_path()
    loader = ctypes.WinDLL if IS_WINDOWS else ctypes.CDLL
    try:
        library = loader(path)
    except OSError as error:
        raise DriverError(f"cannot load the CAN driver library {path}: {error}") from None
    for name, (result, arguments) in _ENTRY_POINTS.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise DriverError(f"{path} has no entry point {name}") from None
        function.restype = result
        function.argtypes = arguments
    for name, (result, arguments) in _EXTRA_ENTRY_POINTS.items():
        function = getattr(library, name, None)
        if function is not None:
            function.restype = result
            function.argtypes = arguments
    library.path = path
    return library


def refusal_reason(library) -> str:
    """Why the calling thread's last entry point call was refused, if the library says; else ''."""
    # Not one of the ten entry points: the stand-in driver's own, used only to word an error.
    explain = getattr(library, "RvCanGetLastError", None)
    if explain is None:
        return ""
    explain.restype = DWORD
    explain.argtypes = [ctypes.c_char_p, DWORD]
    text = ctypes.create_string_buffer(256)
    explain(text, len(text))
    return text.value.decode("utf-8", "replace")


def close_device(library, device: int) -> int:
    """Closes device as CanCloseDevice does (its queued frames get 1 s to reach the bus) and returns
    how many frames it accepted but dropped at close; 0 from a driver that cannot say."""
    # Not one of the ten entry points: the stand-in driver's own, beside them.
    counting = getattr(library, "RvCanCloseDeviceEx", None)
    if counting is None:
        library.CanCloseDevice(device)
        return 0
    counting.restype = BOOL
    counting.argtypes = [DWORD, ctypes.POINTER(DWORD)]
    unsent = DWORD(0)
    counting(device, ctypes.byref(unsent))
    return unsent.value


def device_fault(library, device: int) -> str:
    """Why the device no longer works at all ("connection to ... lost: ..."), if the library says; else ''."""
    # The stand-in driver's own, like RvCanGetLastError: a driver without it never reports a fault.
    tell = getattr(library, "RvCanGetDeviceFault", None)
    if tell is None:
        return ""
    tell.restype = DWORD
    tell.argtypes = [DWORD, ctypes.c_char_p, DWORD]
    text = ctypes.create_string_buffer(512)
    tell(device, text, len(text))
    return text.value.decode("utf-8", "replace")


def read_bus_state(library, device: int) -> int:
    """The device's STATE_*; STATE_UNKNOWN from a driver that cannot say."""
    read = getattr(library, "RvCanReadBusState", None)
    controller = RvCanBusState(STATE_UNKNOWN, 0, 0)
    if read is None or not read(device, ctypes.byref(controller)):
        return STATE_UNKNOWN
    return controller.state


def pack_record(extended: bool, identifier: int, remote: bool, dlc: int, data: bytes, tick: int) -> bytes:
    """The record as the sender fills it: a data frame's bytes (those after them 0), or a remote frame's
    DLC in reserved."""
    reserved = dlc << RESERVED_REMOTE_DLC_SHIFT if remote else 0
    return RECORD_FORMAT.pack(int(extended), identifier, int(remote), 0 if remote else len(data),
                              tick & 0xFFFFFFFF, reserved, b"" if remote else data)


def unpack_record(address: int):
    """(extended, id, remote, dlc, timestamp, data, own) of the record at address: at most 8 data
    bytes; own when the receiving device sent the frame."""
    extended, identifier, remote, length, timestamp, reserved, data = RECORD_FORMAT.unpack(
        ctypes.string_at(address, RECORD_SIZE))
    own = bool(reserved & RESERVED_OWN_FRAME)
    if remote == 1:
        return extended == 1, identifier, True, min((reserved & RESERVED_REMOTE_DLC_MASK) >>
                                                    RESERVED_REMOTE_DLC_SHIFT, 8), timestamp, b"", own
    data = data[:length]
    return extended == 1, identifier, False, len(data), timestamp, data, own


def unpack_error_record(address: int):
    """(classes, timestamp, details) of the error frame record at address: classes without
    CAN_ERR_FLAG, at most 8 detail bytes."""
    _, identifier, _, length, timestamp, _, data = RECORD_FORMAT.unpack(ctypes.string_at(address, RECORD_SIZE))
    return identifier & CAN_ERR_MASK, timestamp, data[:length]


def make_receive_function(on_record: Callable[[int], None]):
    """A receive function for CanRegisterCallback; the caller keeps it alive while registered."""
    return ReceiveFunction(on_record)
