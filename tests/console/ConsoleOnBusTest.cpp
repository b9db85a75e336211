// The whole program on the virtual bus, with a second device on the same bus.
#include <gtest/gtest.h>

#include <atomic>

#include "BusPeer.h"
#include "ConsoleHarness.h"
#include "ConsoleIds.h"

namespace {

// Written by the list's subclass procedure on the dialog's thread, read by the test's thread.
std::atomic<uint64_t> g_framesShown{0};
std::atomic<WNDPROC> g_listProcedure{nullptr};

// A frame has reached the list when its row's last cell, the payload, is written.
LRESULT CALLBACK CountShownFrames(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LVM_SETITEMTEXTW && reinterpret_cast<const LVITEMW*>(lParam)->iSubItem == 4) {
        g_framesShown.fetch_add(1);
    }
    return CallWindowProcW(g_listProcedure.load(), window, message, wParam, lParam);
}

class ConsoleOnBus : public testing::Test
{
protected:
    void Connect()
    {
        console.Press(kConnect);
        ASSERT_EQ(console.Text(kConnect), L"Close");
    }

    // Sends once and returns what the peer saw of it.
    std::string SendAndReceive()
    {
        size_t before = peer.Received().size();
        console.Press(kTransmit);
        std::string frame;
        EXPECT_TRUE(console.WaitFor([&] {
            std::vector<std::string> received = peer.Received();
            if (received.size() > before) {
                frame = received[before];
                return true;
            }
            return false;
        }));
        return frame;
    }

    Watchdog watchdog{"a console test on the bus", std::chrono::seconds(60)};
    BusPeer peer;
    ConsoleProgram console;
};

TEST_F(ConsoleOnBus, DefaultFrameArrivesAtThePeer)
{
    ASSERT_TRUE(peer.IsOpen());
    Connect();
    EXPECT_EQ(SendAndReceive(), "123#00224488AABBEEFF");
}

struct FieldCase
{
    const char* name;
    int length;
    const wchar_t* identifier;
    bool extended;
    std::vector<const wchar_t*> payload;
    const char* frame;
};

class ConsoleOnBusFields : public ConsoleOnBus, public testing::WithParamInterface<FieldCase>
{
};

TEST_P(ConsoleOnBusFields, FrameOnTheBusFollowsTheFields)
{
    const FieldCase& c = GetParam();
    Connect();
    console.Compose(c.length, c.identifier, c.extended, c.payload);
    EXPECT_EQ(SendAndReceive(), c.frame);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ConsoleOnBusFields,
    testing::Values(FieldCase{"LengthThree", 3, L"123", false, {L"11", L"22", L"33", L"44"}, "123#112233"},
                    FieldCase{"LengthZero", 0, L"123", false, {}, "123#0000000000000000"},
                    FieldCase{"PayloadLowByte", 1, L"123", false, {L"1FF"}, "123#FF"},
                    FieldCase{"StandardMask", 1, L"FFFFFFFF", false, {L"5"}, "7FF#05"},
                    FieldCase{"ExtendedMask", 1, L"FFFFFFFF", true, {L"5"}, "1FFFFFFF#05"}),
    [](const testing::TestParamInfo<FieldCase>& info) { return std::string(info.param.name); });

TEST_F(ConsoleOnBus, PeerFramesFillTheRowsAndTheFiftyFirstOverwritesRowZero)
{
    Connect();
    for (uint32_t n = 1; n <= 51; ++n) {
        ASSERT_EQ(peer.Send(n, false, {static_cast<uint8_t>(n)}), 0);
        // The payload is the last cell a frame writes: once it shows, the whole row does.
        ASSERT_TRUE(console.WaitFor([&] {
            uint32_t row = (n - 1) % 50;
            WCHAR id[16], payload[16];
            swprintf(id, 16, L"%x", n);
            swprintf(payload, 16, L"%02x ", n);
            return console.Cell(static_cast<int>(row), 0) == id &&
                   console.Cell(static_cast<int>(row), 4) == payload;
        })) << n;
    }
    EXPECT_EQ(console.Cell(0, 0), L"33");
    EXPECT_EQ(console.Cell(0, 1), L"No");
    EXPECT_EQ(console.Cell(0, 3), L"1");
    EXPECT_EQ(console.Cell(0, 4), L"33 ");
    EXPECT_EQ(console.Cell(1, 0), L"2");
}

TEST_F(ConsoleOnBus, OwnFramesComeBackIntoTheList)
{
    Connect();
    console.Press(kTransmit);
    // The payload is the row's last cell to be written.
    ASSERT_TRUE(console.WaitFor([&] { return console.Cell(0, 4) == L"00 22 44 88 aa bb ee ff "; }));
    EXPECT_EQ(console.Cell(0, 0), L"123");
}

// 1,000 frames sent as fast as the peer can: the bus carries them at its 125 kbit/s, slower than the
// console shows them, so the console's queue of 250 never overflows.
TEST_F(ConsoleOnBus, BurstAtBusSpeedReachesTheListFrameForFrame)
{
    Connect();
    HWND list = GetDlgItem(console.Dialog(), kReceiveList);
    g_framesShown = 0;
    g_listProcedure = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(list, GWLP_WNDPROC));
    SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CountShownFrames));
    for (uint32_t n = 0; n < 1000; ++n) {
        ASSERT_EQ(peer.Send(0x321, false, {static_cast<uint8_t>(n), 1, 2, 3, 4, 5, 6, 7}), 0) << n;
    }
    EXPECT_TRUE(console.WaitFor([] { return g_framesShown.load() >= 1000; }));
    Sleep(50);
    EXPECT_EQ(g_framesShown.load(), 1000u);
    SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_listProcedure.load()));
}

TEST_F(ConsoleOnBus, PeriodicSendingAtDelayZeroFloodsUntilStopped)
{
    Connect();
    console.Check(kLoop, true);
    console.SetText(kDelay, L"0");
    console.Press(kTransmit);
    ASSERT_TRUE(console.WaitFor([&] { return peer.Received().size() >= 100; }));
    console.Press(kTransmit);
    // Frames already on the bus still arrive; a sender that went on would never let the peer go quiet.
    size_t afterStop = 0;
    ASSERT_TRUE(console.WaitFor([&] {
        size_t before = peer.Received().size();
        Sleep(50);
        afterStop = peer.Received().size();
        return afterStop == before;
    }));
    Sleep(100);
    EXPECT_EQ(peer.Received().size(), afterStop);
}

} // namespace
