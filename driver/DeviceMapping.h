// Which devices run on a SocketCAN interface instead of a virtual bus. The operator maps "CANn:" to an
// interface by setting RVCAN32CE_CANn before the program starts, e.g. RVCAN32CE_CAN1=can0; a device whose
// variable is unset or empty stays on virtual bus n.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cCanDevice.h"

// "RVCAN32CE_CAN1" for bus 1.
std::string MappingVariable(uint32_t bus);
// The interface that bus is mapped to, or empty for the virtual bus.
std::string MappedInterface(uint32_t bus);
// A device on the interface; null, with error naming the call that failed, when it cannot be opened
// (and always where there is no SocketCAN).
std::shared_ptr<cCanDevice> OpenMappedDevice(const std::string& interfaceName, std::string& error);
