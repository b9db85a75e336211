#include <gtest/gtest.h>

#include "FrameRules.h"

namespace {

TEST(FrameRules, ReceivedRecordCarriesTheFrameAndTheReceiversTick)
{
    BusFrame frame;
    frame.id = 0x1ABCDEF0;
    frame.extended = true;
    frame.length = 3;
    frame.data[0] = 1;
    frame.data[1] = 2;
    frame.data[2] = 3;
    frame.data[3] = 0xEE; // past length: must not reach the record
    CanMessageDescriptor message = MessageFromFrame(frame, 0xCAFE, false);
    EXPECT_EQ(message.extended, 1u);
    EXPECT_EQ(message.id, 0x1ABCDEF0u);
    EXPECT_EQ(message.remote, 0u);
    EXPECT_EQ(message.length, 3);
    EXPECT_EQ(message.gap, 0);
    EXPECT_EQ(message.timestamp, 0xCAFEu);
    EXPECT_EQ(message.reserved, 0u);
    const uint8_t expected[8] = {1, 2, 3, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(message.data, expected, sizeof(expected)), 0);
}

TEST(FrameRules, RemoteFrameIgnoresTheUnwrittenLengthAndData)
{
    CanMessageDescriptor message;
    memset(&message, 0xCD, sizeof(message)); // what the sender leaves unwritten for a remote frame
    message.reserved = 0;                    // written as 0 by the console
    message.extended = 0;
    message.id = 0x321;
    message.remote = 1;
    BusFrame frame;
    ASSERT_TRUE(FrameFromMessage(message, 500, frame));
    EXPECT_TRUE(frame.remote);
    EXPECT_EQ(frame.length, 0);
    EXPECT_EQ(frame.bitrate, 500u);
    EXPECT_EQ(frame.data[0], 0);
}

TEST(FrameRules, RemoteDlcTravelsInReservedAndLengthStaysZero)
{
    CanMessageDescriptor message{};
    message.id = 0x321;
    message.remote = 1;
    message.length = 200;
    message.reserved = 5u << kReservedRemoteDlcShift | kReservedOwnFrame; // as a received record holds it
    BusFrame frame;
    ASSERT_TRUE(FrameFromMessage(message, 125, frame));
    EXPECT_EQ(frame.length, 5);
    CanMessageDescriptor received = MessageFromFrame(frame, 7, true);
    EXPECT_EQ(received.length, 0);
    EXPECT_EQ(received.reserved, 5u << kReservedRemoteDlcShift | kReservedOwnFrame);
    message.reserved = 9u << kReservedRemoteDlcShift;
    EXPECT_FALSE(FrameFromMessage(message, 125, frame));
}

struct FilterCase
{
    uint32_t code;
    uint32_t mask;
    uint32_t id;
    bool passes;
};

TEST(FrameRules, AcceptanceFilterComparesOnlyTheBitsOutsideTheMask)
{
    const FilterCase cases[] = {
        {0xFFFFFFFF, 0xFFFFFFFF, 0x123, true}, // what the console writes: every frame
        {0x000, 0xFFFFFFFF, 0x1FFFFFFF, true}, {0x120, 0x00F, 0x120, true},  {0x120, 0x00F, 0x12F, true},
        {0x120, 0x00F, 0x130, false},          {0x120, 0x00F, 0x020, false}, {0x123, 0x000, 0x123, true},
        {0x123, 0x000, 0x122, false},
    };
    for (const FilterCase& c : cases) {
        EXPECT_EQ(PassesAcceptanceFilter(c.id, c.code, c.mask), c.passes)
            << std::hex << "code " << c.code << " mask " << c.mask << " id " << c.id;
    }
}

} // namespace
