// What every device created by CanCreateDevice offers the entry points, whichever bus carries its frames:
// a virtual bus (cDevice), a SocketCAN interface (cSocketCanDevice) or a socketcand server's bus
// (cSocketcandDevice).
//
// Guarantees every kind keeps: when RegisterCallback, StopQueue or Close returns on a caller's thread,
// the previous receive function is not running and is not called again; called from inside the receive
// function they cannot wait for it, so only later calls are affected.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CanDriverTable.h"

struct DeviceCounters
{
    uint64_t received;    // frames handed to the receive function
    uint64_t dropped;     // frames lost before the receive function could have them (queue overrun)
    uint64_t errorFrames; // error frames the device saw; handed to the error function only
};

struct DeviceBusState
{
    uint32_t state = 4; // RVCAN_STATE_* (RvCanExports.h); unknown unless the kind of device can tell
    uint32_t transmitErrors = 0;
    uint32_t receiveErrors = 0;
};

class cCanDevice : public std::enable_shared_from_this<cCanDevice>
{
public:
    virtual ~cCanDevice() = default;

    // A refusal (false) says why in why, for RvCanGetLastError.
    virtual bool SetBitrate(uint32_t kbitPerSecond, std::string& why) = 0;
    // Waits at most waitMs for room in a full transmit queue, then refuses.
    virtual bool Transmit(const CanMessageDescriptor& message, uint32_t waitMs, std::string& why) = 0;
    // What CanTransmittMessageEx waits: as long as this kind of controller is given to get rid of a frame.
    virtual uint32_t DefaultTransmitWaitMs() const = 0;
    virtual void SetAcceptanceFilter(uint32_t code, uint32_t mask) = 0;
    virtual void GetAcceptanceFilter(uint32_t& code, uint32_t& mask) const = 0;
    virtual void RegisterCallback(CanReceiveFunction function) = 0;
    // The function for error frames (ErrorFrames.h), with RegisterCallback's guarantees.
    virtual void RegisterErrorCallback(CanReceiveFunction function) = 0;
    // Delivers frames received from now on; depth is how many frames may wait for the function.
    virtual bool StartQueue(uint32_t depth) = 0;
    virtual void StopQueue() = 0;
    virtual void Close() = 0;
    // After Close: how many frames that Transmit accepted never reached the bus (dropped at close).
    // 0 where frames leave the library as Transmit returns (SocketCAN: the kernel has them then).
    virtual uint64_t UnsentAtClose() const { return 0; }
    // After Close dropped frames: why they never reached the bus, where the device can tell; else empty.
    virtual std::string UnsentReason() const { return {}; }
    virtual void ResetCounters() = 0;
    virtual DeviceCounters Counters() const = 0;
    virtual DeviceBusState BusState() const { return {}; }
    // The other nodes on the bus (RvCanReadBusNodes); false where the kind of device cannot tell.
    virtual bool OtherNodes(uint32_t& atItsRate, std::vector<uint32_t>& otherRates) const
    {
        (void)atItsRate;
        (void)otherRates;
        return false;
    }
    // What CanReset does beyond clearing the counters: restarts a bus-off controller, as a controller
    // restart does. False, with why, when the restart was refused (a SocketCAN interface without the
    // right to restart it).
    virtual bool RestartController(std::string& why)
    {
        (void)why;
        return true;
    }
    // Why the device no longer works at all (a network bus whose connection was lost), or empty.
    virtual std::string Fault() const { return {}; }
};
