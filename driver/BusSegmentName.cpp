#include "BusSegmentName.h"

#include <cstdlib>

namespace {

constexpr size_t kMaxNamespaceLength = 32;

bool IsNamespaceCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool IsNamespace(const std::string& text)
{
    if (text.size() > kMaxNamespaceLength) {
        return false;
    }
    for (char c : text) {
        if (!IsNamespaceCharacter(c)) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string BusSegmentName(uint32_t bus, const std::string& scope)
{
    std::string name = "rvcan32ce-";
    if (const char* space = getenv("RVCAN32CE_NAMESPACE"); space != nullptr && *space != 0) {
        if (!IsNamespace(space)) {
            return {};
        }
        name += std::string(space) + "-";
    }
    if (!scope.empty()) {
        name += scope + "-";
    }
    return name + "bus-" + std::to_string(bus) + "-v" + std::to_string(kBusLayoutVersion);
}
