// The whole console, headless, on a SocketCAN interface: RVCAN32CE_CAN1=vcan0 maps its "CAN1:" there.
// Runs inside the SocketCAN VM (run-vm-tests.sh), beside the driver library, with candump and cansend
// on the same interface.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "ConsoleHarness.h"
#include "ConsoleIds.h"
#include "ProcessLines.h"
#include "posix/DebugOutput.h"

namespace {

// The debug lines the program writes, the driver's included, each as it came. Written by whichever
// thread writes one, read by the test; guarded by g_debugLock.
std::mutex g_debugLock;
std::vector<std::wstring> g_debugLines;

void KeepDebugLine(LPCWSTR line)
{
    std::lock_guard<std::mutex> lock(g_debugLock);
    g_debugLines.emplace_back(line);
}

// What the driver said about an interface so far: "bus-off" for "rvcan32ce: vcan0: bus-off\r\n".
std::vector<std::string> DriverLinesAbout(const std::wstring& interfaceName)
{
    const std::wstring prefix = L"rvcan32ce: " + interfaceName + L": ";
    std::lock_guard<std::mutex> lock(g_debugLock);
    std::vector<std::string> said;
    for (const std::wstring& line : g_debugLines) {
        if (line.rfind(prefix, 0) == 0 && line.size() >= prefix.size() + 2) {
            said.emplace_back(line.begin() + static_cast<std::ptrdiff_t>(prefix.size()), line.end() - 2);
        }
    }
    return said;
}

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

// The operator learns of the controller's state changes from the driver's debug output. vcan0 has no
// controller, so they come from error frames sent by hand, as a controller's driver sends them.
TEST(ConsoleOnVcan, StateChangesInErrorFramesGoToTheDebugOutput)
{
    Watchdog watchdog("the console's debug output on vcan0", std::chrono::seconds(60));
    DebugOutputSink previous = SetDebugOutputSink(KeepDebugLine);
    ConsoleProgram console;
    console.Press(kConnect);
    ASSERT_EQ(console.Text(kConnect), L"Close");
    for (const char* frame : {"20000004#0008000000006000", "20000004#0030000000008000",
                              "20000040#0000000000000000", "20000100#0000000000000000"}) {
        ASSERT_TRUE(RunShell(std::string("cansend vcan0 ") + frame));
    }
    const std::vector<std::string> expected = {"error-warning", "error-passive", "bus-off", "error-active"};
    EXPECT_TRUE(console.WaitFor([&] { return DriverLinesAbout(L"vcan0").size() >= expected.size(); }));
    EXPECT_EQ(DriverLinesAbout(L"vcan0"), expected);
    console.Press(kConnect);
    EXPECT_EQ(console.Cancel(), 0);
    SetDebugOutputSink(previous);
}

} // namespace
