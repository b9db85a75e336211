#include <gtest/gtest.h>

#include <cstring>

#include "CanWireTime.h"

namespace {

struct WireRow
{
    uint32_t id;
    bool extended;
    bool remote;
    uint8_t length;
    uint8_t fill; // every data byte
    uint32_t bits;
};

// Worked by hand from the bit string SOF .. CRC (CRC-15 by long division of the string times x^15 by
// x^15+x^14+x^10+x^8+x^7+x^4+x^3+1), then stuffing it: field bits + stuff + 13.
const WireRow kRows[] = {
    // 34 zeros, CRC 0: stuff after every 5th zero, 34 / 5 = 6 -> 34 + 6 + 13
    {0x000, false, false, 0, 0x00, 53},
    // 15 zeros, DLC 1000, 64 zeros, CRC 001010001011011: 3 + 13 in the zeros (the 1 of DLC opens a run
    // after the third stuff bit), none in the CRC -> 98 + 16 + 13
    {0x000, false, false, 8, 0x00, 127},
    // 0, 11 ones, 000, 1000, 64 ones, CRC 100110010001001: 2 in the id, 13 in the data (the fifth
    // stuff bit of the data follows the DLC's 1 + 4 ones), none in the CRC -> 98 + 15 + 13
    {0x7FF, false, false, 8, 0xFF, 126},
    // alternating id and data, CRC 001101100000100: one stuff bit after its 00000 -> 98 + 1 + 13
    {0x555, false, false, 8, 0x55, 112},
    // 0 0101010101 0 000 1000 1010..., CRC 100001111010110: no run reaches 5 -> the minimum, 98 + 13
    {0x2AA, false, false, 8, 0xAA, 111},
    // remote asking for 8: 0001 0010 0011 1 00 1000, no data, CRC 110111110011010: the 11111 of the
    // CRC -> 34 + 1 + 13
    {0x123, false, true, 8, 0x00, 48},
    // extended 0, 0 bytes: 12 zeros, SRR IDE 11, 18 zeros, 000 0000, CRC 100011000010000: 2 + 4 in the
    // zeros (the last run of 7 zeros closes with the DLC), 1 in the CRC's 0000 after a stuff-free 1 -> 54
    // + 7 + 13
    {0x00000000, true, false, 0, 0x00, 74},
    // extended 0, 8 zero bytes, CRC 011110110101111: 2 + 4 before the DLC's 1, 13 in the 67 zeros
    // after it -> 118 + 19 + 13
    {0x00000000, true, false, 8, 0x00, 150},
    // extended alternating (0x15555555 with SRR IDE 11), 0x55 data, CRC 100111100011100: no run of 5 ->
    // 118 + 13, the minimum for an extended 8-byte frame
    {0x15555555, true, false, 8, 0x55, 131},
    // extended all ones: 31 ones in the arbitration field (6 stuff bits), 65 ones from the DLC's 1 into
    // the data (12, the first taking the DLC's 1), CRC 001101101101001 -> 118 + 18 + 13
    {0x1FFFFFFF, true, false, 8, 0xFF, 149},
    // extended remote asking for 4: 54 field bits, CRC 100011110011101, no run of 5 -> 54 + 13
    {0x12345678, true, true, 4, 0x00, 67},
};

BusFrame FrameOf(const WireRow& row)
{
    BusFrame frame;
    frame.id = row.id;
    frame.extended = row.extended;
    frame.remote = row.remote;
    frame.length = row.length;
    memset(frame.data, row.fill, sizeof(frame.data));
    return frame;
}

TEST(CanWireTime, FrameTakesItsWorkedOutLengthOnTheWire)
{
    for (const WireRow& row : kRows)
        EXPECT_EQ(CanWireBits(FrameOf(row)), row.bits) << std::hex << "id 0x" << row.id;
}

TEST(CanWireTime, RemoteFrameCarriesNoDataWhateverItsBuffer)
{
    BusFrame remote = FrameOf({0x123, false, true, 8, 0x00, 0});
    const uint32_t bits = CanWireBits(remote);
    memset(remote.data, 0x5A, sizeof(remote.data));
    EXPECT_EQ(CanWireBits(remote), bits);
}

TEST(CanWireTime, TimeAndMaximumRateFollowTheBitRate)
{
    // 111 bits (a standard 8-byte frame without stuffing) at each of the nine rates.
    const struct
    {
        uint32_t kbitPerSecond;
        uint64_t nanoseconds;
    } rates[] = {{10, 11'100'000}, {20, 5'550'000}, {50, 2'220'000}, {100, 1'110'000}, {125, 888'000},
                 {250, 444'000},   {500, 222'000},  {800, 138'750},  {1000, 111'000}};
    for (const auto& rate : rates) {
        EXPECT_EQ(CanWireNanoseconds(111, rate.kbitPerSecond), rate.nanoseconds) << rate.kbitPerSecond;
        EXPECT_DOUBLE_EQ(CanMaxFramesPerSecond(111, rate.kbitPerSecond), 1e9 / double(rate.nanoseconds))
            << rate.kbitPerSecond;
    }
    EXPECT_EQ(CanWireNanoseconds(111, 0), 0u);
}

} // namespace
