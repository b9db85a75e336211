// The whole console, headless, on a SocketCAN interface: RVCAN32CE_CAN1=vcan0 maps its "CAN1:" there.
// Runs inside the SocketCAN VM (run-vm-tests.sh), beside the driver library, with candump and cansend
// on the same interface.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ConsoleHarness.h"
#include "ConsoleIds.h"
#include "ProcessLines.h"

namespace {

int RowWithIdentifier(ConsoleProgram& console, const wchar_t* identifier)
{
    for (int row = 0; row < console.RowCount(); ++row) {
        if (console.Cell(row, 0) == identifier) {
            return row;
        }
    }
    return -1;
}

TEST(ConsoleOnVcan, ConnectsSendsTheDefaultFrameAndListsACansendFrame)
{
    ASSERT_STREQ(getenv("RVCAN32CE_CAN1"), "vcan0");
    Watchdog watchdog("the console on vcan0", std::chrono::seconds(60));
    ProcessLines candump("candump -L vcan0");
    ConsoleProgram console;

    console.Press(kConnect);
    ASSERT_EQ(console.Text(kConnect), L"Close");
    ASSERT_EQ(FindErrorBox(), nullptr);
    ASSERT_TRUE(candump.WaitUntilListening("vcan0 7FF#AA", [] { RunShell("cansend vcan0 7FF#AA"); }));

    console.Press(kTransmit);
    EXPECT_TRUE(candump.WaitFor(
        [](const std::string& line) { return WithoutTimestamp(line) == "vcan0 123#00224488AABBEEFF"; }));

    ASSERT_TRUE(RunShell("cansend vcan0 456#0102"));
    int row = -1;
    // The receive function fills a row's cells in order, the data cell last.
    ASSERT_TRUE(console.WaitFor([&] {
        row = RowWithIdentifier(console, L"456");
        return row >= 0 && !console.Cell(row, 4).empty();
    }));
    EXPECT_EQ(console.Cell(row, 1), L"No");
    EXPECT_EQ(console.Cell(row, 3), L"2");
    EXPECT_EQ(console.Cell(row, 4), L"01 02 ");

    console.Press(kConnect);
    EXPECT_EQ(console.Text(kConnect), L"Open");
    EXPECT_EQ(console.Cancel(), 0);
}

} // namespace

namespace {

// A mapped interface that does not exist: connecting shows the console's one error box and leaves the
// console closed.
TEST(ConsoleOnVcan, MissingMappedInterfaceShowsTheErrorBox)
{
    Watchdog watchdog("the console on a missing interface", std::chrono::seconds(60));
    std::string mapped = getenv("RVCAN32CE_CAN1");
    setenv("RVCAN32CE_CAN1", "nosuchcan0", 1); // read when the device is created, at connecting
    ConsoleProgram console;
    console.PostPress(kConnect);
    HWND box = nullptr;
    ASSERT_TRUE(console.WaitFor([&] { return (box = FindErrorBox()) != nullptr; }));
    // The box is found as soon as it exists; its text follows.
    EXPECT_TRUE(console.WaitFor([&] {
        WCHAR text[64] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 64);
        return std::wstring(text) == L"cannot open CAN port.";
    }));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(console.WaitFor([] { return FindErrorBox() == nullptr; }));
    EXPECT_EQ(console.Text(kConnect), L"Open");
    EXPECT_EQ(console.Cancel(), 0);
    setenv("RVCAN32CE_CAN1", mapped.c_str(), 1);
}

} // namespace
