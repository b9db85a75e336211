#include "SlcanAddress.h"

#include <cstring>

namespace {

constexpr const char* kSyntax = " (expected slcan:PORT[@SPEED], e.g. slcan:/dev/ttyACM0 or slcan:COM5)";
constexpr uint32_t kLineSpeeds[] = {9600,   19200,  38400,  57600,   115200,  230400, 460800,
                                    500000, 576000, 921600, 1000000, 2000000, 3000000};

bool ParseSpeed(const std::string& text, uint32_t& speed)
{
    if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    speed = static_cast<uint32_t>(std::stoul(text));
    for (uint32_t known : kLineSpeeds) {
        if (known == speed) {
            return true;
        }
    }
    return false;
}

bool IsPortCharacter(char c)
{
    return c > ' ' && c < 0x7F;
}

} // namespace

bool IsSlcanMapping(const std::string& value)
{
    return value.compare(0, strlen(kSlcanScheme), kSlcanScheme) == 0;
}

bool ParseSlcanAddress(const std::string& value, SlcanAddress& address, std::string& error)
{
    address = SlcanAddress();
    if (!IsSlcanMapping(value)) {
        error = std::string("not an slcan adapter") + kSyntax;
        return false;
    }
    std::string rest = value.substr(strlen(kSlcanScheme));
    size_t at = rest.rfind('@');
    address.port = rest.substr(0, at);
    if (address.port.empty()) {
        error = std::string("no serial port") + kSyntax;
        return false;
    }
    for (char c : address.port) {
        if (!IsPortCharacter(c)) {
            error = std::string("a serial port's name has no blanks or control characters") + kSyntax;
            return false;
        }
    }
    if (at != std::string::npos && !ParseSpeed(rest.substr(at + 1), address.speed)) {
        error = "the serial line's speed after @ is one of " + std::string(kSlcanLineSpeedsText) + " bit/s" +
                kSyntax;
        return false;
    }
    return true;
}

std::string WindowsPortPath(const std::string& port)
{
    bool comName = port.size() > 3 && port.size() <= 6 && (port[0] | 0x20) == 'c' &&
                   (port[1] | 0x20) == 'o' && (port[2] | 0x20) == 'm' &&
                   port.find_first_not_of("0123456789", 3) == std::string::npos;
    return comName ? "\\\\.\\" + port : port;
}
