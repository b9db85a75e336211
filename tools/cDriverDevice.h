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

    // "can1", "CAN1" and "CAN1:" all become "CAN1:".
    static std::string NormalisedDeviceName(const std::string& name);

    // Loads the library, creates the device and sets the bit rate. On failure, error says which call
    // failed and what the user can do about it.
    bool Open(const std::string& deviceName, uint32_t kbitPerSecond, std::string& error);
    bool Transmit(const CanMessageDescriptor& frame, std::string& error);
    // Registers function and starts the receive queue; frames sent from now on reach function. depth is
    // how many frames may wait for it; the console uses 250.
    bool StartReceive(CanReceiveFunction function, std::string& error, uint32_t depth = kConsoleQueueDepth);
    // When it returns, function is not running and is not called again.
    void StopReceive();
    // False when the driver cannot count (it lacks RvCanReadCounters).
    bool ReadCounters(RvCanCounters& counters) const;
    // Why the device no longer works at all ("connection to ... lost: ..."); empty while it works, and
    // always with a driver that cannot tell (it lacks RvCanGetDeviceFault).
    std::string Fault() const;
    void Close();

private:
    bool LoadDriver(std::string& error);
    std::string DriverReason() const;

    HMODULE m_library = nullptr;
    DWORD m_device = 0;
    bool m_receiving = false;
    std::wstring m_deviceName;
    CanDriverTable m_driver{};
    RvCanReadCountersFn m_readCounters = nullptr;
    RvCanGetLastErrorFn m_getLastError = nullptr;
    RvCanGetDeviceFaultFn m_getDeviceFault = nullptr;
};
