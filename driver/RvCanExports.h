// What the driver library rvcan32ce exports besides the ten entry points of CanDriverTable.h, for the
// bus tools and tests. Resolve them by name like the others; a driver without them is still a driver.
#pragma once

#include <cstdint>

#include "CanDriverTable.h"

struct RvCanCounters
{
    uint64_t received;    // frames handed to the receive function since the device was created or reset
    uint64_t dropped;     // frames the device's full queue could not take
    uint64_t errorFrames; // error frames the device saw (ErrorFrames.h); handed to the error function only
};

// A controller's fault confinement state (FaultConfinement.h) and its two error counters, where its kind
// of device can know them; RVCAN_STATE_UNKNOWN with both counters 0 where it cannot.
enum : uint32_t
{
    RVCAN_STATE_ERROR_ACTIVE = 0,
    RVCAN_STATE_ERROR_WARNING = 1,
    RVCAN_STATE_ERROR_PASSIVE = 2,
    RVCAN_STATE_BUS_OFF = 3,
    RVCAN_STATE_UNKNOWN = 4,
};
struct RvCanBusState
{
    uint32_t state;
    uint32_t transmitErrors; // TEC
    uint32_t receiveErrors;  // REC
};

// Who else is on the device's bus, where its kind of device can tell (a virtual bus, from its node
// table): how many other nodes are at the device's bit rate, and the other rates in use, each once,
// lowest first.
struct RvCanBusNodes
{
    uint32_t atItsRate;
    uint32_t otherRateCount;
    uint32_t otherRates[9]; // kbit/s
};

// FALSE for an unknown device or a null pointer.
typedef BOOL(WINAPI* RvCanReadCountersFn)(DWORD device, RvCanCounters* counters);
// FALSE for an unknown device or a null pointer.
typedef BOOL(WINAPI* RvCanReadBusStateFn)(DWORD device, RvCanBusState* state);
// FALSE for an unknown device, a null pointer, or a device that cannot tell.
typedef BOOL(WINAPI* RvCanReadBusNodesFn)(DWORD device, RvCanBusNodes* nodes);
// The function that receives the device's error frames (ErrorFrames.h: SocketCAN's form), called on
// the same thread as the receive function and in order with it, while the receive queue runs; the
// acceptance filter does not apply. Null stops them. Registering keeps the same guarantees as
// CanRegisterCallback.
typedef BOOL(WINAPI* RvCanRegisterErrorCallbackFn)(DWORD device, CanReceiveFunction function);
// Why the calling thread's last refused entry point call failed, as UTF-8 text, cut to size bytes
// including the terminator; returns the full length. Empty when nothing has failed yet.
typedef DWORD(WINAPI* RvCanGetLastErrorFn)(char* text, DWORD size);
// CanTransmittMessageEx with the wait for room in a full transmit queue chosen by the caller (0: none),
// in place of the device's own (500 ms on a virtual bus, 50 ms on SocketCAN); python-can's
// send(timeout=...) needs it.
typedef BOOL(WINAPI* RvCanTransmitWithinFn)(DWORD device, const CanMessageDescriptor* message, DWORD waitMs);
// CanCloseDevice, and tells in *unsent (when not null) how many frames the device accepted but dropped
// at close, as they had not reached the bus after the 1 s closing gives them; when it dropped any,
// RvCanGetLastError then says why where the device can tell ("no node acknowledged 123#11: nobody else
// at 125 kbit/s is on CAN1:"), else it is empty. FALSE for an unknown device, which is not closed then.
typedef BOOL(WINAPI* RvCanCloseDeviceExFn)(DWORD device, DWORD* unsent);
// Why the device no longer works at all, as UTF-8 text cut to size bytes including the terminator:
// "connection to HOST:PORT/BUS lost: ..." for a socketcand bus whose server went away. Returns the full
// length; 0 while the device works (always, for the other kinds) and for an unknown device.
typedef DWORD(WINAPI* RvCanGetDeviceFaultFn)(DWORD device, char* text, DWORD size);
