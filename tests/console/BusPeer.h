// A second device on the virtual bus, in the test's own process: it records what it receives and can
// send, or flood the bus from a thread of its own.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cCanPort.h"

class BusPeer
{
public:
    explicit BusPeer(uint8_t port = 1, int32_t baudrate = 125);
    ~BusPeer();

    bool IsOpen() const { return m_port.IsOpen() != 0; }
    int32_t Send(uint32_t id, bool extended, std::vector<uint8_t> data);
    // Frames received so far, in candump's compact form, e.g. "123#00224488AABBEEFF".
    std::vector<std::string> Received();
    void StartFlood();
    void StopFlood();
    uint64_t FloodCount() const { return m_flooded.load(); }

private:
    static void WINAPI OnMessage(CanMessageDescriptor* message);

    cCanPort m_port;
    std::mutex m_mutex;
    std::vector<std::string> m_received;
    std::atomic<bool> m_flooding{false};
    std::atomic<uint64_t> m_flooded{0};
    std::thread m_flood;
};

std::string CompactFrame(const CanMessageDescriptor& message);
