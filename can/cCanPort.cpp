#include "cCanPort.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr LPCWSTR kDriverLibrary = L"rvcan32ce.dll";
constexpr uint8_t kHighestPortIndex = 9;
constexpr DWORD kReceiveQueueDepth = 250;
constexpr size_t kDeviceNameLength = 6; // "CANn:" and the terminator

} // namespace

cCanPort::cCanPort() : m_open(0), m_library(nullptr), m_device(0), m_baudrate(kDefaultBaudrate), m_driver{}
{
    InitializeCriticalSection(&m_lock);
}

cCanPort::~cCanPort()
{
    Close();
    DeleteCriticalSection(&m_lock);
}

int32_t cCanPort::Open()
{
    return OpenDevice(L"CAN1:", false);
}

int32_t cCanPort::Open(uint8_t index)
{
    if (index > kHighestPortIndex) {
        index = 0;
    }
    WCHAR deviceName[kDeviceNameLength] = {};
    wsprintfW(deviceName, L"CAN%d:", index);
    return OpenDevice(deviceName, true);
}

// Both Open variants: the fixed-name one goes on even when entry points are missing, but no call is
// ever made through an entry point that was not found.
int32_t cCanPort::OpenDevice(LPCWSTR deviceName, bool requireAllEntryPoints)
{
    EnterCriticalSection(&m_lock);
    int32_t result = 0;
    if (m_device == 0) {
        result = -1;
        if (m_library != nullptr) {
            // Left loaded by a failed device creation: load afresh without leaking that reference.
            FreeLibrary(m_library);
        }
        m_library = LoadLibraryW(kDriverLibrary);
        if (m_library != nullptr) {
            if (!ResolveCanDriverTable(m_library, m_driver) && requireAllEntryPoints) {
                FreeLibrary(m_library);
                m_library = nullptr;
            } else if (m_driver.CanCreateDevice != nullptr) {
                m_device = m_driver.CanCreateDevice(deviceName, 0);
                if (m_device != 0) {
                    m_open = 1;
                    result = 0;
                }
            }
        }
    }
    LeaveCriticalSection(&m_lock);
    return result;
}

int32_t cCanPort::OpenWithBaudrate(int32_t baudrate)
{
    return SetBaudrateAfterOpen(Open(), baudrate);
}

int32_t cCanPort::OpenWithBaudrate(uint8_t index, int32_t baudrate)
{
    return SetBaudrateAfterOpen(Open(index), baudrate);
}

// The lock is not held across the two steps: each takes it itself. A failed open is returned as it is
// (a library loaded before a failed device creation stays loaded); a refused rate closes the port.
int32_t cCanPort::SetBaudrateAfterOpen(int32_t opened, int32_t baudrate)
{
    if (opened != 0) {
        return opened;
    }
    if (SetBaudrate(baudrate) != 0) {
        Close();
        return -1;
    }
    return 0;
}

int32_t cCanPort::Close()
{
    EnterCriticalSection(&m_lock);
    if (m_device != 0) {
        if (m_driver.CanCloseDevice != nullptr) {
            m_driver.CanCloseDevice(m_device);
        }
        m_device = 0;
    }
    if (m_library != nullptr) {
        FreeLibrary(m_library);
        m_library = nullptr;
    }
    m_open = 0;
    LeaveCriticalSection(&m_lock);
    return 0;
}

int32_t cCanPort::IsOpen() const
{
    return m_open;
}

int32_t cCanPort::SetBaudrate(int32_t baudrate)
{
    EnterCriticalSection(&m_lock);
    int32_t result = CallGuarded(m_driver.CanSetBaudrate, static_cast<DWORD>(baudrate));
    if (result == 0) {
        m_baudrate = baudrate;
    }
    LeaveCriticalSection(&m_lock);
    return result;
}

int32_t cCanPort::Reset()
{
    EnterCriticalSection(&m_lock);
    int32_t result = CallGuarded(m_driver.CanReset, 0);
    LeaveCriticalSection(&m_lock);
    return result;
}

// Calls a two-word-record entry point on the open device, guarded against faults; caller holds the lock.
int32_t cCanPort::CallGuarded(BOOL(WINAPI* entry)(DWORD, const DWORD*), DWORD first)
{
    if (m_open == 0 || entry == nullptr) {
        return -1;
    }
    const DWORD record[2] = {first, 0};
    DWORD device = m_device;
    BOOL accepted = FALSE;
    bool completed = RunGuarded([&] { accepted = entry(device, record); });
    return completed && accepted != FALSE ? 0 : -1;
}

int32_t cCanPort::Send(const cCanPacket& packet)
{
    EnterCriticalSection(&m_lock);
    int32_t result = -1;
    if (m_open != 0 && m_driver.CanTransmittMessageEx != nullptr) {
        result = FillAndTransmit(packet) ? 0 : -1;
    }
    LeaveCriticalSection(&m_lock);
    return result;
}

// Fills the record from the packet and hands it to the driver; a fault in either step gives false.
bool cCanPort::FillAndTransmit(const cCanPacket& packet)
{
    CanMessageDescriptor message;
    CanTransmittMessageExFn transmit = m_driver.CanTransmittMessageEx;
    DWORD device = m_device;
    BOOL accepted = FALSE;
    bool completed = RunGuarded([&] {
        memset(&message, 0, sizeof(message));
        message.extended = packet.extended != 0 ? 1 : 0;
        message.id = packet.id;
        message.timestamp = GetTickCount();
        message.reserved = 0;
        if (packet.remote == 0) {
            message.remote = 0;
            message.length = static_cast<uint16_t>(packet.length);
            memcpy(message.data, packet.data, std::min<size_t>(packet.length, kCanMaxDataBytes));
        } else {
            message.remote = 1;
        }
        accepted = transmit(device, &message);
    });
    return completed && accepted != FALSE;
}

int32_t cCanPort::StartReceive(CanReceiveFunction function)
{
    EnterCriticalSection(&m_lock);
    int32_t result = -1;
    if (m_open != 0) {
        if (m_driver.CanWriteDescriptorEx != nullptr) {
            m_driver.CanWriteDescriptorEx(m_device, 0, 0xFFFFFFFFu, 0xFFFFFFFFu);
        }
        if (m_driver.CanRegisterCallback != nullptr) {
            m_driver.CanRegisterCallback(m_device, function);
        }
        if (m_driver.CanStartReceiveQueue != nullptr) {
            m_driver.CanStartReceiveQueue(m_device, kReceiveQueueDepth);
        }
        result = 0;
    }
    LeaveCriticalSection(&m_lock);
    return result;
}

int32_t cCanPort::StopReceive()
{
    EnterCriticalSection(&m_lock);
    int32_t result = -1;
    if (m_open != 0) {
        if (m_driver.CanStopReceiveQueue != nullptr) {
            m_driver.CanStopReceiveQueue(m_device);
        }
        if (m_driver.CanRegisterCallback != nullptr) {
            m_driver.CanRegisterCallback(m_device, nullptr);
        }
        result = 0;
    }
    LeaveCriticalSection(&m_lock);
    return result;
}
