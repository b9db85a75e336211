// One device of the CAN driver library, reached the way the console reaches it: the library loaded by
// LoadLibraryW(L"rvcan32ce.dll") and its ten entry points resolved by name, so that the bus tools work
// with whatever driver the console would use.
#pragma once

#include <cstdint>
#include <string>

#include "platform.h"

#include "CanDriverTable.h"
#include "RvCanExports.h"

class cDriverDevice
{
public:
    static constexpr uint32_t kConsoleQueueDepth = 250;

    cDriverDevice() = default;
    ~cDriverDevice();

    cDriverDevice(const cDriverDevice&) = delete;
    cDriverDevice& operator=(const cDriverDevice&) = delete;

    static constexpr uint32_t kKeepRate = 0;

    // "can1", "CAN1" and "CAN1:" all become "CAN1:" (for test helpers; the tools resolve names with
    // ResolveDeviceName, which refuses the first two).
    static std::string NormalisedDeviceName(const std::string& name);

    // Loads the library, creates the device and sets the bit rate (kKeepRate: leaves it as the device
    // has it). On failure, error says which call failed and what the user can do about it.
    bool Open(const std::string& deviceName, uint32_t kbitPerSecond, std::string& error);
    // The same for a SocketCAN interface, through the driver's mapping: RVCAN32CE_CANn maps a bus to
    // it for as long as CanCreateDevice reads the variable, then the variable is as it was, so that
    // the program's own CANn: still means what the operator set.
    bool OpenInterface(const std::string& interfaceName, uint32_t kbitPerSecond, std::string& error);
    bool Transmit(const CanMessageDescriptor& frame, std::string& error);
    // Registers function and starts the receive queue; frames sent from now on reach function. depth is
    // how many frames may wait for it; the console uses 250.
    bool StartReceive(CanReceiveFunction function, std::string& error, uint32_t depth = kConsoleQueueDepth);
    // When it returns, function is not running and is not called again.
    void StopReceive();
    // False when the driver cannot count (it lacks RvCanReadCounters).
    bool ReadCounters(RvCanCounters& counters) const;
    // False when the driver cannot tell who else is on the bus (it lacks RvCanReadBusNodes, or the
    // device is not on a timed virtual bus).
    bool ReadBusNodes(RvCanBusNodes& nodes) const;
    // Why the device no longer works at all ("connection to ... lost: ..."); empty while it works, and
    // always with a driver that cannot tell (it lacks RvCanGetDeviceFault).
    std::string Fault() const;
    // unsent, when given, gets how many frames Transmit accepted that the driver dropped at close, as
    // they could not reach the bus in the time closing gives them (0 from a driver that cannot say);
    // unsentReason, when given and frames were dropped, why (empty when the driver cannot tell).
    void Close(DWORD* unsent = nullptr, std::string* unsentReason = nullptr);

private:
    bool LoadDriver(std::string& error);
    std::string DriverReason() const;

    HMODULE m_library = nullptr;
    DWORD m_device = 0;
    bool m_receiving = false;
    std::wstring m_deviceName;
    CanDriverTable m_driver{};
    RvCanReadCountersFn m_readCounters = nullptr;
    RvCanReadBusNodesFn m_readBusNodes = nullptr;
    RvCanGetLastErrorFn m_getLastError = nullptr;
    RvCanCloseDeviceExFn m_closeCounting = nullptr;
    RvCanGetDeviceFaultFn m_getDeviceFault = nullptr;
};
