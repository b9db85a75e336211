#include "FrameFilter.h"

namespace {

constexpr size_t kMostHexDigits = 8;
constexpr size_t kExtendedIdDigits = 8;
constexpr uint32_t kStandardIdMask = 0x7FFu;
constexpr uint32_t kExtendedIdMask = 0x1FFFFFFFu;

bool ParseHex(std::string_view digits, uint32_t& value)
{
    if (digits.empty() || digits.size() > kMostHexDigits) {
        return false;
    }
    value = 0;
    for (char c : digits) {
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        value = value << 4 | digit;
    }
    return true;
}

std::string ParseIdFilter(std::string_view item, size_t separator, FrameFilter& filter)
{
    CanIdFilter parsed;
    std::string_view id = item.substr(0, separator);
    if (!ParseHex(id, parsed.id) || !ParseHex(item.substr(separator + 1), parsed.mask)) {
        return "filter " + std::string(item) + ": the id and the mask are 1 to 8 hex digits each";
    }
    parsed.inverted = item[separator] == '~';
    // As candump: 8 digits mean an extended id; the error flag is never part of a data filter.
    if (id.size() == kExtendedIdDigits) {
        parsed.id |= kExtendedFlag;
    }
    parsed.id &= ~kErrorFrameFlag;
    parsed.mask &= ~kErrorFrameFlag;
    filter.filters.push_back(parsed);
    return {};
}

std::string ParseFilterItem(std::string_view item, FrameFilter& filter)
{
    if (item == "j" || item == "J") {
        filter.join = true;
        return {};
    }
    if (!item.empty() && item[0] == '#') {
        if (!ParseHex(item.substr(1), filter.errorMask)) {
            return "error mask " + std::string(item) + ": write # and 1 to 8 hex digits, e.g. #FFFFFFFF";
        }
        filter.errorMask &= kErrorClassMask;
        filter.errorMaskGiven = true;
        return {};
    }
    size_t separator = item.find_first_of(":~");
    if (separator == std::string_view::npos) {
        return "filter " + std::string(item) +
               ": expected ID:MASK, ID~MASK (inverted), #ERRORMASK or j, e.g. 123:7FF";
    }
    return ParseIdFilter(item, separator, filter);
}

// The kernel's rule (can_rcv_list_find): a mask that asks for EFF on a standard id looks only at the
// standard bits and the flags, and the id is compared under its mask.
bool IdFilterPasses(const CanIdFilter& filter, uint32_t flaggedId)
{
    uint32_t mask = filter.mask;
    if ((mask & kExtendedFlag) != 0 && (filter.id & kExtendedFlag) == 0) {
        mask &= kStandardIdMask | kExtendedFlag | kRemoteFlag;
    }
    bool equal = (flaggedId & mask) == (filter.id & mask);
    return equal != filter.inverted;
}

} // namespace

uint32_t FlaggedId(const CanMessageDescriptor& frame)
{
    if ((frame.id & kErrorFrameFlag) != 0) {
        return frame.id & (kErrorFrameFlag | kErrorClassMask);
    }
    uint32_t id =
        frame.extended == 1 ? (frame.id & kExtendedIdMask) | kExtendedFlag : frame.id & kStandardIdMask;
    return frame.remote == 1 ? id | kRemoteFlag : id;
}

bool IsErrorFrame(const CanMessageDescriptor& frame)
{
    return (frame.id & kErrorFrameFlag) != 0;
}

bool FrameFilter::Passes(const CanMessageDescriptor& frame) const
{
    uint32_t id = FlaggedId(frame);
    if (IsErrorFrame(frame)) {
        return (id & errorMask & kErrorClassMask) != 0;
    }
    if (filters.empty()) {
        return true;
    }
    // Several matches deliver a frame once; joined, only a match of every filter delivers it.
    size_t passed = 0;
    for (const CanIdFilter& each : filters) {
        passed += IdFilterPasses(each, id) ? 1 : 0;
    }
    return join ? passed == filters.size() : passed > 0;
}

std::string ParseDeviceFilters(std::string_view argument, std::string& device, FrameFilter& filter)
{
    filter = FrameFilter{};
    size_t comma = argument.find(',');
    device = std::string(argument.substr(0, comma));
    if (device.empty()) {
        return "a device name comes before its filters, e.g. CAN1:,123:7FF";
    }
    while (comma != std::string_view::npos) {
        argument = argument.substr(comma + 1);
        comma = argument.find(',');
        std::string problem = ParseFilterItem(argument.substr(0, comma), filter);
        if (!problem.empty()) {
            return problem;
        }
    }
    return {};
}
