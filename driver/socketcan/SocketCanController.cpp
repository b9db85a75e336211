#include "SocketCanController.h"

#include <linux/can/netlink.h>

#include "LinkKind.h"
#include "RvCanExports.h"
#include "libsocketcan.h"

namespace {

bool HasController(const std::string& interfaceName)
{
    InterfaceLink link = LookUpInterface(interfaceName);
    return link.kind == "can" && link.up;
}

} // namespace

uint32_t BusStateFromKernel(int kernelState)
{
    switch (kernelState) {
    case CAN_STATE_ERROR_ACTIVE: return RVCAN_STATE_ERROR_ACTIVE;
    case CAN_STATE_ERROR_WARNING: return RVCAN_STATE_ERROR_WARNING;
    case CAN_STATE_ERROR_PASSIVE: return RVCAN_STATE_ERROR_PASSIVE;
    case CAN_STATE_BUS_OFF: return RVCAN_STATE_BUS_OFF;
    default: return RVCAN_STATE_UNKNOWN;
    }
}

bool ReadControllerState(const std::string& interfaceName, DeviceBusState& state)
{
    int kernelState = 0;
    if (!HasController(interfaceName) || can_get_state(interfaceName.c_str(), &kernelState) != 0 ||
        BusStateFromKernel(kernelState) == RVCAN_STATE_UNKNOWN) {
        return false;
    }
    state.state = BusStateFromKernel(kernelState);
    can_berr_counter counters{};
    if (can_get_berr_counter(interfaceName.c_str(), &counters) == 0) {
        state.transmitErrors = counters.txerr;
        state.receiveErrors = counters.rxerr;
    }
    return true;
}

bool RestartIfBusOff(const std::string& interfaceName, std::string& why)
{
    DeviceBusState state;
    if (!ReadControllerState(interfaceName, state) || state.state != RVCAN_STATE_BUS_OFF) {
        return true;
    }
    __u32 restartMs = 0;
    if (can_get_restart_ms(interfaceName.c_str(), &restartMs) == 0 && restartMs != 0) {
        return true; // the kernel restarts it itself, and refuses a restart by hand meanwhile
    }
    if (can_do_restart(interfaceName.c_str()) == 0) {
        return true;
    }
    // Kept short: the driver passes on at most 255 characters of it.
    why = interfaceName + " is bus-off; restarting it needs CAP_NET_ADMIN: run 'ip link set " +
          interfaceName + " type can restart' as root, or for automatic recovery 'ip link set " +
          interfaceName + " type can restart-ms 100' while it is down";
    return false;
}
