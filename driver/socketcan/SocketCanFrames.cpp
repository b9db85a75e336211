#include "SocketCanFrames.h"

#include <algorithm>
#include <cstring>

#include "FrameRules.h"

bool CanFrameFromMessage(const CanMessageDescriptor& message, can_frame& frame)
{
    BusFrame checked;
    if (!FrameFromMessage(message, kDefaultBitrate, checked)) {
        return false;
    }
    frame = can_frame{};
    frame.can_id = checked.id;
    if (checked.extended) {
        frame.can_id |= CAN_EFF_FLAG;
    }
    if (checked.remote) {
        frame.can_id |= CAN_RTR_FLAG;
    }
    frame.len = checked.length;
    memcpy(frame.data, checked.data, checked.length);
    return true;
}

bool IsErrorFrame(const can_frame& frame)
{
    return (frame.can_id & CAN_ERR_FLAG) != 0;
}

CanMessageDescriptor MessageFromCanFrame(const can_frame& frame, uint32_t timestampMs)
{
    CanMessageDescriptor message{};
    bool extended = (frame.can_id & CAN_EFF_FLAG) != 0;
    message.extended = extended ? 1 : 0;
    message.id = frame.can_id & (extended ? CAN_EFF_MASK : CAN_SFF_MASK);
    message.remote = (frame.can_id & CAN_RTR_FLAG) != 0 ? 1 : 0;
    message.length = std::min<uint16_t>(frame.len, kCanMaxDataBytes);
    message.timestamp = timestampMs;
    if (message.remote == 0) {
        memcpy(message.data, frame.data, message.length);
    }
    return message;
}

uint32_t TimestampMilliseconds(const timeval& time)
{
    uint64_t milliseconds =
        static_cast<uint64_t>(time.tv_sec) * 1000 + static_cast<uint64_t>(time.tv_usec) / 1000;
    return static_cast<uint32_t>(milliseconds);
}

uint32_t DropsSince(uint32_t previousCount, uint32_t currentCount)
{
    return currentCount - previousCount; // unsigned arithmetic wraps as the kernel's counter does
}
