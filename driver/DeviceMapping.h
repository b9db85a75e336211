// Which devices run on a SocketCAN interface, a socketcand server's bus or a serial-line CAN adapter
// instead of a virtual bus.
// The operator maps "CANn:" by setting RVCAN32CE_CANn before the program starts: to an interface of
// this machine, e.g. RVCAN32CE_CAN1=can0 (Linux only), or to a bus of another machine,
// e.g. RVCAN32CE_CAN1=socketcand://bench:29536/can0 (socketcand/SocketcandAddress.h), or to a CAN
// adapter on a serial port, e.g. RVCAN32CE_CAN1=slcan:/dev/ttyACM0 or slcan:COM5 (slcan/SlcanAddress.h).
// A device whose variable is unset or empty stays on virtual bus n.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cCanDevice.h"

// "RVCAN32CE_CAN1" for bus 1.
std::string MappingVariable(uint32_t bus);
// The interface or socketcand address that bus is mapped to, or empty for the virtual bus.
std::string MappedInterface(uint32_t bus);
// A device on the interface or the socketcand bus; null, with error naming the step that failed, when it
// cannot be opened (and for an interface where there is no SocketCAN).
std::shared_ptr<cCanDevice> OpenMappedDevice(const std::string& interfaceName, std::string& error);
