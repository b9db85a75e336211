// What a device argument of the bus tools opens. "CAN0:" to "CAN9:" (any letter case) are the driver's
// devices: the virtual buses, or the SocketCAN interface the operator mapped with RVCAN32CE_CANn. Any
// other name is what a can-utils user means by it, the SocketCAN interface of that name, when there is
// one; otherwise it is refused with what was probably meant. Never another bus in silence.
//
//   ResolveDeviceName("can1:")   virtual bus 1, shown as "CAN1:"
//   ResolveDeviceName("vcan0")   the interface vcan0, if it exists and is a CAN interface
//   ResolveDeviceName("CAN1")    refused: "CAN1 is not a device: the virtual bus is CAN1: (with the
//                                colon), and no SocketCAN interface is named CAN1"
//   the same with ColonlessBus::InCapitals (can-serve): virtual bus 1, unless an interface is named CAN1
#pragma once

#include <cstdint>
#include <string>

enum class DeviceKind
{
    VirtualBus, // the driver's CANn: as the driver maps it
    Interface,  // a SocketCAN interface named on the command line
    Refused
};

struct ResolvedDevice
{
    DeviceKind kind = DeviceKind::Refused;
    std::string name; // "CAN1:" or the interface's name; the problem when refused
    uint32_t bus = 0; // for a virtual bus
};

// How a name "CAN0" to "CAN9" without its colon is taken where no interface has that name.
enum class ColonlessBus
{
    Refused,   // the bus tools: a can-utils user may mean an interface, so the colon is asked for
    InCapitals // can-serve, whose clients open "CAN1": "CAN1" in capitals is virtual bus 1 (no kernel
               // names an interface so), "can1" stays the interface a can-utils user means
};

// isCanInterface tells whether a name is a SocketCAN interface here; socketCanExists is false where the
// platform has none (Windows), which the refusal then says.
ResolvedDevice ResolveDeviceName(const std::string& text, bool (*isCanInterface)(const std::string&),
                                 bool socketCanExists, ColonlessBus colonless = ColonlessBus::Refused);

// The tools' bit rates: "500", "500k" and "500000" are 500 kbit/s. False for anything that is not one
// of the nine rates in one of these forms.
bool ParseBitRate(const std::string& text, uint32_t& kbitPerSecond);

// "use 10, 20, 50, 100, 125, 250, 500, 800 or 1000 kbit/s (500, 500k and 500000 are the same)"
std::string BitRateAdvice();
