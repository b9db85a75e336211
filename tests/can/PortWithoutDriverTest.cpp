// The port where no driver library can be found: nothing beside this program, nothing on the path.
#include <gtest/gtest.h>

#include "cCanPort.h"

TEST(PortWithoutDriver, OpenFailsAndLeavesThePortClosed)
{
    cCanPort port;
    EXPECT_EQ(port.Open(uint8_t(1)), -1);
    EXPECT_EQ(port.OpenWithBaudrate(uint8_t(1), 125), -1);
    EXPECT_EQ(port.Open(), -1);
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_EQ(port.Send(cCanPacket()), -1);
    EXPECT_EQ(port.Close(), 0);
    EXPECT_EQ(GetModuleHandleW(L"rvcan32ce.dll"), nullptr);
}
