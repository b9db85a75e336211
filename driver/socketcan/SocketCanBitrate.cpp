#include "SocketCanBitrate.h"

#include <net/if.h>

#include "LinkKind.h"
#include "libsocketcan.h"

namespace {

constexpr const char* kPermissionHint =
    ": changing the bit rate needs CAP_NET_ADMIN (run as root, or give the program the capability with "
    "setcap cap_net_admin+ep), or set it beforehand with "
    "'ip link set IFACE type can bitrate N'";

std::string Failed(const char* call, const std::string& interfaceName)
{
    return std::string(call) + " failed on " + interfaceName + kPermissionHint;
}

} // namespace

bool ApplyInterfaceBitrate(const std::string& interfaceName, uint32_t kbitPerSecond, std::string& why)
{
    if (if_nametoindex(interfaceName.c_str()) == 0) {
        why = "interface " + interfaceName + " does not exist (any more)";
        return false;
    }
    std::string kind = InterfaceKind(interfaceName);
    if (kind == "vcan" || kind == "vxcan") {
        return true; // no bit timing: a virtual interface carries any rate
    }
    if (kind != "can") {
        why = interfaceName + " is not a CAN controller (its kind is '" + kind + "')";
        return false;
    }
    can_bittiming timing{};
    if (can_get_bittiming(interfaceName.c_str(), &timing) != 0) {
        why = "can_get_bittiming failed on " + interfaceName;
        return false;
    }
    uint32_t bitsPerSecond = kbitPerSecond * 1000;
    if (timing.bitrate == bitsPerSecond) {
        return true;
    }
    // The kernel refuses new bit timing on an interface that is up.
    if (can_do_stop(interfaceName.c_str()) != 0) {
        why = Failed("can_do_stop", interfaceName);
        return false;
    }
    bool set = can_set_bitrate(interfaceName.c_str(), bitsPerSecond) == 0;
    bool started = can_do_start(interfaceName.c_str()) == 0;
    if (!set) {
        why = "can_set_bitrate(" + std::to_string(bitsPerSecond) + ") failed on " + interfaceName +
              ": the controller cannot take this rate, or" + kPermissionHint;
        return false;
    }
    if (!started) {
        why = Failed("can_do_start", interfaceName);
        return false;
    }
    return true;
}
