// One CAN frame as the sending side composes it. A plain value: copied, never shared.
#pragma once

#include <cstdint>

// The widest identifier of each format; SetId keeps the bits these masks select.
constexpr uint32_t kStandardIdMask = 0x7FF;
constexpr uint32_t kExtendedIdMask = 0x1FFFFFFF;

class cCanPacket
{
public:
    cCanPacket();
    cCanPacket(const cCanPacket& other);
    cCanPacket& operator=(const cCanPacket& other);
    virtual ~cCanPacket();

    // Masks the identifier to the format that extended selects now: 29 bits, else 11 bits.
    void SetId(uint32_t identifier);
    uint32_t GetId() const;
    // Takes 1 to 8 bytes; 0 or more than 8 are refused with -1 and change nothing. An unreadable
    // source gives -1 with length already set.
    int32_t SetData(uint8_t count, const uint8_t* bytes);

    uint32_t id;
    int32_t extended;
    int32_t remote;
    uint8_t data[8];
    uint32_t length; // never above 8 unless written directly
};
