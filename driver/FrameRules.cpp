#include "FrameRules.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kSupportedBitrates[] = {10, 20, 50, 100, 125, 250, 500, 800, 1000};

bool IsFlag(uint32_t value)
{
    return value == 0 || value == 1;
}

} // namespace

bool IsSupportedBitrate(uint32_t kbitPerSecond)
{
    return std::find(std::begin(kSupportedBitrates), std::end(kSupportedBitrates), kbitPerSecond) !=
           std::end(kSupportedBitrates);
}

uint32_t BitrateIndex(uint32_t kbitPerSecond)
{
    auto found = std::find(std::begin(kSupportedBitrates), std::end(kSupportedBitrates), kbitPerSecond);
    return static_cast<uint32_t>(found - std::begin(kSupportedBitrates));
}

uint32_t RemoteDlcOf(const CanMessageDescriptor& message)
{
    return (message.reserved & kReservedRemoteDlcMask) >> kReservedRemoteDlcShift;
}

bool FrameFromMessage(const CanMessageDescriptor& message, uint32_t bitrate, BusFrame& frame)
{
    if (!IsFlag(message.extended) || !IsFlag(message.remote)) {
        return false;
    }
    bool extended = message.extended == 1;
    if (message.id > (extended ? kExtendedIdLimit : kStandardIdLimit)) {
        return false;
    }
    bool remote = message.remote == 1;
    if ((remote ? RemoteDlcOf(message) : message.length) > kCanMaxDataBytes) {
        return false;
    }
    frame = BusFrame{};
    frame.id = message.id;
    frame.bitrate = bitrate;
    frame.extended = extended;
    frame.remote = remote;
    if (remote) {
        frame.length = static_cast<uint8_t>(RemoteDlcOf(message));
    } else {
        frame.length = static_cast<uint8_t>(message.length);
        memcpy(frame.data, message.data, frame.length);
    }
    return true;
}

CanMessageDescriptor MessageFromFrame(const BusFrame& frame, uint32_t timestamp, bool own)
{
    CanMessageDescriptor message{};
    message.extended = frame.extended ? 1 : 0;
    message.id = frame.id;
    message.remote = frame.remote ? 1 : 0;
    uint16_t length = std::min<uint16_t>(frame.length, kCanMaxDataBytes);
    if (frame.remote) {
        message.reserved = static_cast<uint32_t>(length) << kReservedRemoteDlcShift;
    } else {
        message.length = length;
        memcpy(message.data, frame.data, length);
    }
    message.reserved |= own ? kReservedOwnFrame : 0u;
    message.timestamp = timestamp;
    return message;
}

bool PassesAcceptanceFilter(uint32_t id, uint32_t code, uint32_t mask)
{
    return ((id ^ code) & ~mask) == 0;
}
