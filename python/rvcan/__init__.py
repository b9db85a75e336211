"""python-can interface for the rvcan32ce CAN driver library: can.Bus(interface="rvcan", channel="CAN1:")."""

from rvcan.bus import RvCanBus

__all__ = ["RvCanBus"]
