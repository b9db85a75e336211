// What kind of network interface a name is, as `ip -d link` shows it: "can" for a CAN controller (which
// has bit timing), "vcan" or "vxcan" for the virtual ones (which have none), and whether it is up.
// Asked over rtnetlink, which needs no privilege.
#pragma once

#include <string>

struct InterfaceLink
{
    std::string kind; // empty when the interface does not exist or the kernel does not say
    bool up = false;
};

InterfaceLink LookUpInterface(const std::string& interfaceName);
