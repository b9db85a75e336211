// The error frames of one SocketCAN interface, for can-dump -e. The driver counts error frames and
// never delivers them, so this reads them from a CAN_RAW socket of its own that receives nothing else
// (no data filter, CAN_RAW_ERR_FILTER set to the classes asked for).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "CanMessageDescriptor.h"

class cErrorFrameReader
{
public:
    // Gets each error frame as FrameFilter.h writes it: id kErrorFrameFlag and its classes.
    using Deliver = void (*)(size_t device, const CanMessageDescriptor& frame);

    cErrorFrameReader() = default;
    ~cErrorFrameReader();

    cErrorFrameReader(const cErrorFrameReader&) = delete;
    cErrorFrameReader& operator=(const cErrorFrameReader&) = delete;

    // Opens the socket and starts the thread that calls deliver(device, frame). On failure, error
    // names the call that failed.
    bool Start(const std::string& interfaceName, uint32_t errorMask, size_t device, Deliver deliver,
               std::string& error);
    // When it returns, deliver is not running and is not called again.
    void Stop();

private:
    void ReadLoop();

    int m_socket = -1; // owned; open from Start to Stop
    size_t m_device = 0;
    Deliver m_deliver = nullptr;
    // Set by Stop, read by the thread, which looks at it at least every 100 ms.
    std::atomic<bool> m_stopping{false};
    std::thread m_thread; // joined by Stop
};
