#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "PortTestSupport.h"
#include "cCanPacket.h"

namespace {

using Bytes = std::array<uint8_t, 8>;

Bytes DataOf(const cCanPacket& packet)
{
    Bytes bytes;
    memcpy(bytes.data(), packet.data, bytes.size());
    return bytes;
}

cCanPacket PacketWithData(Bytes bytes)
{
    cCanPacket packet;
    memcpy(packet.data, bytes.data(), bytes.size());
    return packet;
}

} // namespace

TEST(CanPacket, StartsAsStandardDataFrameOfEightZeroBytes)
{
    cCanPacket packet;
    EXPECT_EQ(packet.id, 0u);
    EXPECT_EQ(packet.extended, 0);
    EXPECT_EQ(packet.remote, 0);
    EXPECT_EQ(DataOf(packet), Bytes{});
    EXPECT_EQ(packet.length, 8u);
}

struct MaskCase
{
    int32_t extended;
    uint32_t given;
    uint32_t stored;
};

class CanPacketSetId : public testing::TestWithParam<MaskCase>
{
};

TEST_P(CanPacketSetId, MasksToTheFormatSelectedNow)
{
    cCanPacket packet;
    packet.extended = GetParam().extended;
    packet.SetId(GetParam().given);
    EXPECT_EQ(packet.id, GetParam().stored);
    EXPECT_EQ(packet.GetId(), GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(Identifiers, CanPacketSetId,
                         testing::Values(MaskCase{0, 0x123, 0x123}, MaskCase{0, 0x800, 0},
                                         MaskCase{0, 0xFFFFFFFF, 0x7FF}, MaskCase{1, 0xFFFFFFFF, 0x1FFFFFFF},
                                         MaskCase{1, 0x800, 0x800}, MaskCase{7, 0x3FFFFFFF, 0x1FFFFFFF}));

TEST(CanPacket, ChangingTheFormatAfterSetIdDoesNotMaskAgain)
{
    cCanPacket packet;
    packet.extended = 1;
    packet.SetId(0x800);
    packet.extended = 0;
    EXPECT_EQ(packet.id, 0x800u);
}

TEST(CanPacket, SetDataRefusesZeroAndMoreThanEightAndChangesNothing)
{
    uint8_t nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    for (uint8_t count : {uint8_t(0), uint8_t(9), uint8_t(255)}) {
        cCanPacket packet = PacketWithData({0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA});
        packet.length = 5;
        EXPECT_EQ(packet.SetData(count, nine), -1) << int(count);
        EXPECT_EQ(packet.length, 5u) << int(count);
        EXPECT_EQ(DataOf(packet), (Bytes{0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA})) << int(count);
    }
}

TEST(CanPacket, SetDataWithEightCopiesAllBytes)
{
    cCanPacket packet;
    const uint8_t bytes[8] = {0x00, 0x22, 0x44, 0x88, 0xAA, 0xBB, 0xEE, 0xFF};
    EXPECT_EQ(packet.SetData(8, bytes), 0);
    EXPECT_EQ(packet.length, 8u);
    EXPECT_EQ(DataOf(packet), (Bytes{0x00, 0x22, 0x44, 0x88, 0xAA, 0xBB, 0xEE, 0xFF}));
}

TEST(CanPacket, SetDataLeavesBytesPastTheLengthAndCopiesCarryThem)
{
    cCanPacket packet = PacketWithData({0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA});
    const uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(packet.SetData(3, bytes), 0);
    EXPECT_EQ(packet.length, 3u);
    const Bytes expected = {1, 2, 3, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(DataOf(packet), expected);

    cCanPacket copy(packet);
    cCanPacket assigned;
    assigned = packet;
    for (const cCanPacket* other : {&copy, &assigned}) {
        EXPECT_EQ(DataOf(*other), expected);
        EXPECT_EQ(other->length, 3u);
    }
}

TEST(CanPacket, CopyAndAssignmentCarryEveryField)
{
    cCanPacket packet;
    packet.id = 0x1ABCDEF;
    packet.extended = 3;
    packet.remote = 2;
    packet.length = 6;
    memset(packet.data, 0x5C, sizeof(packet.data));

    cCanPacket copy(packet);
    cCanPacket assigned;
    assigned = packet;
    for (const cCanPacket* other : {&copy, &assigned}) {
        EXPECT_EQ(other->id, 0x1ABCDEFu);
        EXPECT_EQ(other->extended, 3);
        EXPECT_EQ(other->remote, 2);
        EXPECT_EQ(other->length, 6u);
        EXPECT_EQ(DataOf(*other), DataOf(packet));
    }
}

TEST(CanPacket, SetDataFromAnUnreadableSourceFailsWithTheLengthAlreadySet)
{
    cCanPacket packet;
    EXPECT_EQ(packet.SetData(3, UnreadablePage()), -1);
    EXPECT_EQ(packet.length, 3u);

    // The guard leaves the thread in working order.
    const uint8_t bytes[2] = {7, 9};
    EXPECT_EQ(packet.SetData(2, bytes), 0);
    EXPECT_EQ(packet.data[0], 7);
    EXPECT_EQ(packet.data[1], 9);
}

TEST(CanPacket, SetDataFromNullFailsWithTheLengthAlreadySet)
{
    cCanPacket packet;
    EXPECT_EQ(packet.SetData(4, nullptr), -1);
    EXPECT_EQ(packet.length, 4u);
}
