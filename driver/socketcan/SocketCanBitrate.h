// Bit rates of a SocketCAN interface, through netlink (libsocketcan).
//
// An interface with bit timing (a real controller) takes a rate only while it is down, and changing it
// needs CAP_NET_ADMIN; an interface without bit timing (vcan, vxcan) has no rate to set.
#pragma once

#include <cstdint>
#include <string>

// True when the interface already runs at kbitPerSecond, has no bit timing, or took the rate: it is
// then taken down, given the rate and brought up again. False, with why, otherwise.
bool ApplyInterfaceBitrate(const std::string& interfaceName, uint32_t kbitPerSecond, std::string& why);
