#include "SocketCanBitrate.h"

#include <net/if.h>

#include "LinkKind.h"
#include "libsocketcan.h"

namespace {

// Kept short: the driver passes on at most 255 characters of it.
std::string Refused(const char* call, const std::string& interfaceName, uint32_t bitsPerSecond)
{
    return std::string(call) + " refused on " + interfaceName +
           ": a new bit rate needs CAP_NET_ADMIN (root, or setcap cap_net_admin+ep), or set it beforehand "
           "with 'ip link set " +
           interfaceName + " type can bitrate " + std::to_string(bitsPerSecond) + "' (while " +
           interfaceName + " is down) and connect at it";
}

// A controller that is up is shared: candump, other programs and the other nodes on its bus depend on its
// rate, so one program's connect does not change it. How to change it on purpose is part of the reason.
std::string RunsAtAnotherRate(const std::string& interfaceName, uint32_t running, uint32_t bitsPerSecond)
{
    return interfaceName + " is up at " + std::to_string(running) +
           " bit/s, shared, so not changed for one program: connect at " + std::to_string(running / 1000) +
           " kbit/s, or change it on purpose: 'ip link set " + interfaceName +
           " down' (the next connect sets its rate) or 'ip link set " + interfaceName + " type can bitrate " +
           std::to_string(bitsPerSecond) + "' while it is down";
}

// A controller that is up always has bit timing; 0 when the kernel does not say.
uint32_t RunningBitrate(const std::string& interfaceName)
{
    can_bittiming timing{};
    return can_get_bittiming(interfaceName.c_str(), &timing) == 0 ? timing.bitrate : 0;
}

// The kernel takes new bit timing only while the controller is down. One that was up is brought up
// again even when the rate was refused, so that it goes on running at its old rate; one that was down
// (a fresh adapter has no rate at all) is left down then.
bool SetAndStart(const std::string& interfaceName, uint32_t bitsPerSecond, bool wasUp, std::string& why)
{
    if (wasUp && can_do_stop(interfaceName.c_str()) != 0) {
        why = Refused("can_do_stop", interfaceName, bitsPerSecond);
        return false;
    }
    if (can_set_bitrate(interfaceName.c_str(), bitsPerSecond) != 0) {
        if (!wasUp) {
            why = Refused("can_set_bitrate", interfaceName, bitsPerSecond);
            return false;
        }
        // It could be taken down, so the privilege is there: the rate itself is what it refuses.
        bool restarted = can_do_start(interfaceName.c_str()) == 0;
        why = interfaceName + " cannot take " + std::to_string(bitsPerSecond) + " bit/s; " +
              (restarted ? "it runs on at its old rate" : "it is left down");
        return false;
    }
    if (can_do_start(interfaceName.c_str()) != 0) {
        why = Refused("can_do_start", interfaceName, bitsPerSecond);
        return false;
    }
    return true;
}

} // namespace

bool ApplyInterfaceBitrate(const std::string& interfaceName, uint32_t kbitPerSecond, std::string& why)
{
    if (if_nametoindex(interfaceName.c_str()) == 0) {
        why = "interface " + interfaceName + " does not exist (any more)";
        return false;
    }
    InterfaceLink link = LookUpInterface(interfaceName);
    if (link.kind == "vcan" || link.kind == "vxcan") {
        return true; // no bit timing: a virtual interface carries any rate
    }
    if (link.kind != "can") {
        why = interfaceName + " is not a CAN controller (its kind is '" + link.kind + "')";
        return false;
    }
    uint32_t bitsPerSecond = kbitPerSecond * 1000;
    uint32_t running = link.up ? RunningBitrate(interfaceName) : 0;
    if (link.up && running == bitsPerSecond) {
        return true; // left as it is, which needs no privilege
    }
    if (running != 0) {
        why = RunsAtAnotherRate(interfaceName, running, bitsPerSecond);
        return false;
    }
    return SetAndStart(interfaceName, bitsPerSecond, link.up, why);
}
