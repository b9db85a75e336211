// The program's one binding to a CAN controller, through the driver library rvcan32ce.dll.
// Every operation that calls into the driver holds the port's lock for its whole duration.
#pragma once

#include <cstdint>

#include "platform.h"

#include "CanDriverTable.h"
#include "cCanPacket.h"

class cCanPort
{
public:
    // The rate a port starts with, and the console's preselected choice, in kbit/s.
    static constexpr int32_t kDefaultBaudrate = 125;

    cCanPort();
    virtual ~cCanPort();

    cCanPort(const cCanPort&) = delete;
    cCanPort& operator=(const cCanPort&) = delete;

    int32_t Open();              // device "CAN1:"
    int32_t Open(uint8_t index); // device "CAN<index>:"; indices above 9 select 0
    int32_t OpenWithBaudrate(int32_t baudrate);
    int32_t OpenWithBaudrate(uint8_t index, int32_t baudrate);
    int32_t Close();
    int32_t IsOpen() const;
    int32_t SetBaudrate(int32_t baudrate);
    int32_t Reset();

    int32_t Send(const cCanPacket& packet);
    int32_t StartReceive(CanReceiveFunction function);
    int32_t StopReceive();

private:
    int32_t OpenDevice(LPCWSTR deviceName, bool requireAllEntryPoints);
    int32_t SetBaudrateAfterOpen(int32_t opened, int32_t baudrate);
    int32_t CallGuarded(BOOL(WINAPI* entry)(DWORD, const DWORD*), DWORD first);
    bool FillAndTransmit(const cCanPacket& packet);

    CRITICAL_SECTION m_lock;
    int32_t m_open;     // 1 while a device is open; read without the lock by IsOpen
    HMODULE m_library;  // null when not loaded
    DWORD m_device;     // 0 when no device exists
    int32_t m_baudrate; // the rate the driver last accepted, kbit/s
    CanDriverTable m_driver;
};
