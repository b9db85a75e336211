// The frames of the bus soak: each member sends 8-byte frames that carry its number, a sequence number
// and a checksum over the identifier and the first six bytes, so a receiver can tell any corrupted or
// torn frame from a good one.
#pragma once

#include <cstdint>

#include "CanMessageDescriptor.h"

constexpr uint32_t kSoakIdBase = 0x100;

inline uint16_t SoakChecksum(const CanMessageDescriptor& frame)
{
    // Fletcher-16 over the identifier's two low bytes and data bytes 0 to 5.
    uint32_t sum1 = 0;
    uint32_t sum2 = 0;
    const uint8_t bytes[] = {static_cast<uint8_t>(frame.id),
                             static_cast<uint8_t>(frame.id >> 8),
                             frame.data[0],
                             frame.data[1],
                             frame.data[2],
                             frame.data[3],
                             frame.data[4],
                             frame.data[5]};
    for (uint8_t byte : bytes) {
        sum1 = (sum1 + byte) % 255;
        sum2 = (sum2 + sum1) % 255;
    }
    return static_cast<uint16_t>(sum2 << 8 | sum1);
}

inline CanMessageDescriptor SoakFrame(uint8_t member, uint32_t sequence)
{
    CanMessageDescriptor frame{};
    frame.id = kSoakIdBase + member;
    frame.length = 8;
    frame.data[0] = member;
    for (int i = 0; i < 4; ++i) {
        frame.data[1 + i] = static_cast<uint8_t>(sequence >> (8 * i));
    }
    frame.data[5] = static_cast<uint8_t>(frame.data[1] ^ 0xA5);
    uint16_t checksum = SoakChecksum(frame);
    frame.data[6] = static_cast<uint8_t>(checksum);
    frame.data[7] = static_cast<uint8_t>(checksum >> 8);
    return frame;
}

inline bool IsIntactSoakFrame(const CanMessageDescriptor& frame)
{
    uint16_t checksum = SoakChecksum(frame);
    return frame.extended == 0 && frame.remote == 0 && frame.length == 8 &&
           frame.id == kSoakIdBase + frame.data[0] &&
           frame.data[5] == static_cast<uint8_t>(frame.data[1] ^ 0xA5) &&
           frame.data[6] == static_cast<uint8_t>(checksum) &&
           frame.data[7] == static_cast<uint8_t>(checksum >> 8);
}
