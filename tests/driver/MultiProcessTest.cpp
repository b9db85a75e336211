// Processes sharing a bus: frames cross between them, and a member killed while sending never wedges
// the bus for the others.
#include <gtest/gtest.h>

#include <csignal>

#include "DriverTestSupport.h"

namespace {

class Processes : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_driver.Loaded()); }

    std::unique_ptr<cChildProcess> Member(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), HelperPath("bus-member"));
        return std::make_unique<cChildProcess>(arguments);
    }

    BOOL Send(DWORD device, const std::string& text)
    {
        CanMessageDescriptor frame = Frame(text);
        return m_driver.api.CanTransmittMessageEx(device, &frame);
    }

    cLoadedDriver m_driver;
};

TEST_F(Processes, FramesSentHereArriveInAnotherProcess)
{
    auto receiver = Member({"receive", "CAN1:", "125", "3"});
    ASSERT_EQ(receiver->ReadLine(), "ready");
    DWORD device = m_driver.Open(L"CAN1:", 125);
    ASSERT_NE(device, 0u);
    for (const char* text : {"123#DEADBEEF", "12345678#1122", "456#R"}) {
        ASSERT_TRUE(Send(device, text));
    }
    EXPECT_EQ(receiver->ReadLine(), "123#DEADBEEF");
    EXPECT_EQ(receiver->ReadLine(), "12345678#1122");
    EXPECT_EQ(receiver->ReadLine(), "456#R");
    EXPECT_EQ(receiver->Wait(), 0);
    m_driver.api.CanCloseDevice(device);
}

TEST_F(Processes, FramesSentInAnotherProcessArriveHere)
{
    DWORD device = m_driver.Open(L"CAN1:", 250);
    ASSERT_NE(device, 0u);
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(device, received.Function()));
    auto sender = Member({"send", "CAN1:", "250", "7FF#", "00000000#FF", "001#0102030405060708"});
    EXPECT_EQ(sender->Wait(), 0);
    ASSERT_TRUE(received.WaitForCount(3));
    EXPECT_EQ(received.Texts(), (std::vector<std::string>{"7FF#", "00000000#FF", "001#0102030405060708"}));
    m_driver.api.CanCloseDevice(device);
}

TEST_F(Processes, MemberKilledMidFloodLeavesTheBusWorking)
{
    DWORD receiver = m_driver.Open(L"CAN5:", 125);
    ASSERT_NE(receiver, 0u);
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(receiver, received.Function(), 32768));
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(m_driver.api.CanWriteDescriptorEx(receiver, 0, 0xFFFFFFFF, 0xFFFFFFFF));
        auto flood = Member({"flood", "CAN5:", "125", "100"});
        ASSERT_EQ(flood->ReadLine(), "flooding");
        size_t before = received.Count();
        ASSERT_TRUE(received.WaitForCount(before + 1000));
        flood->Signal(SIGKILL);
        ASSERT_EQ(flood->Wait(), 128 + SIGKILL);

        ASSERT_TRUE(m_driver.api.CanWriteDescriptorEx(receiver, 0, 0x200, 0)); // only what follows
        // Registering again returns once a flood frame that passed the old filter is delivered.
        ASSERT_TRUE(m_driver.api.CanRegisterCallback(receiver, received.Function()));
        received.Clear();
        DWORD sender = m_driver.Open(L"CAN5:", 125); // a later open of the same bus
        ASSERT_NE(sender, 0u);
        for (const char* text : {"200#01", "200#02", "200#03"}) {
            ASSERT_TRUE(Send(sender, text)) << "round " << round;
        }
        ASSERT_TRUE(received.WaitForCount(3));
        EXPECT_EQ(received.Texts(), (std::vector<std::string>{"200#01", "200#02", "200#03"}));
        m_driver.api.CanCloseDevice(sender);
    }
    m_driver.api.CanCloseDevice(receiver);
}

TEST_F(Processes, MemberKilledHalfwayThroughAFrameNeverDeliversIt)
{
    DWORD receiver = m_driver.Open(L"CAN6:", 125);
    ASSERT_NE(receiver, 0u);
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(receiver, received.Function()));
    auto stalled = Member({"stall", "CAN6:"});
    ASSERT_EQ(stalled->ReadLine(), "stalled"); // holds the writers' lock with 666#66 half written
    stalled->Signal(SIGKILL);
    ASSERT_EQ(stalled->Wait(), 128 + SIGKILL);

    DWORD sender = m_driver.Open(L"CAN6:", 125);
    ASSERT_NE(sender, 0u);
    ASSERT_TRUE(Send(sender, "123#11"));
    ASSERT_TRUE(Send(sender, "124#22"));
    ASSERT_TRUE(received.WaitForCount(2));
    EXPECT_EQ(received.Texts(), (std::vector<std::string>{"123#11", "124#22"}));
    EXPECT_EQ(m_driver.Counters(receiver).dropped, 0u);
    m_driver.api.CanCloseDevice(sender);
    m_driver.api.CanCloseDevice(receiver);
}

} // namespace
