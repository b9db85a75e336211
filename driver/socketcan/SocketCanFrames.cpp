#include "SocketCanFrames.h"

#include <algorithm>
#include <cstring>

#include "ErrorFrames.h"
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

CanMessageDescriptor ErrorMessageFromCanFrame(const can_frame& frame, uint32_t timestampMs)
{
    uint8_t data[8] = {};
    uint8_t length = std::min<uint8_t>(frame.len, sizeof(data));
    memcpy(data, frame.data, length);
    CanMessageDescriptor message = ErrorFrameMessage(frame.can_id & CAN_ERR_MASK, data, timestampMs);
    message.length = length;
    return message;
}

CanMessageDescriptor MessageFromCanFrame(const can_frame& frame, uint32_t timestampMs, bool own)
{
    BusFrame received;
    received.extended = (frame.can_id & CAN_EFF_FLAG) != 0;
    received.id = frame.can_id & (received.extended ? CAN_EFF_MASK : CAN_SFF_MASK);
    received.remote = (frame.can_id & CAN_RTR_FLAG) != 0;
    received.length = std::min<uint8_t>(frame.len, kCanMaxDataBytes);
    if (!received.remote) {
        memcpy(received.data, frame.data, received.length);
    }
    return MessageFromFrame(received, timestampMs, own);
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
