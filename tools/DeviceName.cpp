#include "DeviceName.h"

#include <cctype>

namespace {

constexpr uint32_t kBitRates[] = {10, 20, 50, 100, 125, 250, 500, 800, 1000};
constexpr uint32_t kBitsPerKbit = 1000;
constexpr size_t kMostRateDigits = 7;

bool IsBusName(const std::string& text, bool withColon)
{
    size_t size = withColon ? 5 : 4;
    return text.size() == size && toupper(static_cast<unsigned char>(text[0])) == 'C' &&
           toupper(static_cast<unsigned char>(text[1])) == 'A' &&
           toupper(static_cast<unsigned char>(text[2])) == 'N' &&
           isdigit(static_cast<unsigned char>(text[3])) && (!withColon || text[4] == ':');
}

bool IsRate(uint32_t kbitPerSecond)
{
    for (uint32_t rate : kBitRates) {
        if (rate == kbitPerSecond) {
            return true;
        }
    }
    return false;
}

bool IsInCapitals(const std::string& text)
{
    return text.compare(0, 3, "CAN") == 0;
}

std::string RefusalFor(const std::string& text, bool socketCanExists, ColonlessBus colonless)
{
    if (IsBusName(text, false)) {
        std::string bus = "CAN" + text.substr(3, 1);
        std::string named = colonless == ColonlessBus::InCapitals ? bus + ": or " + bus + " (in capitals)"
                                                                  : bus + ": (with the colon)";
        return text + " is not a device: the virtual bus is " + named + ", and no " +
               (socketCanExists ? "SocketCAN interface is named " + text : "SocketCAN exists here");
    }
    if (!socketCanExists) {
        return text + " is not a device: SocketCAN interfaces exist only on Linux; the devices here are "
                      "the virtual buses CAN0: to CAN9:";
    }
    return text + " is not a device: no SocketCAN interface is named " + text +
           " ('ip link show type can' and 'ip link show type vcan' list them); the virtual buses are "
           "CAN0: to CAN9:, and RVCAN32CE_CANn=IFACE puts CANn: on an interface";
}

} // namespace

ResolvedDevice ResolveDeviceName(const std::string& text, bool (*isCanInterface)(const std::string&),
                                 bool socketCanExists, ColonlessBus colonless)
{
    ResolvedDevice device;
    bool interfaceNamed = socketCanExists && isCanInterface(text);
    bool capitalBus = colonless == ColonlessBus::InCapitals && IsBusName(text, false) && IsInCapitals(text) &&
                      !interfaceNamed;
    if (IsBusName(text, true) || capitalBus) {
        device.kind = DeviceKind::VirtualBus;
        device.bus = static_cast<uint32_t>(text[3] - '0');
        device.name = "CAN" + text.substr(3, 1) + ":";
        return device;
    }
    if (interfaceNamed) {
        device.kind = DeviceKind::Interface;
        device.name = text;
        return device;
    }
    device.name = RefusalFor(text, socketCanExists, colonless);
    return device;
}

bool ParseBitRate(const std::string& text, uint32_t& kbitPerSecond)
{
    std::string digits = text;
    bool kilo = !digits.empty() && (digits.back() == 'k' || digits.back() == 'K');
    if (kilo) {
        digits.pop_back();
    }
    if (digits.empty() || digits.size() > kMostRateDigits) {
        return false;
    }
    uint32_t value = 0;
    for (char c : digits) {
        if (!isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    // A bare number is kbit/s when it is one of the rates, bit/s when it is a thousand times one.
    if (!kilo && !IsRate(value) && value % kBitsPerKbit == 0) {
        value /= kBitsPerKbit;
    }
    if (!IsRate(value)) {
        return false;
    }
    kbitPerSecond = value;
    return true;
}

std::string BitRateAdvice()
{
    return "use 10, 20, 50, 100, 125, 250, 500, 800 or 1000 kbit/s (500, 500k and 500000 are the same)";
}
