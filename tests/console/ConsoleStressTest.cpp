// Many connects, disconnects and program ends while the bus is flooded and the console sends at full
// rate: nothing may hang, crash or leak.
#include <gtest/gtest.h>

#include "BusPeer.h"
#include "ConsoleHarness.h"
#include "ConsoleIds.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

void StartPeriodicSending(ConsoleProgram& console)
{
    console.Check(kLoop, true);
    console.SetText(kDelay, L"0");
    console.Press(kTransmit);
}

TEST(ConsoleStress, ThousandConnectCyclesUnderFloodLeakNothing)
{
    Watchdog watchdog("1000 connect cycles", std::chrono::seconds(600));
    BusPeer peer;
    ASSERT_TRUE(peer.IsOpen());
    peer.StartFlood();
    ConsoleProgram console;

    int descriptorsAtStart = -1;
    long kilobytesAtStart = 0;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        console.Press(kConnect);
        ASSERT_EQ(console.Text(kConnect), L"Close") << cycle;
        StartPeriodicSending(console);
        console.Press(kConnect);
        ASSERT_EQ(console.Text(kConnect), L"Open") << cycle;
        if (cycle == 10) {
            descriptorsAtStart = OpenFileDescriptors();
            kilobytesAtStart = ResidentKilobytes();
        }
    }
    EXPECT_EQ(OpenFileDescriptors(), descriptorsAtStart);
    if (!kSanitized) {
        EXPECT_LT(ResidentKilobytes() - kilobytesAtStart, 8 * 1024);
    }
    EXPECT_GT(peer.FloodCount(), 0u);
    EXPECT_EQ(console.Cancel(), 0);
}

TEST(ConsoleStress, HundredProgramEndsWhileSendingAndReceivingUnderFlood)
{
    Watchdog watchdog("100 program ends", std::chrono::seconds(600));
    BusPeer peer;
    peer.StartFlood();
    int descriptorsAtStart = -1;
    for (int run = 0; run < 100; ++run) {
        ConsoleProgram console;
        console.Press(kConnect);
        ASSERT_EQ(console.Text(kConnect), L"Close") << run;
        StartPeriodicSending(console);
        Sleep(run % 3); // end at different moments of the traffic
        ASSERT_EQ(console.Cancel(), 0) << run;
        if (run == 5) {
            descriptorsAtStart = OpenFileDescriptors();
        }
    }
    EXPECT_EQ(OpenFileDescriptors(), descriptorsAtStart);
}

} // namespace
