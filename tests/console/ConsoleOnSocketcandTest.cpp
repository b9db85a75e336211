// The whole program with CAN1: mapped to a bus of a socketcand server on 127.0.0.1, a scripted one of the
// test's own or can-serve with python-can's client on its bus: what the server's bus carries shows in
// the list, the console's frames reach it, and a rate the mapping refuses ends in the console's one error
// box.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <regex>

#include "ConsoleHarness.h"
#include "ConsoleIds.h"
#include "DriverTestSupport.h"
#include "cScriptedSocketcandServer.h"
#include "posix/DebugOutput.h"
#include "posix/TextConversion.h"

namespace {

// The debug output the program writes, the driver's lines included. Written by whichever thread writes
// a line, read by the test; guarded by g_debugMutex.
std::mutex g_debugMutex;
std::wstring g_debugOutput;

void CaptureDebugOutput(LPCWSTR text)
{
    std::lock_guard<std::mutex> lock(g_debugMutex);
    g_debugOutput += text;
}

std::wstring DebugOutput()
{
    std::lock_guard<std::mutex> lock(g_debugMutex);
    return g_debugOutput;
}

// The operator sees only "cannot open CAN port." in the box: the driver's reason goes to the debug
// output, which the terminal front end shows on its status line.
class ConsoleOnSocketcand : public testing::Test
{
protected:
    ConsoleOnSocketcand()
    {
        g_debugOutput.clear();
        m_previousSink = SetDebugOutputSink(CaptureDebugOutput);
    }
    ~ConsoleOnSocketcand() override
    {
        SetDebugOutputSink(m_previousSink);
        unsetenv("RVCAN32CE_CAN1");
    }

    DebugOutputSink m_previousSink = nullptr;

    Watchdog watchdog{"a console test on a socketcand bus", std::chrono::seconds(60)};
};

TEST_F(ConsoleOnSocketcand, ServerFramesShowInTheListAndStartReachesTheServer)
{
    cScriptedSocketcandServer server([](cScriptedSocketcandServer& s) {
        s.WaitForGo();
        s.Write("< frame 1ABCDEF0 12.345678 A1B2C3 >");
        s.received.set_value(s.ReadMessage());
        s.CloseClient(); // the server goes away while the console is connected
    });
    setenv("RVCAN32CE_CAN1", server.Mapping().c_str(), 1); // read when the device is created
    ConsoleProgram console;
    console.Press(kConnect);
    ASSERT_EQ(console.Text(kConnect), L"Close");
    server.go.store(true);
    ASSERT_TRUE(console.WaitFor([&] { return console.Cell(0, 4) == L"a1 b2 c3 "; }));
    EXPECT_EQ(console.Cell(0, 0), L"1abcdef0");
    EXPECT_EQ(console.Cell(0, 1), L"Yes");
    EXPECT_EQ(console.Cell(0, 2), L"3039"); // 12.345678 s is 12345 ms, which the list shows in hex
    EXPECT_EQ(console.Cell(0, 3), L"3");

    console.Press(kTransmit);
    std::future<std::string> sent = server.received.get_future();
    ASSERT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(sent.get(), "< send 123 8 00 22 44 88 AA BB EE FF >");
    // With the server gone, a send fails at once and the console still ends (the watchdog says when not).
    console.Press(kTransmit);
    EXPECT_TRUE(console.WaitFor([] {
        // Closed, or reset by the send after it: either way the line names the connection and "lost".
        return std::regex_search(NarrowFromWide(DebugOutput().c_str()),
                                 std::regex(R"(rvcan32ce: connection to 127\.0\.0\.1:\d+/\S+ lost: .+\r\n)"));
    })) << NarrowFromWide(DebugOutput().c_str());
    EXPECT_EQ(console.Cancel(), 0);
}

TEST_F(ConsoleOnSocketcand, RateTheMappingRefusesShowsTheErrorBox)
{
    cScriptedSocketcandServer server([](cScriptedSocketcandServer& s) { s.ReadMessage(); });
    setenv("RVCAN32CE_CAN1", (server.Mapping() + "@500").c_str(), 1); // the console starts at 125
    ConsoleProgram console;
    console.PostPress(kConnect);
    HWND box = nullptr;
    ASSERT_TRUE(console.WaitFor([&] { return (box = FindErrorBox()) != nullptr; }));
    EXPECT_TRUE(console.WaitFor([&] {
        WCHAR text[64] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 64);
        return std::wstring(text) == L"cannot open CAN port.";
    }));
    EXPECT_TRUE(std::regex_search(
        NarrowFromWide(DebugOutput().c_str()),
        std::regex(R"(rvcan32ce: CanSetBaudrate\(125\) failed: the bus 127\.0\.0\.1:\d+/\S+ )"
                   R"(runs at 500 kbit/s \(as its mapping says\), not at 125\r\n)")))
        << NarrowFromWide(DebugOutput().c_str());
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(console.WaitFor([] { return FindErrorBox() == nullptr; }));
    EXPECT_EQ(console.Text(kConnect), L"Open");
    EXPECT_EQ(console.Cancel(), 0);
}

} // namespace

namespace {

// The console and python-can's own socketcand client on one virtual bus served by can-serve.
TEST(ConsoleThroughCanServe, PythonCanFrameShowsAndStartReachesPythonCan)
{
    Watchdog watchdog("the console through can-serve", std::chrono::seconds(60));
    unsetenv("RVCAN32CE_CAN1"); // can-serve serves its own CAN1: a virtual bus
    cChildProcess server({CAN_SERVE_PATH, "-n", "-p", "0", "CAN1"});
    std::smatch match;
    std::string listening = server.ReadLine().value_or("");
    ASSERT_TRUE(std::regex_search(listening, match, std::regex(R"(listening on 127\.0\.0\.1:(\d+),)")))
        << listening;
    std::string port = match[1];
    setenv("RVCAN32CE_CAN1", ("socketcand://127.0.0.1:" + port + "/CAN1").c_str(), 1);
    ConsoleProgram console;
    console.Press(kConnect);
    ASSERT_EQ(console.Text(kConnect), L"Close");

    cChildProcess peer({PYTHON_PATH, SOCKETCAND_PEER_PATH, port, "CAN1"});
    ASSERT_EQ(peer.ReadLine(), "sent") << peer.ReadAllErrors();
    ASSERT_TRUE(console.WaitFor([&] { return console.Cell(0, 4) == L"a1 b2 c3 "; }));
    EXPECT_EQ(console.Cell(0, 0), L"1abcdef0");
    EXPECT_EQ(console.Cell(0, 1), L"Yes");
    EXPECT_EQ(console.Cell(0, 3), L"3");

    console.Press(kTransmit);
    EXPECT_EQ(peer.ReadLine(), "123 00224488AABBEEFF");
    EXPECT_EQ(peer.Wait(), 0);
    EXPECT_EQ(console.Cancel(), 0);
    unsetenv("RVCAN32CE_CAN1");
}

} // namespace
