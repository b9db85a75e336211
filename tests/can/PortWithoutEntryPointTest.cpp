// The port against a fake driver library that lacks CanReadDescriptorEx, the one entry point the
// port resolves but never calls.
#include <gtest/gtest.h>

#include "FakeDriverControl.h"
#include "PortTestSupport.h"
#include "cCanPort.h"

TEST(PortWithoutEntryPoint, IndexedOpenFailsAndLeavesNothingLoaded)
{
    FakeDriver::Reset();
    cCanPort port;
    EXPECT_EQ(port.Open(uint8_t(1)), -1);
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_FALSE(FakeDriver::IsLoaded());
    EXPECT_EQ(FakeDriver::RecordedCalls(), Calls{});
    EXPECT_TRUE(FinishesOnAnotherThread([&] { port.SetBaudrate(125); }));
}

TEST(PortWithoutEntryPoint, FixedNameOpenGoesOnWithoutIt)
{
    FakeDriver::Reset();
    cCanPort port;
    EXPECT_EQ(port.Open(), 0);
    EXPECT_EQ(port.SetBaudrate(125), 0);
    EXPECT_EQ(port.Send(cCanPacket()), 0);
    port.Close();
    Calls calls = FakeDriver::RecordedCalls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].name, "CanCreateDevice");
    EXPECT_EQ(calls[3], (Call{"CanCloseDevice", {kFakeDefaultDevice}}));
}
