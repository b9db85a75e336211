// What kind of network interface a name is, as `ip -d link` shows it: "can" for a CAN controller (which
// has bit timing), "vcan" or "vxcan" for the virtual ones (which have none). Asked over rtnetlink.
#pragma once

#include <string>

// Empty when the interface does not exist or the kernel does not say.
std::string InterfaceKind(const std::string& interfaceName);
