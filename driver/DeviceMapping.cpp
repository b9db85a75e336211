#include "DeviceMapping.h"

#include <cstdlib>

#include "QuotedValue.h"

#if defined(__linux__)
#include "cSocketCanDevice.h"
#endif

std::string MappingVariable(uint32_t bus)
{
    return "RVCAN32CE_CAN" + std::to_string(bus);
}

std::string MappedInterface(uint32_t bus)
{
    const char* value = getenv(MappingVariable(bus).c_str());
    return value == nullptr ? std::string() : std::string(value);
}

std::shared_ptr<cCanDevice> OpenMappedDevice(const std::string& interfaceName, std::string& error)
{
#if defined(__linux__)
    auto device = std::make_shared<cSocketCanDevice>(interfaceName);
    return device->Open(error) ? device : nullptr;
#else
    error =
        "SocketCAN interfaces (" + QuotedValue(interfaceName) + ") exist only on Linux; unset the variable";
    return nullptr;
#endif
}
