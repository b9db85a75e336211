#include "SocketcandAddress.h"

#include <cstring>

namespace {

constexpr const char* kSyntax = " (expected socketcand://HOST[:PORT]/BUS[@RATE])";

bool ParseDecimal(const std::string& text, uint32_t largest, uint32_t& value)
{
    if (text.empty() || text.size() > 9) {
        return false;
    }
    value = 0;
    for (char digit : text) {
        if (digit < '0' || digit > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(digit - '0');
    }
    return value >= 1 && value <= largest;
}

bool IsBusCharacter(char c)
{
    return c > ' ' && c < 0x7F && c != '<' && c != '>' && c != '/' && c != '@';
}

// "HOST[:PORT]" or "[V6]:PORT".
bool ParseHostPort(const std::string& text, SocketcandAddress& address, std::string& error)
{
    std::string portText;
    bool hasPort = false;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close == 1) {
            error = "an IPv6 address goes in brackets: [::1]";
            return false;
        }
        address.host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') {
                error = "unexpected text after ]";
                return false;
            }
            hasPort = true;
            portText = text.substr(close + 2);
        }
    } else {
        size_t colon = text.find(':');
        address.host = text.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            portText = text.substr(colon + 1);
        }
    }
    if (address.host.empty()) {
        error = "no host";
        return false;
    }
    uint32_t port = 0;
    if (hasPort && !ParseDecimal(portText, 65535, port)) {
        error = "the port must be 1 to 65535, not '" + portText + "'";
        return false;
    }
    address.port = hasPort ? static_cast<uint16_t>(port) : SocketcandAddress::kDefaultPort;
    return true;
}

bool ParseBus(const std::string& text, SocketcandAddress& address, std::string& error)
{
    size_t at = text.find('@');
    address.bus = text.substr(0, at);
    if (address.bus.empty() || address.bus.size() > SocketcandAddress::kLongestBusName) {
        error = "the bus name must have 1 to 16 characters";
        return false;
    }
    for (char c : address.bus) {
        if (!IsBusCharacter(c)) {
            error = "the bus name may not hold spaces, '<', '>', '/' or '@'";
            return false;
        }
    }
    if (at != std::string::npos && !ParseDecimal(text.substr(at + 1), 1000000, address.kbitPerSecond)) {
        error = "the rate after @ must be a bit rate in kbit/s";
        return false;
    }
    return true;
}

} // namespace

std::string SocketcandAddress::Describe() const
{
    bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/" + bus;
}

bool IsSocketcandMapping(const std::string& value)
{
    return value.compare(0, strlen(kSocketcandScheme), kSocketcandScheme) == 0;
}

bool ParseSocketcandAddress(const std::string& value, SocketcandAddress& address, std::string& error)
{
    address = SocketcandAddress{};
    if (!IsSocketcandMapping(value)) {
        error = "not a socketcand address" + std::string(kSyntax);
        return false;
    }
    std::string rest = value.substr(strlen(kSocketcandScheme));
    size_t slash = rest.find('/', rest.empty() || rest[0] != '[' ? 0 : rest.find(']'));
    if (slash == std::string::npos) {
        error = "no /BUS" + std::string(kSyntax);
        return false;
    }
    if (!ParseHostPort(rest.substr(0, slash), address, error) ||
        !ParseBus(rest.substr(slash + 1), address, error)) {
        error += kSyntax;
        return false;
    }
    return true;
}
