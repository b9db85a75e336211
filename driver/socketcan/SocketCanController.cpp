#include "SocketCanController.h"

#include <linux/can/netlink.h>

#include "ErrorFrames.h"
#include "LinkKind.h"
#include "RvCanExports.h"
#include "libsocketcan.h"

namespace {

bool HasController(const std::string& interfaceName)
{
    InterfaceLink link = LookUpInterface(interfaceName);
    return link.kind == "can" && link.up;
}

// The state the controller's bits in data[1] report, the worst first; unknown when none is set.
uint32_t StateFromControllerBits(uint8_t bits)
{
    if ((bits & (kCanControllerRxPassive | kCanControllerTxPassive)) != 0) {
        return RVCAN_STATE_ERROR_PASSIVE;
    }
    if ((bits & (kCanControllerRxWarning | kCanControllerTxWarning)) != 0) {
        return RVCAN_STATE_ERROR_WARNING;
    }
    return (bits & kCanControllerActive) != 0 ? RVCAN_STATE_ERROR_ACTIVE : RVCAN_STATE_UNKNOWN;
}

uint32_t StateOfErrorFrame(uint32_t classes, const uint8_t (&data)[8])
{
    if ((classes & kCanErrorBusOff) != 0) {
        return RVCAN_STATE_BUS_OFF;
    }
    if ((classes & kCanErrorRestarted) != 0) {
        return RVCAN_STATE_ERROR_ACTIVE;
    }
    return (classes & kCanErrorController) != 0 ? StateFromControllerBits(data[1]) : RVCAN_STATE_UNKNOWN;
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

DeviceBusState AfterErrorFrame(DeviceBusState known, const CanMessageDescriptor& errorFrame)
{
    uint32_t classes = errorFrame.id & ~kCanErrorFlag;
    uint32_t state = StateOfErrorFrame(classes, errorFrame.data);
    if (state != RVCAN_STATE_UNKNOWN) {
        known.state = state;
    }
    // Drivers fill data[6] and data[7] in their controller and bus error frames, before the kernel
    // had a class bit to say so.
    uint8_t transmit = errorFrame.data[6];
    uint8_t receive = errorFrame.data[7];
    if ((classes & kCanErrorCounters) != 0 || transmit != 0 || receive != 0) {
        known.transmitErrors = transmit;
        known.receiveErrors = receive;
    } else if ((classes & kCanErrorRestarted) != 0) {
        known.transmitErrors = 0; // a restart clears them
        known.receiveErrors = 0;
    }
    return known;
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
