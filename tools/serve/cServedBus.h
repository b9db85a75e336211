// One bus that can-serve offers: a device of the driver library (a virtual bus, or a SocketCAN interface
// through the driver's RVCAN32CE_CANn mapping) shared by every client that opened the bus. Each frame the
// device receives is stamped with the server's clock, formatted once in both data forms, and handed to
// every attached client. The device receives its own frames (the driver's self-reception), which is how
// one client's frames reach the bus's other clients; the client that sent a frame does not get it back,
// as a socketcand client does not receive its own frames by default. The device's error frames go to
// every client in raw mode, as socketcand sends them there, with their details added.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "SocketcandProtocol.h"
#include "cDriverDevice.h"

class cServeClient;

// A frame as the bus hands it to its clients.
struct ServedFrame
{
    SocketcandFrame frame;
    std::string compact; // a line break and raw mode's message
    std::string spaced;  // a line break and BCM mode's message
    uint64_t origin;     // id of the client that sent it, 0 when it came from elsewhere
};

class cServedBus
{
public:
    // The driver has ten devices, so a server has at most ten buses.
    static constexpr size_t kMostBuses = 10;

    cServedBus(std::string name, std::string device, uint32_t kbitPerSecond);
    ~cServedBus();

    cServedBus(const cServedBus&) = delete;
    cServedBus& operator=(const cServedBus&) = delete;

    // Opens the device and starts receiving; slot (below kMostBuses, one per bus) picks the receive
    // function that leads to this bus. forwardErrorFrames: the device's error frames go to the clients
    // in raw mode (OnErrorFrame).
    bool Open(size_t slot, bool forwardErrorFrames, std::string& error);
    void Close();

    // Whether a client's "< open NAME >" means this bus: the name in any letter case; a CANn name
    // with or without its colon.
    bool Answers(std::string_view name) const;
    const std::string& Name() const { return m_name; }
    uint32_t KbitPerSecond() const { return m_kbit; }

    void Attach(cServeClient* client);
    // When it returns, the bus no longer calls client.
    void Detach(cServeClient* client);

    // Transmits for the client with id origin (0: nobody's own). Safe from any thread.
    bool Transmit(const SocketcandFrame& frame, uint64_t origin, std::string& error);

    // The driver's receive function for this bus, on the device's receive thread.
    void OnReceive(const CanMessageDescriptor& message);
    // The driver's error function for this bus (ErrorFrames.h), on the same thread.
    void OnErrorFrame(const CanMessageDescriptor& message);

    uint64_t RemoteFramesDropped() const { return m_remoteDropped.load(); }

private:
    struct OwnFrame
    {
        SocketcandFrame frame;
        uint64_t origin;
        std::chrono::steady_clock::time_point sent;
    };

    uint64_t TakeOrigin(const SocketcandFrame& frame);

    const std::string m_name;       // as the beacon and the clients name it
    const std::string m_deviceName; // "CAN0:" to "CAN9:"
    const uint32_t m_kbit;
    cDriverDevice m_driverDevice; // opened by Open, closed by Close, on the main thread
    size_t m_slot = kMostBuses;   // kMostBuses while not open

    // Both touched by the client threads, the cyclic job thread and the receive thread; m_mutex guards
    // them. A client's calls are made under it, so Detach waits for a call in progress.
    std::mutex m_mutex;
    std::vector<cServeClient*> m_clients;
    std::deque<OwnFrame> m_ownFrames; // sent, not yet seen back; at most kMostOwnFrames

    // Remote frames received: the protocol cannot carry them. Receive thread writes, main reads.
    std::atomic<uint64_t> m_remoteDropped{0};
};
