#include "CanWireTime.h"

#include <algorithm>

namespace {

constexpr uint32_t kMaxStuffedFieldBits = 54 + 64 + 15;    // extended, 8 bytes, SOF .. CRC
constexpr uint32_t kUnstuffedTailBits = 1 + 1 + 1 + 7 + 3; // CRC and ACK delimiters, ACK, EOF, IFS
constexpr uint32_t kStuffRun = 5;
constexpr uint16_t kCrc15Generator = 0x4599;

// The bits of SOF .. CRC in wire order, 0 dominant, 1 recessive.
class cFieldBits
{
public:
    void Append(uint32_t value, uint32_t width)
    {
        for (uint32_t bit = width; bit-- > 0;)
            m_bits[m_count++] = static_cast<uint8_t>((value >> bit) & 1u);
    }
    uint32_t Count() const { return m_count; }
    uint8_t operator[](uint32_t index) const { return m_bits[index]; }

private:
    uint8_t m_bits[kMaxStuffedFieldBits] = {};
    uint32_t m_count = 0;
};

void AppendArbitrationAndControl(const BusFrame& frame, uint32_t dlc, cFieldBits& bits)
{
    const uint32_t rtr = frame.remote ? 1u : 0u;
    bits.Append(0, 1); // SOF
    if (frame.extended) {
        bits.Append(frame.id >> 18, 11);
        bits.Append(1, 1); // SRR
        bits.Append(1, 1); // IDE
        bits.Append(frame.id & 0x3FFFFu, 18);
        bits.Append(rtr, 1);
        bits.Append(0, 2); // r1, r0
    } else {
        bits.Append(frame.id & 0x7FFu, 11);
        bits.Append(rtr, 1);
        bits.Append(0, 2); // IDE, r0
    }
    bits.Append(dlc, 4);
}

uint16_t Crc15(const cFieldBits& bits)
{
    uint16_t crc = 0;
    for (uint32_t i = 0; i < bits.Count(); ++i) {
        const bool feedback = (bits[i] ^ (crc >> 14)) & 1u;
        crc = static_cast<uint16_t>((crc << 1) & 0x7FFFu);
        if (feedback)
            crc ^= kCrc15Generator;
    }
    return crc;
}

uint32_t StuffBits(const cFieldBits& bits)
{
    uint32_t stuffed = 0;
    uint8_t level = bits[0];
    uint32_t run = 0;
    for (uint32_t i = 0; i < bits.Count(); ++i) {
        if (bits[i] == level) {
            ++run;
        } else {
            level = bits[i];
            run = 1;
        }
        if (run == kStuffRun) { // the inserted bit, of the other level, opens the next run
            ++stuffed;
            level ^= 1u;
            run = 1;
        }
    }
    return stuffed;
}

} // namespace

uint32_t CanWireBits(const BusFrame& frame)
{
    const uint32_t dlc = frame.length & 0xFu;
    const uint32_t dataBytes = frame.remote ? 0u : std::min<uint32_t>(dlc, 8);
    cFieldBits bits;
    AppendArbitrationAndControl(frame, dlc, bits);
    for (uint32_t i = 0; i < dataBytes; ++i)
        bits.Append(frame.data[i], 8);
    bits.Append(Crc15(bits), 15);
    return bits.Count() + StuffBits(bits) + kUnstuffedTailBits;
}

uint64_t CanWireNanoseconds(uint32_t bits, uint32_t kbitPerSecond)
{
    if (kbitPerSecond == 0)
        return 0;
    return uint64_t{bits} * 1'000'000u / kbitPerSecond;
}

double CanMaxFramesPerSecond(uint32_t bits, uint32_t kbitPerSecond)
{
    if (bits == 0)
        return 0.0;
    return double(kbitPerSecond) * 1000.0 / double(bits);
}
