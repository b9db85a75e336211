// A CAN controller's fault confinement state and error counters as the kernel tells them: over netlink
// (libsocketcan) for an interface with a controller behind it, and in the error frames it sends, which
// are all that a vcan interface can have. And the restart of a controller that went bus-off.
#pragma once

#include <string>

#include "cCanDevice.h"

// The state the kernel keeps for a "can" interface that is up; false for one without a controller
// (vcan, vxcan), one that is down (the kernel's STOPPED) or one that is gone. The counters stay as
// given when the controller's driver cannot read them.
bool ReadControllerState(const std::string& interfaceName, DeviceBusState& state);

// True when the controller is not bus-off, recovers by itself (restart-ms is set) or was restarted.
// False, with why and how the operator restarts it, when the restart was refused: it needs
// CAP_NET_ADMIN.
bool RestartIfBusOff(const std::string& interfaceName, std::string& why);

// The kernel's CAN_STATE_* as RVCAN_STATE_*: the four states of fault confinement are the same numbers;
// STOPPED and SLEEPING say nothing about the bus.
uint32_t BusStateFromKernel(int kernelState);
