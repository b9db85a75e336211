// Where a device mapped to a socketcand server finds its bus: the value of RVCAN32CE_CANn when it
// starts with "socketcand://".
//
//   socketcand://HOST[:PORT]/BUS[@RATE]
//
//   HOST   a name or an IPv4 address, or an IPv6 address in brackets: [::1]
//   PORT   the server's TCP port, 29536 when left out
//   BUS    the server's name for the bus (can0, vcan0, CAN1, ...): at most 16 characters, none of them
//          a space, '<' or '>'
//   @RATE  the bus's bit rate in kbit/s when the operator knows it: the device then refuses any other
//          rate. Without it every rate the driver knows is accepted, because the protocol does not say
//          at what rate the server's bus runs.
//
// Examples: socketcand://bench:29536/can0, socketcand://127.0.0.1/vcan0@500, socketcand://[::1]/CAN1.
#pragma once

#include <cstdint>
#include <string>

struct SocketcandAddress
{
    static constexpr uint16_t kDefaultPort = 29536;
    static constexpr size_t kLongestBusName = 16;

    std::string host;
    uint16_t port = kDefaultPort;
    std::string bus;
    uint32_t kbitPerSecond = 0; // 0: not given

    // "HOST:PORT/BUS" as the user wrote the host, for messages.
    std::string Describe() const;
};

inline constexpr const char kSocketcandScheme[] = "socketcand://";

bool IsSocketcandMapping(const std::string& value);
// False, with error saying what is wrong and showing the syntax, for anything else.
bool ParseSocketcandAddress(const std::string& value, SocketcandAddress& address, std::string& error);
