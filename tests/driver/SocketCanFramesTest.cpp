// The SocketCAN backend's pure parts: records to frames and back, the drop count, the bounded send and
// the device mapping. They need no CAN interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BoundedSend.h"
#include "DeviceMapping.h"
#include "ErrorFrameState.h"
#include "ErrorFrames.h"
#include "FrameRules.h"
#include "RvCanExports.h"
#include "SocketCanController.h"
#include "SocketCanFrames.h"

namespace {

CanMessageDescriptor Record(uint32_t extended, uint32_t id, uint32_t remote, uint16_t length,
                            std::vector<uint8_t> data = {})
{
    CanMessageDescriptor message{};
    message.extended = extended;
    message.id = id;
    message.remote = remote;
    message.length = length;
    std::copy(data.begin(), data.end(), message.data);
    return message;
}

CanMessageDescriptor RemoteRecord(uint32_t id, uint32_t dlc)
{
    CanMessageDescriptor message = Record(0, id, 1, 0);
    message.reserved = dlc << kReservedRemoteDlcShift;
    return message;
}

struct ToFrameCase
{
    const char* name;
    CanMessageDescriptor message;
    canid_t canId;
    uint8_t length;
};

class RecordToFrame : public testing::TestWithParam<ToFrameCase>
{
};

TEST_P(RecordToFrame, CarriesIdFlagsLengthAndData)
{
    const ToFrameCase& c = GetParam();
    can_frame frame;
    ASSERT_TRUE(CanFrameFromMessage(c.message, frame));
    EXPECT_EQ(frame.can_id, c.canId);
    EXPECT_EQ(frame.len, c.length);
    EXPECT_EQ(memcmp(frame.data, c.message.data, c.length), 0);
}

INSTANTIATE_TEST_SUITE_P(
    SocketCanFrames, RecordToFrame,
    testing::Values(
        ToFrameCase{"Standard", Record(0, 0x123, 0, 8, {0x00, 0x22, 0x44, 0x88, 0xAA, 0xBB, 0xEE, 0xFF}),
                    0x123, 8},
        ToFrameCase{"Extended", Record(1, 0x1FFFFFFF, 0, 2, {0x11, 0x22}), 0x1FFFFFFF | CAN_EFF_FLAG, 2},
        ToFrameCase{"ZeroLength", Record(0, 0x7FF, 0, 0), 0x7FF, 0},
        ToFrameCase{"RemoteIgnoresLength", Record(0, 0x123, 1, 200), 0x123 | CAN_RTR_FLAG, 0},
        ToFrameCase{"RemoteDlcFromReserved", RemoteRecord(0x123, 6), 0x123 | CAN_RTR_FLAG, 6},
        ToFrameCase{"ExtendedRemote", Record(1, 0x12345, 1, 0), 0x12345 | CAN_EFF_FLAG | CAN_RTR_FLAG, 0}),
    [](const testing::TestParamInfo<ToFrameCase>& info) { return info.param.name; });

TEST(SocketCanFrames, RecordsTheVirtualBusRefusesAreRefused)
{
    can_frame frame;
    EXPECT_FALSE(CanFrameFromMessage(Record(2, 0x123, 0, 1), frame));
    EXPECT_FALSE(CanFrameFromMessage(Record(0, 0x123, 2, 1), frame));
    EXPECT_FALSE(CanFrameFromMessage(Record(0, 0x800, 0, 1), frame));
    EXPECT_FALSE(CanFrameFromMessage(Record(1, 0x20000000, 0, 1), frame));
    EXPECT_FALSE(CanFrameFromMessage(Record(0, 0x123, 0, 9), frame));
}

TEST(SocketCanFrames, ExtendedDataFrameBecomesItsRecord)
{
    can_frame frame{};
    frame.can_id = 0x12345678 | CAN_EFF_FLAG;
    frame.len = 3;
    frame.data[0] = 0xDE;
    frame.data[1] = 0xAD;
    frame.data[2] = 0xBE;
    frame.data[3] = 0xEF; // past the length: not copied
    CanMessageDescriptor message = MessageFromCanFrame(frame, 0xCAFE, false);
    CanMessageDescriptor expected = Record(1, 0x12345678, 0, 3, {0xDE, 0xAD, 0xBE});
    expected.timestamp = 0xCAFE;
    EXPECT_EQ(memcmp(&message, &expected, sizeof(message)), 0);
}

TEST(SocketCanFrames, RemoteFrameBecomesRecordWithItsDlcInReserved)
{
    can_frame frame{};
    frame.can_id = 0x123 | CAN_RTR_FLAG;
    frame.len = 4;
    CanMessageDescriptor message = MessageFromCanFrame(frame, 0, false);
    EXPECT_EQ(message.extended, 0u);
    EXPECT_EQ(message.id, 0x123u);
    EXPECT_EQ(message.remote, 1u);
    EXPECT_EQ(message.length, 0u); // no data bytes for the console to show
    EXPECT_EQ(message.reserved, 4u << kReservedRemoteDlcShift);
}

TEST(SocketCanFrames, OwnFrameIsMarked)
{
    can_frame frame{};
    frame.can_id = 0x123;
    EXPECT_EQ(MessageFromCanFrame(frame, 0, true).reserved, kReservedOwnFrame);
    EXPECT_EQ(MessageFromCanFrame(frame, 0, false).reserved, 0u);
}

TEST(SocketCanFrames, ErrorFramesAreTold)
{
    can_frame frame{};
    frame.can_id = CAN_ERR_FLAG | 0x4;
    EXPECT_TRUE(IsErrorFrame(frame));
    frame.can_id = 0x1FFFFFFF | CAN_EFF_FLAG;
    EXPECT_FALSE(IsErrorFrame(frame));
}

TEST(SocketCanFrames, TimestampIsMillisecondsCutTo32Bits)
{
    EXPECT_EQ(TimestampMilliseconds(timeval{12, 345678}), 12345u);
    EXPECT_EQ(TimestampMilliseconds(timeval{4294967, 296000}), 0u); // 2^32 ms wraps to 0
}

TEST(SocketCanFrames, DropsAreCountedAcrossTheCounterWrapping)
{
    EXPECT_EQ(DropsSince(10, 25), 15u);
    EXPECT_EQ(DropsSince(0xFFFFFFFE, 3), 5u);
}

// A send whose outcomes come from a list and whose clock advances only when it waits.
struct ScriptedSend
{
    explicit ScriptedSend(std::vector<SendAttempt> script) : outcomes(std::move(script)) {}

    std::vector<SendAttempt> outcomes;
    size_t attempts = 0;
    uint64_t now = 1000;
    std::vector<std::pair<SendAttempt, uint32_t>> waits;

    SendSteps Steps()
    {
        SendSteps steps;
        steps.attempt = [this] { return outcomes[std::min(attempts++, outcomes.size() - 1)]; };
        steps.wait = [this](SendAttempt why, uint32_t left) {
            waits.emplace_back(why, left);
            now += why == SendAttempt::SocketFull ? left : 1;
        };
        steps.nowMs = [this] { return now; };
        return steps;
    }
};

TEST(DriverBoundedSend, FullSocketWaitsOnceForTheWholeLimitThenGivesUp)
{
    ScriptedSend send({SendAttempt::SocketFull});
    EXPECT_EQ(SendWithin(50, send.Steps()), SendAttempt::SocketFull);
    EXPECT_EQ(send.waits, (std::vector<std::pair<SendAttempt, uint32_t>>{{SendAttempt::SocketFull, 50}}));
    EXPECT_EQ(send.attempts, 2u);
}

TEST(DriverBoundedSend, FullQueueIsTriedEveryMillisecondUntilTheLimit)
{
    ScriptedSend send({SendAttempt::QueueFull});
    EXPECT_EQ(SendWithin(50, send.Steps()), SendAttempt::QueueFull);
    EXPECT_EQ(send.attempts, 51u);
    EXPECT_EQ(send.waits.front().second, 50u);
    EXPECT_EQ(send.waits.back().second, 1u);
}

TEST(DriverBoundedSend, QueueThatDrainsInTimeSends)
{
    ScriptedSend send({SendAttempt::QueueFull, SendAttempt::QueueFull, SendAttempt::Sent});
    EXPECT_EQ(SendWithin(50, send.Steps()), SendAttempt::Sent);
    EXPECT_EQ(send.attempts, 3u);
}

TEST(DriverBoundedSend, OtherErrorsAreNotRetried)
{
    ScriptedSend send({SendAttempt::Failed});
    EXPECT_EQ(SendWithin(50, send.Steps()), SendAttempt::Failed);
    EXPECT_EQ(send.attempts, 1u);
    EXPECT_TRUE(send.waits.empty());
}

TEST(DriverDeviceMapping, VariablePerDeviceNamesTheInterface)
{
    EXPECT_EQ(MappingVariable(1), "RVCAN32CE_CAN1");
    EXPECT_EQ(MappingVariable(0), "RVCAN32CE_CAN0");
    unsetenv("RVCAN32CE_CAN7");
    EXPECT_EQ(MappedInterface(7), "");
    setenv("RVCAN32CE_CAN7", "vcan3", 1);
    EXPECT_EQ(MappedInterface(7), "vcan3");
    unsetenv("RVCAN32CE_CAN7");
}

TEST(DriverDeviceMapping, MissingInterfaceIsRefusedWithItsName)
{
    std::string error;
    EXPECT_EQ(OpenMappedDevice("nosuchcan7", error), nullptr);
    EXPECT_EQ(error, "interface \"nosuchcan7\" does not exist (see 'ip link')");
}

// A short hand-made error frame keeps its length, so that a tool prints it as candump does.
TEST(SocketCanFrames, ErrorFrameKeepsItsClassesDataAndLength)
{
    can_frame frame{};
    frame.can_id = CAN_ERR_FLAG | CAN_EFF_FLAG | 0x204;
    frame.len = 4;
    memcpy(frame.data, "\x00\x30\x00\x00\x77\x77\x77\x77", 8);
    CanMessageDescriptor message = ErrorMessageFromCanFrame(frame, 5);
    EXPECT_EQ(message.extended, 1u);
    EXPECT_EQ(message.id, kCanErrorFlag | 0x204);
    EXPECT_EQ(message.length, 4u);
    EXPECT_EQ(message.data[1], 0x30);
    EXPECT_EQ(message.data[4], 0); // past the length
    EXPECT_EQ(message.timestamp, 5u);
}

struct ErrorStateCase
{
    const char* frame; // cansend's text
    DeviceBusState before;
    DeviceBusState after;
};

constexpr DeviceBusState kUnknown{RVCAN_STATE_UNKNOWN, 0, 0};
constexpr DeviceBusState kPassive{RVCAN_STATE_ERROR_PASSIVE, 128, 3};

// What the kernel's drivers send on a change of state, and frames that say nothing of it.
const ErrorStateCase kErrorStateCases[] = {
    {"20000004#0008000000006000", kUnknown, {RVCAN_STATE_ERROR_WARNING, 96, 0}},
    {"20000004#0030000000008003", kUnknown, kPassive},
    {"20000004#0010000000000080", kUnknown, {RVCAN_STATE_ERROR_PASSIVE, 0, 128}},
    {"20000004#0040000000000000", kPassive, {RVCAN_STATE_ERROR_ACTIVE, 128, 3}},
    {"20000040#0000000000000000", kPassive, {RVCAN_STATE_BUS_OFF, 128, 3}},
    {"20000100#0000000000000000", {RVCAN_STATE_BUS_OFF, 255, 0}, {RVCAN_STATE_ERROR_ACTIVE, 0, 0}},
    {"20000088#0000190000000810", kPassive, {RVCAN_STATE_ERROR_PASSIVE, 8, 16}},
    {"20000200#0000000000000810", kUnknown, {RVCAN_STATE_UNKNOWN, 8, 16}},
    {"20000004#0001000000000000", kPassive, kPassive}, // an overflow is no state
    {"20000020#0000000000000000", kPassive, kPassive},
};

TEST(SocketCanController, ErrorFrameUpdatesStateAndCounters)
{
    for (const ErrorStateCase& c : kErrorStateCases) {
        can_frame frame{};
        frame.can_id = CAN_ERR_FLAG | static_cast<canid_t>(std::strtoul(c.frame, nullptr, 16));
        frame.len = 8;
        for (size_t i = 0; i < 8; ++i) {
            frame.data[i] =
                static_cast<uint8_t>(std::strtoul(std::string(c.frame + 9 + 2 * i, 2).c_str(), nullptr, 16));
        }
        CanMessageDescriptor message = ErrorMessageFromCanFrame(frame, 0);
        DeviceBusState after = BusStateAfterErrorFrame(c.before, message.id & ~kCanErrorFlag, message.data);
        EXPECT_EQ(after.state, c.after.state) << c.frame;
        EXPECT_EQ(after.transmitErrors, c.after.transmitErrors) << c.frame;
        EXPECT_EQ(after.receiveErrors, c.after.receiveErrors) << c.frame;
    }
}

} // namespace
