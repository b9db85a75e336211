#include "cBeacon.h"

#include <cstring>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

namespace {

std::string Host()
{
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == 0) {
        return "can-serve";
    }
    std::string host;
    for (const char* c = name; *c != 0; ++c) {
        host += (*c == '"' || *c == '<' || *c == '>' || *c == '&') ? '_' : *c;
    }
    return host;
}

std::string AddressText(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof(text));
        return text;
    }
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof(text));
    return std::string("[") + text + "]";
}

bool IsLoopback(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET) {
        return (ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr) >> 24) == 127;
    }
    return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
}

} // namespace

cBeacon::~cBeacon()
{
    if (m_socket >= 0) {
        close(m_socket);
    }
}

void cBeacon::AddDestination(const sockaddr* to, socklen_t length, const std::string& urlHost, uint16_t port,
                             const std::string& busList)
{
    Destination destination{};
    memcpy(&destination.address, to, length);
    destination.length = length;
    destination.text = "<CANBeacon name=\"" + Host() +
                       "\" type=\"SocketCAN\" description=\"can-serve\"><URL>can://" + urlHost + ":" +
                       std::to_string(port) + "</URL>" + busList + "</CANBeacon>";
    m_destinations.push_back(destination);
}

bool cBeacon::Open(const sockaddr_storage& listening, const std::vector<std::string>& buses,
                   std::string& error)
{
    std::string busList;
    for (const std::string& bus : buses) {
        busList += "<Bus name=\"" + bus + "\"/>";
    }
    bool v4 = listening.ss_family == AF_INET;
    uint16_t port = ntohs(v4 ? reinterpret_cast<const sockaddr_in&>(listening).sin_port
                             : reinterpret_cast<const sockaddr_in6&>(listening).sin6_port);
    m_socket = socket(listening.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (m_socket < 0 || setsockopt(m_socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
        error = std::string("socket(UDP) for the beacon failed: ") + strerror(errno);
        return false;
    }
    if (IsLoopback(listening)) {
        sockaddr_storage to = listening;
        if (v4) {
            reinterpret_cast<sockaddr_in&>(to).sin_port = htons(kBeaconPort);
        } else {
            reinterpret_cast<sockaddr_in6&>(to).sin6_port = htons(kBeaconPort);
        }
        socklen_t length = v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        AddDestination(reinterpret_cast<const sockaddr*>(&to), length,
                       AddressText(reinterpret_cast<const sockaddr*>(&listening)), port, busList);
        return true;
    }
    if (!v4) {
        return true; // no broadcast in IPv6
    }
    in_addr_t bound = reinterpret_cast<const sockaddr_in&>(listening).sin_addr.s_addr;
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        error = std::string("getifaddrs for the beacon failed: ") + strerror(errno);
        return false;
    }
    for (ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || i->ifa_broadaddr == nullptr ||
            (i->ifa_flags & IFF_BROADCAST) == 0 || (i->ifa_flags & IFF_UP) == 0) {
            continue;
        }
        in_addr_t address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if (bound != htonl(INADDR_ANY) && bound != address) {
            continue;
        }
        sockaddr_in to = *reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr);
        to.sin_port = htons(kBeaconPort);
        AddDestination(reinterpret_cast<const sockaddr*>(&to), sizeof(to), AddressText(i->ifa_addr), port,
                       busList);
    }
    freeifaddrs(interfaces);
    return true;
}

void cBeacon::Send()
{
    for (const Destination& destination : m_destinations) {
        sendto(m_socket, destination.text.data(), destination.text.size(), MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&destination.address), destination.length);
    }
}
