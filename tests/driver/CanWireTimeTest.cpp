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
// x^15+x^14+x^10+x^8+x^7+x^4+x^3+1), then its stuffing: field bits + stuff bits + 13. (n) is the
// number of stuff bits a run of equal bits takes.
const WireRow kRows[] = {
    // 34 zeros (CRC 0): 6 x 5 + 4 (6) -> 34 + 6 + 13
    {0x000, false, false, 0, 0x00, 53},
    // 0 00001111000 000 0000, CRC 111110101100101: SOF and the id's 0000 (1), that 1 and the id's 1111
    // (1), that 0, the id's 000 and RTR (1), IDE r0 and the DLC's 000 (1), its last 0, the CRC's 11111
    // (1) -> 34 + 5 + 13; each stuff bit opens the next run
    {0x078, false, false, 0, 0x00, 52},
    // 15 zeros (3), DLC's 1, 3 + 64 = 67 zeros (13), CRC 001010001011011 none -> 98 + 16 + 13
    {0x000, false, false, 8, 0x00, 127},
    // 0, 11 ones (2), 000 1 000, 64 ones (12) whose last 4 and the CRC's leading 1 make 5 (1), the rest
    // of CRC 100110010001001 none -> 98 + 15 + 13
    {0x7FF, false, false, 8, 0xFF, 126},
    // 0 10101010101 000 1000 0101..01, CRC 001101100000100: its 00000 (1) -> 98 + 1 + 13
    {0x555, false, false, 8, 0x55, 112},
    // 0 01010101010 000 1000 1010..10, CRC 100001111010110: no run of 5 -> the minimum, 98 + 0 + 13
    {0x2AA, false, false, 8, 0xAA, 111},
    // remote asking for 8: 0 00100100011 1 00 1000, no data, CRC 110111110011010: its 11111 (1)
    // -> 34 + 1 + 13
    {0x123, false, true, 8, 0x00, 48},
    // 12 zeros (2), SRR IDE 11, id 18 + RTR r1 r0 3 + DLC 4 = 25 zeros (5), CRC 100011000010000 none
    // -> 54 + 7 + 13
    {0x00000000, true, false, 0, 0x00, 74},
    // 12 zeros (2), SRR IDE 11, 18 + 3 = 21 zeros (4), DLC's 1, 3 + 64 = 67 zeros (13),
    // CRC 011110110101111 none -> 118 + 19 + 13
    {0x00000000, true, false, 8, 0x00, 150},
    // 0 10101010101 11 010101010101010101 000 1000 0101..01, CRC 100111100011100: no run of 5
    // -> 118 + 0 + 13, the minimum for 8 bytes extended
    {0x15555555, true, false, 8, 0x55, 131},
    // 0, 11 + SRR IDE 2 + 18 = 31 ones (6), 000 1 000, 64 ones (12), CRC 001101101101001 none
    // -> 118 + 18 + 13
    {0x1FFFFFFF, true, false, 8, 0xFF, 149},
    // remote asking for 4: 0 10010001101 11 000101011001111000 100 0100, no data,
    // CRC 100011110011101: no run of 5 -> 54 + 0 + 13
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
