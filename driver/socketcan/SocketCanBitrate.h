// Bit rates of a SocketCAN interface, through netlink (libsocketcan).
//
// An interface with bit timing (a real controller) takes a rate only while it is down, and changing it
// or bringing the controller up needs CAP_NET_ADMIN; an interface without bit timing (vcan, vxcan) has
// no rate to set.
#pragma once

#include <cstdint>
#include <string>

// True when the interface has no bit timing (vcan, vxcan), is up at kbitPerSecond already (it is then
// not touched), or took the rate: one that is down (with another rate or none yet) is given it and
// brought up, and is left so afterwards. A controller that is up at another rate is never changed: it
// is shared with other programs and nodes, so false, with why and how to change it on purpose. False,
// with why, also when it is gone, is of another kind, or cannot be given the rate.
bool ApplyInterfaceBitrate(const std::string& interfaceName, uint32_t kbitPerSecond, std::string& why);
