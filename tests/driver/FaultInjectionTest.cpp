// Faults that can-fault arms on a virtual bus, as the driver's members live them: error frames for
// every member, the frame sent again until it gets through, a sender driven bus-off and restarted.
#include <gtest/gtest.h>

#include "DriverTestSupport.h"
#include "ErrorFrames.h"

namespace {

constexpr const wchar_t* kBus = L"CAN2:";
constexpr const char* kBusName = "CAN2:";

// One member of the bus: its frames and its error frames, each in a collector of its own.
struct Member
{
    DWORD device = 0;
    cCollector* frames = nullptr;
    cCollector* errors = nullptr;
};

std::vector<std::string> CanFault(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), HelperPath("can-fault"));
    return arguments;
}

class FaultInjection : public DriverDevicesTest
{
protected:
    // A member at 125 kbit/s receiving into collectors 2 * index and 2 * index + 1.
    Member Join(int index)
    {
        Member member{Open(kBus), &cCollector::Slot(2 * index), &cCollector::Slot(2 * index + 1)};
        EXPECT_TRUE(m_driver.registerErrorCallback(member.device, member.errors->Function()));
        EXPECT_TRUE(m_driver.StartReceiving(member.device, member.frames->Function()));
        return member;
    }

    RvCanBusState BusState(DWORD device)
    {
        RvCanBusState state{};
        EXPECT_TRUE(m_driver.readBusState(device, &state));
        return state;
    }
};

// True once a frame that wanted accepts has arrived, false after kPatience.
template <class Wanted> bool WaitForFrame(cCollector& collector, Wanted wanted)
{
    for (size_t count = 1; collector.WaitForCount(count); ++count) {
        if (wanted(collector.Frames()[count - 1])) {
            return true;
        }
    }
    return false;
}

TEST_F(FaultInjection, CrcErrorIsOneErrorFrameForEveryMemberAndTheFrameArrivesOnce)
{
    Member sender = Join(0);
    Member receiver = Join(1);
    cChildProcess fault(CanFault({"-e", "crc", kBusName, "123"}));
    ASSERT_EQ(fault.Wait(), 0) << fault.ReadAllErrors();

    ASSERT_TRUE(Send(sender.device, "123#DEADBEEF"));
    ASSERT_TRUE(Send(sender.device, "124#01")); // after the retried frame: every error frame is in by then
    ASSERT_TRUE(receiver.frames->WaitForCount(2));
    ASSERT_TRUE(sender.frames->WaitForCount(2));

    EXPECT_EQ(receiver.frames->Texts(), (std::vector<std::string>{"123#DEADBEEF", "124#01"}));
    EXPECT_EQ(sender.frames->Texts(), (std::vector<std::string>{"123#DEADBEEF", "124#01"}));
    for (const Member& member : {sender, receiver}) {
        std::vector<CanMessageDescriptor> errors = member.errors->Frames();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_TRUE(IsErrorFrameMessage(errors[0]));
        EXPECT_NE(errors[0].id & kCanErrorProtocol, 0u);
        EXPECT_EQ(errors[0].data[3], kCanLocationCrcSequence);
    }
    EXPECT_EQ(BusState(sender.device).transmitErrors, 6u); // +8 for the error, -1 for each frame sent
}

TEST_F(FaultInjection, SenderHeldUntilBusOffSendsAgainAfterCanReset)
{
    Member node = Join(0);
    Member watcher = Join(1);
    cChildProcess fault(CanFault({"-o", "-w", "-e", "bit", kBusName, "123"}));
    ASSERT_TRUE(fault.ReadLine()); // armed

    ASSERT_TRUE(Send(node.device, "123#01"));
    EXPECT_EQ(fault.Wait(), 0) << fault.ReadAllErrors(); // -w returns once the sender is bus-off
    ASSERT_TRUE(WaitForFrame(*node.errors, [](auto& error) { return (error.id & kCanErrorBusOff) != 0; }));
    RvCanBusState off = BusState(node.device);
    EXPECT_EQ(off.state, RVCAN_STATE_BUS_OFF);
    EXPECT_EQ(off.transmitErrors, 256u);

    const DWORD restart[2] = {0, 0};
    ASSERT_TRUE(m_driver.api.CanReset(node.device, restart));
    RvCanBusState back = BusState(node.device);
    EXPECT_EQ(back.state, RVCAN_STATE_ERROR_ACTIVE);
    EXPECT_EQ(back.transmitErrors, 0u);
    ASSERT_TRUE(Send(node.device, "124#02"));
    ASSERT_TRUE(WaitForFrame(*watcher.frames, [](auto& frame) { return Text(frame) == "124#02"; }));
    // The frame it held while bus-off goes out once, after the restart, ahead of the next.
    EXPECT_EQ(watcher.frames->Texts(), (std::vector<std::string>{"123#01", "124#02"}));
}

} // namespace
