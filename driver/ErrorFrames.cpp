#include "ErrorFrames.h"

#include <cstring>

CanMessageDescriptor ErrorFrameMessage(uint32_t classBits, const uint8_t (&data)[8], uint32_t timestamp)
{
    CanMessageDescriptor message{};
    message.extended = 1;
    message.id = kCanErrorFlag | (classBits & 0x1FFFFFFFu);
    message.length = 8;
    message.timestamp = timestamp;
    memcpy(message.data, data, sizeof(message.data));
    return message;
}

bool IsErrorFrameMessage(const CanMessageDescriptor& message)
{
    return (message.id & kCanErrorFlag) != 0;
}
