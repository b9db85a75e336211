// The port against the fake driver library that lies beside this test program.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <thread>

#include "FakeDriverControl.h"
#include "PortTestSupport.h"
#include "cCanPort.h"

namespace {

constexpr DWORD kDevice = kFakeDefaultDevice;

class Port : public testing::Test
{
protected:
    void SetUp() override { FakeDriver::Reset(); }

    void Configure(int FakeCanConfig::*behaviour)
    {
        FakeCanConfig config = FakeDriver::DefaultConfig();
        config.*behaviour = 1;
        FakeDriver::Configure(config);
    }

    // Opens CAN1 at 125 kbit/s and forgets the calls that took.
    void OpenAndForget()
    {
        ASSERT_EQ(port.OpenWithBaudrate(uint8_t(1), 125), 0);
        FakeDriver::Reset();
    }

    CanMessageDescriptor SendAndCapture(const cCanPacket& packet)
    {
        EXPECT_EQ(port.Send(packet), 0);
        std::vector<FakeCanCall> calls = FakeDriver::RawCalls();
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? CanMessageDescriptor{} : calls.back().message;
    }

    bool LockIsFree()
    {
        return FinishesOnAnotherThread([this] { port.SetBaudrate(125); });
    }

    cCanPort port;
};

std::wstring DeviceNameOfFirstCall()
{
    std::vector<FakeCanCall> calls = FakeDriver::RawCalls();
    return calls.empty() ? L"" : std::wstring(calls.front().deviceName);
}

struct IndexCase
{
    uint8_t index;
    const wchar_t* deviceName;
};

class PortOpenIndex : public Port, public testing::WithParamInterface<IndexCase>
{
};

TEST_P(PortOpenIndex, CreatesTheDeviceNamedByTheIndex)
{
    EXPECT_EQ(port.Open(GetParam().index), 0);
    EXPECT_EQ(DeviceNameOfFirstCall(), GetParam().deviceName);
    EXPECT_EQ(FakeDriver::RecordedCalls(), (Calls{{"CanCreateDevice", {0}}}));
    EXPECT_EQ(port.IsOpen(), 1);
}

INSTANTIATE_TEST_SUITE_P(Indices, PortOpenIndex,
                         testing::Values(IndexCase{0, L"CAN0:"}, IndexCase{1, L"CAN1:"},
                                         IndexCase{9, L"CAN9:"}, IndexCase{10, L"CAN0:"},
                                         IndexCase{255, L"CAN0:"}));

TEST_F(Port, FixedNameOpenCreatesCan1)
{
    EXPECT_EQ(port.Open(), 0);
    EXPECT_EQ(DeviceNameOfFirstCall(), L"CAN1:");
    EXPECT_EQ(port.IsOpen(), 1);
}

TEST_F(Port, StartsClosedWithNothingLoaded)
{
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_FALSE(FakeDriver::IsLoaded());
}

TEST_F(Port, OpenOnAnOpenPortLoadsNothingAndCallsNothing)
{
    ASSERT_EQ(port.Open(uint8_t(1)), 0);
    FakeDriver::Reset();
    EXPECT_EQ(port.Open(uint8_t(5)), 0);
    EXPECT_EQ(port.Open(), 0);
    EXPECT_EQ(FakeDriver::RecordedCalls(), Calls{});
    // One Close unloads it: the second and third Open did not load the library again.
    port.Close();
    EXPECT_FALSE(FakeDriver::IsLoaded());
}

TEST_F(Port, FailedDeviceCreationKeepsTheLibraryLoadedUntilClose)
{
    Configure(&FakeCanConfig::failCreate);
    EXPECT_EQ(port.Open(uint8_t(1)), -1);
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_TRUE(FakeDriver::IsLoaded());
    EXPECT_TRUE(LockIsFree());

    EXPECT_EQ(port.Close(), 0);
    EXPECT_FALSE(FakeDriver::IsLoaded());
    EXPECT_EQ(FakeDriver::RecordedCalls(), (Calls{{"CanCreateDevice", {0}}}));
}

TEST_F(Port, OpenAfterFailedDeviceCreationWorks)
{
    Configure(&FakeCanConfig::failCreate);
    EXPECT_EQ(port.Open(uint8_t(1)), -1);
    FakeDriver::Configure(FakeDriver::DefaultConfig());
    EXPECT_EQ(port.Open(uint8_t(1)), 0);
    EXPECT_EQ(port.IsOpen(), 1);
    port.Close();
    port.Close();
    EXPECT_FALSE(FakeDriver::IsLoaded());
}

TEST_F(Port, OpenWithBaudratePassesTheRateUnchanged)
{
    EXPECT_EQ(port.OpenWithBaudrate(uint8_t(1), 1000), 0);
    std::vector<FakeCanCall> calls = FakeDriver::RawCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(std::string(calls[1].name), "CanSetBaudrate");
    EXPECT_EQ(calls[1].arguments[0], kDevice);
    EXPECT_EQ(calls[1].record[0], 1000u);
    EXPECT_EQ(calls[1].record[1], 0u);
}

TEST_F(Port, FixedNameOpenWithBaudrateOpensCan1AtTheRate)
{
    EXPECT_EQ(port.OpenWithBaudrate(250), 0);
    EXPECT_EQ(DeviceNameOfFirstCall(), L"CAN1:");
    std::vector<FakeCanCall> calls = FakeDriver::RawCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].record[0], 250u);
}

TEST_F(Port, RefusedBaudrateClosesTheDeviceAndUnloads)
{
    Configure(&FakeCanConfig::refuseBaudrate);
    EXPECT_EQ(port.OpenWithBaudrate(uint8_t(1), 33), -1);
    EXPECT_EQ(
        FakeDriver::RecordedCalls(),
        (Calls{{"CanCreateDevice", {0}}, {"CanSetBaudrate", {kDevice}}, {"CanCloseDevice", {kDevice}}}));
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_FALSE(FakeDriver::IsLoaded());
    EXPECT_TRUE(LockIsFree());
}

TEST_F(Port, RefusedBaudrateOnAnOpenPortClosesIt)
{
    OpenAndForget();
    Configure(&FakeCanConfig::refuseBaudrate);
    EXPECT_EQ(port.OpenWithBaudrate(uint8_t(1), 33), -1);
    EXPECT_EQ(FakeDriver::RecordedCalls(),
              (Calls{{"CanSetBaudrate", {kDevice}}, {"CanCloseDevice", {kDevice}}}));
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_FALSE(FakeDriver::IsLoaded());
}

TEST_F(Port, CloseOnAPortNeverOpenedOrTwiceMakesNoDriverCall)
{
    EXPECT_EQ(port.Close(), 0);
    EXPECT_EQ(port.Close(), 0);
    OpenAndForget();
    EXPECT_EQ(port.Close(), 0);
    EXPECT_EQ(port.Close(), 0);
    EXPECT_EQ(FakeDriver::RecordedCalls(), (Calls{{"CanCloseDevice", {kDevice}}}));
}

TEST_F(Port, DestroyingAnOpenPortClosesTheDeviceOnceThenUnloads)
{
    auto* open = new cCanPort;
    ASSERT_EQ(open->Open(uint8_t(1)), 0);
    FakeDriver::Reset();
    delete open;
    EXPECT_EQ(FakeDriver::RecordedCalls(), (Calls{{"CanCloseDevice", {kDevice}}}));
    EXPECT_FALSE(FakeDriver::IsLoaded());
}

TEST_F(Port, DestroyingAPortNeverOpenedCallsNothing)
{
    delete new cCanPort;
    EXPECT_EQ(FakeDriver::RecordedCalls(), Calls{});
    EXPECT_FALSE(FakeDriver::IsLoaded());
}

TEST_F(Port, OperationsOnAClosedPortFailWithoutDriverCall)
{
    cCanPacket packet;
    EXPECT_EQ(port.SetBaudrate(125), -1);
    EXPECT_EQ(port.Reset(), -1);
    EXPECT_EQ(port.Send(packet), -1);
    EXPECT_EQ(port.StartReceive(nullptr), -1);
    EXPECT_EQ(port.StopReceive(), -1);
    EXPECT_EQ(FakeDriver::RecordedCalls(), Calls{});
    EXPECT_TRUE(LockIsFree());
}

TEST_F(Port, SendAfterCloseMakesNoDriverCall)
{
    OpenAndForget();
    port.Close();
    FakeDriver::Reset();
    EXPECT_EQ(port.Send(cCanPacket()), -1);
    EXPECT_EQ(FakeDriver::RecordedCalls(), Calls{});
}

TEST_F(Port, ResetPassesTwoZeroWordsAndReportsTheDriversAnswer)
{
    OpenAndForget();
    EXPECT_EQ(port.Reset(), 0);
    std::vector<FakeCanCall> calls = FakeDriver::RawCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(std::string(calls[0].name), "CanReset");
    EXPECT_EQ(calls[0].record[0], 0u);
    EXPECT_EQ(calls[0].record[1], 0u);

    Configure(&FakeCanConfig::refuseReset);
    EXPECT_EQ(port.Reset(), -1);
    EXPECT_TRUE(LockIsFree());
}

TEST_F(Port, SendFillsTheRecordOfADataFrame)
{
    OpenAndForget();
    cCanPacket packet;
    packet.SetId(0x123);
    const uint8_t bytes[8] = {0x00, 0x22, 0x44, 0x88, 0xAA, 0xBB, 0xEE, 0xFF};
    packet.SetData(8, bytes);

    DWORD before = GetTickCount();
    CanMessageDescriptor record = SendAndCapture(packet);
    DWORD after = GetTickCount();

    EXPECT_EQ(record.extended, 0u);
    EXPECT_EQ(record.id, 0x123u);
    EXPECT_EQ(record.remote, 0u);
    EXPECT_EQ(record.length, 8u);
    EXPECT_EQ(record.gap, 0u);
    EXPECT_GE(record.timestamp - before, 0u);
    EXPECT_LE(record.timestamp - before, after - before);
    EXPECT_EQ(record.reserved, 0u);
    EXPECT_EQ(0, memcmp(record.data, bytes, 8));
}

TEST_F(Port, SendCopiesOnlyTheMeaningfulBytesOfAShortFrame)
{
    OpenAndForget();
    cCanPacket packet;
    memset(packet.data, 0xAA, sizeof(packet.data));
    const uint8_t bytes[3] = {1, 2, 3};
    packet.SetData(3, bytes);
    CanMessageDescriptor record = SendAndCapture(packet);
    EXPECT_EQ(record.length, 3u);
    const uint8_t expected[8] = {1, 2, 3, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(record.data, expected, 8));
}

TEST_F(Port, SendNeverCopiesMoreThanEightBytes)
{
    OpenAndForget();
    cCanPacket packet;
    memset(packet.data, 0x11, sizeof(packet.data));
    packet.length = 0x10012; // written directly, past what SetData allows
    CanMessageDescriptor record = SendAndCapture(packet);
    EXPECT_EQ(record.length, 0x12u); // the low 16 bits
    const uint8_t expected[8] = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
    EXPECT_EQ(0, memcmp(record.data, expected, 8));
}

TEST_F(Port, SendMarksARemoteFrameAndFillsNoData)
{
    OpenAndForget();
    cCanPacket packet;
    packet.remote = 5;
    memset(packet.data, 0x77, sizeof(packet.data));
    CanMessageDescriptor record = SendAndCapture(packet);
    EXPECT_EQ(record.remote, 1u);
    EXPECT_EQ(record.length, 0u);
    const uint8_t zeros[8] = {};
    EXPECT_EQ(0, memcmp(record.data, zeros, 8));
}

TEST_F(Port, SendNormalisesExtendedAndPassesTheIdUnmasked)
{
    OpenAndForget();
    cCanPacket extended;
    extended.extended = 42;
    extended.SetId(0x1FFFFFFF);
    EXPECT_EQ(SendAndCapture(extended).extended, 1u);
    FakeDriver::Reset();

    cCanPacket tooWide;
    tooWide.id = 0xFFFFFFFF; // wider than a standard frame allows
    CanMessageDescriptor record = SendAndCapture(tooWide);
    EXPECT_EQ(record.extended, 0u);
    EXPECT_EQ(record.id, 0xFFFFFFFFu);
}

TEST_F(Port, SendReportsARefusedMessage)
{
    OpenAndForget();
    Configure(&FakeCanConfig::refuseTransmit);
    EXPECT_EQ(port.Send(cCanPacket()), -1);
    EXPECT_TRUE(LockIsFree());
}

TEST_F(Port, SendsASecondApartCarryTimestampsAboutAThousandApart)
{
    OpenAndForget();
    CanMessageDescriptor first = SendAndCapture(cCanPacket());
    FakeDriver::Reset();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    CanMessageDescriptor second = SendAndCapture(cCanPacket());
    uint32_t elapsed = second.timestamp - first.timestamp; // unsigned: right across the wrap too
    EXPECT_GE(elapsed, 1000u);
    EXPECT_LE(elapsed, 1500u);
}

void WINAPI IgnoreMessage(CanMessageDescriptor*) {}

TEST_F(Port, StartAndStopReceiveCallTheDriverInOrder)
{
    OpenAndForget();
    const uint64_t function = reinterpret_cast<uintptr_t>(&IgnoreMessage);
    EXPECT_EQ(port.StartReceive(&IgnoreMessage), 0);
    EXPECT_EQ(FakeDriver::RecordedCalls(),
              (Calls{{"CanWriteDescriptorEx", {kDevice, 0, 0xFFFFFFFF, 0xFFFFFFFF}},
                     {"CanRegisterCallback", {kDevice, function}},
                     {"CanStartReceiveQueue", {kDevice, 250}}}));
    FakeDriver::Reset();
    EXPECT_EQ(port.StopReceive(), 0);
    EXPECT_EQ(FakeDriver::RecordedCalls(),
              (Calls{{"CanStopReceiveQueue", {kDevice}}, {"CanRegisterCallback", {kDevice, 0}}}));
}

// A fault inside each guarded driver call gives -1, leaves the lock free, and the next call works.
struct FaultCase
{
    const char* name;
    int FakeCanConfig::*fault;
    std::function<int32_t(cCanPort&)> operation;
};

class PortGuardedCall : public Port, public testing::WithParamInterface<FaultCase>
{
};

TEST_P(PortGuardedCall, FaultGivesFailureAndTheNextCallWorks)
{
    OpenAndForget();
    Configure(GetParam().fault);
    EXPECT_EQ(GetParam().operation(port), -1);

    FakeDriver::Configure(FakeDriver::DefaultConfig());
    int32_t next = 1;
    EXPECT_TRUE(FinishesOnAnotherThread([&] { next = GetParam().operation(port); }));
    EXPECT_EQ(next, 0);
    EXPECT_EQ(port.IsOpen(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, PortGuardedCall,
    testing::Values(FaultCase{"SetBaudrate", &FakeCanConfig::faultBaudrate,
                              [](cCanPort& p) { return p.SetBaudrate(500); }},
                    FaultCase{"Reset", &FakeCanConfig::faultReset, [](cCanPort& p) { return p.Reset(); }},
                    FaultCase{"Send", &FakeCanConfig::faultTransmit,
                              [](cCanPort& p) { return p.Send(cCanPacket()); }}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST_F(Port, FaultWhileSettingTheBaudrateOnOpenClosesThePort)
{
    Configure(&FakeCanConfig::faultBaudrate);
    EXPECT_EQ(port.OpenWithBaudrate(uint8_t(1), 125), -1);
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_FALSE(FakeDriver::IsLoaded());
    EXPECT_TRUE(LockIsFree());
}

TEST_F(Port, FaultOnAnotherThreadIsCaughtThere)
{
    OpenAndForget();
    Configure(&FakeCanConfig::faultTransmit);
    int32_t result = 0;
    std::thread sender([&] { result = port.Send(cCanPacket()); });
    sender.join();
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(LockIsFree());
}

} // namespace
