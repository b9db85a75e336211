// socketcand's discovery beacon: a UDP datagram to port 42000, sent by the main loop every
// kBeaconPeriod, naming this host, the server's URL and its buses:
//
//   <CANBeacon name="bench-pc" type="SocketCAN" description="can-serve"><URL>can://10.0.0.5:29536</URL>
//   <Bus name="CAN0"/><Bus name="vcan0"/></CANBeacon>
//
// Where it goes follows the listening address, so the beacon never announces a port nobody else can
// reach: a loopback address sends it to the same loopback address (local tools can discover the server,
// nothing leaves the machine); an IPv4 address of an interface sends it to that interface's broadcast
// address; the IPv4 any-address sends one beacon per broadcast-capable interface, each with that
// interface's address in the URL. IPv6 has no broadcast: a server on a non-loopback IPv6 address sends none.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

class cBeacon
{
public:
    static constexpr auto kBeaconPeriod = std::chrono::seconds(2); // socketcand: at most 3 s
    static constexpr uint16_t kBeaconPort = 42000;

    cBeacon() = default;
    ~cBeacon();

    cBeacon(const cBeacon&) = delete;
    cBeacon& operator=(const cBeacon&) = delete;

    // listening: the bound address and port of the server. False with error when no socket could be made.
    bool Open(const sockaddr_storage& listening, const std::vector<std::string>& buses, std::string& error);
    // One beacon to each destination; a failed send is left for the next period.
    void Send();

private:
    struct Destination
    {
        sockaddr_storage address;
        socklen_t length;
        std::string text;
    };

    void AddDestination(const sockaddr* to, socklen_t length, const std::string& urlHost, uint16_t port,
                        const std::string& busList);

    int m_socket = -1;
    std::vector<Destination> m_destinations;
};
