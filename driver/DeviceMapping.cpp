#include "DeviceMapping.h"

#include <cstdlib>

#include "QuotedValue.h"
#include "SlcanAddress.h"
#include "SocketcandAddress.h"
#include "cSlcanDevice.h"
#include "cSocketcandDevice.h"

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

namespace {

std::shared_ptr<cCanDevice> OpenSocketcandDevice(const std::string& value, std::string& error)
{
    SocketcandAddress address;
    if (!ParseSocketcandAddress(value, address, error)) {
        return nullptr;
    }
    auto device = std::make_shared<cSocketcandDevice>(address);
    return device->Open(error) ? device : nullptr;
}

std::shared_ptr<cCanDevice> OpenSlcanDevice(const std::string& value, std::string& error)
{
    SlcanAddress address;
    if (!ParseSlcanAddress(value, address, error)) {
        return nullptr;
    }
    auto device = std::make_shared<cSlcanDevice>(address);
    return device->Open(error) ? device : nullptr;
}

} // namespace

std::shared_ptr<cCanDevice> OpenMappedDevice(const std::string& interfaceName, std::string& error)
{
    if (IsSocketcandMapping(interfaceName)) {
        return OpenSocketcandDevice(interfaceName, error);
    }
    if (IsSlcanMapping(interfaceName)) {
        return OpenSlcanDevice(interfaceName, error);
    }
#if defined(__linux__)
    auto device = std::make_shared<cSocketCanDevice>(interfaceName);
    return device->Open(error) ? device : nullptr;
#else
    error = "SocketCAN interfaces (" + QuotedValue(interfaceName) +
            ") exist only on Linux; unset the variable, reach a bus of a Linux machine with "
            "socketcand://HOST[:PORT]/BUS, or an adapter on a serial port with slcan:COMn";
    return nullptr;
#endif
}
