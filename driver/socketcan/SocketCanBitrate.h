// Bit rates of a SocketCAN interface, through netlink (libsocketcan).
//
// An interface with bit timing (a real controller) takes a rate only while it is down, and changing it
// needs CAP_NET_ADMIN; an interface without bit timing (vcan, vxcan) has no rate to set.
#pragma once

#include <cstdint>
#include <string>

// True when the interface has no bit timing (vcan, vxcan), already runs at kbitPerSecond, or took the
// rate: it is then taken down, given the rate and brought up again. False, with why, otherwise (it
// is gone, is of another kind, or cannot be given the rate).
bool ApplyInterfaceBitrate(const std::string& interfaceName, uint32_t kbitPerSecond, std::string& why);
