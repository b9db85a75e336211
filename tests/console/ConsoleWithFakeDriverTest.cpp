// The whole program against the fake driver beside this test program: the driver calls each operator
// action makes, and what the dialog shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "ConsoleHarness.h"
#include "ConsoleIds.h"
#include "FakeDriverControl.h"
#include "posix/DebugOutput.h"

namespace {

constexpr DWORD kDevice = kFakeDefaultDevice;
constexpr uint64_t kAllBits = 0xFFFFFFFF;

class Console : public testing::Test
{
protected:
    void SetUp() override { FakeDriver::Reset(); }

    void Configure(int FakeCanConfig::*behaviour)
    {
        FakeCanConfig config = FakeDriver::DefaultConfig();
        config.*behaviour = 1;
        FakeDriver::Configure(config);
    }

    void Connect()
    {
        console.Press(kConnect);
        ASSERT_EQ(console.Text(kConnect), L"Close");
    }

    std::vector<CanMessageDescriptor> Transmitted()
    {
        std::vector<CanMessageDescriptor> sent;
        for (const FakeCanCall& call : FakeDriver::RawCalls()) {
            if (std::string(call.name) == "CanTransmittMessageEx") {
                sent.push_back(call.message);
            }
        }
        return sent;
    }

    CanMessageDescriptor SendOnce()
    {
        FakeDriver::Reset();
        console.Press(kTransmit);
        std::vector<CanMessageDescriptor> sent = Transmitted();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? CanMessageDescriptor{} : sent[0];
    }

    Watchdog watchdog{"a console test", std::chrono::seconds(60)};
    ConsoleProgram console;
};

std::vector<uint8_t> DataOf(const CanMessageDescriptor& message, size_t count)
{
    return std::vector<uint8_t>(message.data, message.data + count);
}

TEST_F(Console, ConnectOpensPort1AtTheSelectedRateAndStartsReceiving)
{
    Connect();
    std::vector<FakeCanCall> raw = FakeDriver::RawCalls();
    ASSERT_EQ(raw.size(), 5u);
    EXPECT_EQ(std::wstring(raw[0].deviceName), L"CAN1:");
    EXPECT_EQ(raw[1].record[0], 125u);
    Calls calls = FakeDriver::RecordedCalls();
    calls[3].arguments.pop_back(); // the receive function's address
    EXPECT_EQ(calls, (Calls{{"CanCreateDevice", {0}},
                            {"CanSetBaudrate", {kDevice}},
                            {"CanWriteDescriptorEx", {kDevice, 0, kAllBits, kAllBits}},
                            {"CanRegisterCallback", {kDevice}},
                            {"CanStartReceiveQueue", {kDevice, 250}}}));
    EXPECT_NE(raw[3].arguments[1], 0u);
}

TEST_F(Console, ConnectedStateShowsInTheControls)
{
    Connect();
    EXPECT_FALSE(console.Enabled(kBaudrates));
    EXPECT_TRUE(console.Enabled(kConnect));
    EXPECT_EQ(console.RowCount(), 50);
    EXPECT_EQ(console.Cell(0, 0), L"");
    EXPECT_EQ(console.Text(kTransmit), L"Start");
    EXPECT_EQ(console.Text(kReceive), L"Stop");
    for (int id : kConnectionDependent) {
        EXPECT_TRUE(console.Enabled(id)) << id;
    }
}

struct RateCase
{
    int selection;
    uint32_t rate;
};

class ConsoleRate : public Console, public testing::WithParamInterface<RateCase>
{
};

TEST_P(ConsoleRate, ConnectUsesTheRateOfTheSelection)
{
    console.Select(kBaudrates, GetParam().selection);
    Connect();
    std::vector<FakeCanCall> raw = FakeDriver::RawCalls();
    ASSERT_GE(raw.size(), 2u);
    EXPECT_EQ(raw[1].record[0], GetParam().rate);
}

INSTANTIATE_TEST_SUITE_P(Selections, ConsoleRate,
                         testing::Values(RateCase{0, 10}, RateCase{1, 20}, RateCase{2, 50}, RateCase{3, 100},
                                         RateCase{4, 125}, RateCase{5, 250}, RateCase{6, 500},
                                         RateCase{7, 800}, RateCase{8, 1000}, RateCase{-1, 125}));

TEST_F(Console, FailedConnectShowsTheOneErrorBoxAndStaysClosed)
{
    Configure(&FakeCanConfig::refuseBaudrate);
    console.Select(kBaudrates, 7);
    console.PostPress(kConnect);
    HWND box = nullptr;
    ASSERT_TRUE(console.WaitFor([&] { return (box = FindErrorBox()) != nullptr; }));
    WCHAR text[64] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 64);
    EXPECT_EQ(std::wstring(text), L"cannot open CAN port.");
    EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
    EXPECT_NE(GetDlgItem(box, 0x14), nullptr); // the stop-sign icon
    EXPECT_TRUE(GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(console.WaitFor([] { return FindErrorBox() == nullptr; }));

    EXPECT_TRUE(console.Enabled(kBaudrates));
    EXPECT_EQ(console.Selection(kBaudrates), 7);
    EXPECT_EQ(console.Text(kConnect), L"Open");
    for (int id : kConnectionDependent) {
        EXPECT_FALSE(console.Enabled(id)) << id;
    }
}

TEST_F(Console, DisconnectStopsTheQueueBeforeClosingAndRestoresTheClosedState)
{
    Connect();
    console.Select(kBaudrates, 8);
    console.Select(kLength, 3);
    console.SetText(kFrameId, L"456");
    console.Check(kExtended, true);
    FakeDriver::Reset();
    console.Press(kConnect);
    EXPECT_EQ(FakeDriver::RecordedCalls(), (Calls{{"CanStopReceiveQueue", {kDevice}},
                                                  {"CanRegisterCallback", {kDevice, 0}},
                                                  {"CanCloseDevice", {kDevice}}}));
    EXPECT_FALSE(FakeDriver::IsLoaded());

    EXPECT_TRUE(console.Enabled(kBaudrates));
    EXPECT_EQ(console.Text(kConnect), L"Open");
    EXPECT_EQ(console.Selection(kBaudrates), 4);
    EXPECT_EQ(console.Selection(kLength), 8);
    EXPECT_EQ(console.Text(kReceive), L"Start");
    EXPECT_EQ(console.Text(kFrameId), L"456");
    EXPECT_EQ(SendDlgItemMessageW(console.Dialog(), kExtended, BM_GETCHECK, 0, 0), BST_CHECKED);
    for (int id : kConnectionDependent) {
        EXPECT_FALSE(console.Enabled(id)) << id;
    }
}

TEST_F(Console, CancelWhileConnectedClosesTheDeviceOnceBeforeUnloading)
{
    Connect();
    FakeDriver::Reset();
    EXPECT_EQ(console.Cancel(), 0);
    EXPECT_EQ(FakeDriver::RecordedCalls(), (Calls{{"CanStopReceiveQueue", {kDevice}},
                                                  {"CanRegisterCallback", {kDevice, 0}},
                                                  {"CanCloseDevice", {kDevice}}}));
    EXPECT_FALSE(FakeDriver::IsLoaded());
}

TEST_F(Console, CancelWithoutConnectingNeverLoadsTheDriver)
{
    EXPECT_EQ(console.Cancel(), 0);
    EXPECT_EQ(FakeDriver::RecordedCalls(), Calls{});
    EXPECT_FALSE(FakeDriver::IsLoaded());
}

TEST_F(Console, CommandOkDoesNothing)
{
    console.Press(IDOK);
    EXPECT_TRUE(IsWindow(console.Dialog()));
    EXPECT_EQ(console.Text(kConnect), L"Open");
}

// ---- transmit ------------------------------------------------------------------------------------

std::wstring captured;
std::mutex capturedMutex;

void CaptureDebugOutput(LPCWSTR text)
{
    std::lock_guard<std::mutex> lock(capturedMutex);
    captured += text;
}

TEST_F(Console, PressSendsTheDefaultFrameAndWritesTwoDebugLines)
{
    Connect();
    captured.clear();
    DebugOutputSink previous = SetDebugOutputSink(CaptureDebugOutput);
    CanMessageDescriptor sent = SendOnce();
    SetDebugOutputSink(previous);

    EXPECT_EQ(sent.extended, 0u);
    EXPECT_EQ(sent.id, 0x123u);
    EXPECT_EQ(sent.remote, 0u);
    EXPECT_EQ(sent.length, 8u);
    EXPECT_EQ(DataOf(sent, 8), (std::vector<uint8_t>{0x00, 0x22, 0x44, 0x88, 0xAA, 0xBB, 0xEE, 0xFF}));
    EXPECT_EQ(captured, L"frame length: 8\r\nis ext frame: 0\r\n");
    for (int id : kTransmitControls) {
        EXPECT_TRUE(console.Enabled(id)) << id;
    }
    EXPECT_EQ(console.Text(kTransmit), L"Start");
}

// Sending disables the focused transmit button for a moment. With no focus afterwards, Windows would
// hand keys to the dialog as system keys, so Space could not send again nor Escape end the console.
TEST_F(Console, FocusComesBackToStartAfterASendSoSpaceSendsAgainAndEscapeEnds)
{
    Connect();
    HWND start = GetDlgItem(console.Dialog(), kTransmit);
    SendMessageW(console.Dialog(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(start), TRUE);
    ASSERT_EQ(console.Focus(), start);
    FakeDriver::Reset();
    for (size_t sends = 1; sends <= 2; ++sends) {
        console.PostKey(VK_SPACE);
        ASSERT_TRUE(console.WaitFor([&] { return Transmitted().size() == sends; })) << "send " << sends;
        // The button is enabled again a moment before it gets the focus back.
        console.WaitFor([&] { return console.Focus() == start; });
        ASSERT_EQ(console.Focus(), start) << "after send " << sends;
    }
    console.PostKey(VK_ESCAPE);
    EXPECT_TRUE(console.WaitFor([&] { return !IsWindow(console.Dialog()); }));
    EXPECT_EQ(console.Cancel(), 0);
}

// A control that loses the focus by being disabled and stays disabled passes it on, in tab order: past
// the disabled frame controls and the receive list, round to Cancel.
TEST_F(Console, DisconnectWithTheFocusInTheFrameIdEditMovesItToTheNextEnabledControl)
{
    Connect();
    HWND frameId = GetDlgItem(console.Dialog(), kFrameId);
    SendMessageW(console.Dialog(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(frameId), TRUE);
    ASSERT_EQ(console.Focus(), frameId);
    console.Press(kConnect);
    ASSERT_EQ(console.Text(kConnect), L"Open");
    EXPECT_EQ(console.Focus(), GetDlgItem(console.Dialog(), kCancel));
}

struct ComposeCase
{
    const char* name;
    int length;
    const wchar_t* identifier;
    bool extended;
    std::vector<const wchar_t*> payload;
    uint32_t sentId;
    uint16_t sentLength;
    std::vector<uint8_t> sentData;
};

class ConsoleCompose : public Console, public testing::WithParamInterface<ComposeCase>
{
};

TEST_P(ConsoleCompose, FrameFollowsTheFields)
{
    const ComposeCase& c = GetParam();
    Connect();
    console.Compose(c.length, c.identifier, c.extended, c.payload);
    CanMessageDescriptor sent = SendOnce();
    EXPECT_EQ(sent.id, c.sentId);
    EXPECT_EQ(sent.extended, c.extended ? 1u : 0u);
    EXPECT_EQ(sent.length, c.sentLength);
    EXPECT_EQ(DataOf(sent, c.sentData.size()), c.sentData);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ConsoleCompose,
    testing::Values(
        ComposeCase{
            "ThreeBytes", 3, L"123", false, {L"11", L"22", L"33", L"44"}, 0x123, 3, {0x11, 0x22, 0x33}},
        ComposeCase{
            "LengthZeroSendsEightZeroBytes", 0, L"123", false, {}, 0x123, 8, {0, 0, 0, 0, 0, 0, 0, 0}},
        ComposeCase{"PayloadKeepsTheLowByte", 1, L"123", false, {L"1FF"}, 0x123, 1, {0xFF}},
        ComposeCase{"StandardIdMasked", 1, L"FFFFFFFF", false, {L"1"}, 0x7FF, 1, {0x01}},
        ComposeCase{"ExtendedIdMasked", 1, L"FFFFFFFF", true, {L"1"}, 0x1FFFFFFF, 1, {0x01}},
        ComposeCase{"UnparseableTextReadsAsZero", 2, L"xyz", false, {L"", L"q"}, 0, 2, {0, 0}}),
    [](const testing::TestParamInfo<ComposeCase>& info) { return std::string(info.param.name); });

// Typing stops at the widest id of the format shown; an id typed while Extended Frame was ticked and
// then sent as a standard frame is masked by the packet, and the edit shows the id that went out.
TEST_F(Console, StandardFrameLeavesWithTheIdTheFrameIdEditShows)
{
    Connect();
    HWND frameId = GetDlgItem(console.Dialog(), kFrameId);
    auto type = [frameId](const wchar_t* keys) {
        SendMessageW(frameId, EM_SETSEL, 0, -1);
        for (const wchar_t* key = keys; *key != 0; ++key) {
            PostMessageW(frameId, WM_CHAR, *key, 1);
        }
    };
    type(L"1ABCDEF0\b"); // the Backspace, typed last, tells when every key is in
    EXPECT_TRUE(console.WaitFor([&] { return console.Text(kFrameId) == L"1A"; }));

    console.Check(kExtended, true);
    type(L"1ABCDEF0");
    ASSERT_TRUE(console.WaitFor([&] { return console.Text(kFrameId) == L"1ABCDEF0"; }));
    console.Check(kExtended, false);
    EXPECT_EQ(SendOnce().id, 0x6F0u);
    EXPECT_EQ(console.Text(kFrameId), L"6F0");
}

TEST_F(Console, PeriodicSendingRepeatsUntilStoppedAndNeverSendsAfter)
{
    Connect();
    console.Check(kLoop, true);
    console.SetText(kDelay, L"0");
    console.Press(kTransmit);
    EXPECT_EQ(console.Text(kTransmit), L"Stop");
    EXPECT_TRUE(console.Enabled(kTransmit));
    for (size_t i = 1; i < kTransmitControls.size(); ++i) {
        EXPECT_FALSE(console.Enabled(kTransmitControls[i])) << kTransmitControls[i];
    }
    ASSERT_TRUE(console.WaitFor([&] { return Transmitted().size() >= 20; }));

    console.Press(kTransmit);
    EXPECT_EQ(console.Text(kTransmit), L"Start");
    for (int id : kTransmitControls) {
        EXPECT_TRUE(console.Enabled(id)) << id;
    }
    size_t afterStop = Transmitted().size();
    Sleep(50);
    EXPECT_EQ(Transmitted().size(), afterStop);
}

TEST_F(Console, UnparseableDelayReadsAsZero)
{
    Connect();
    console.Check(kLoop, true);
    console.SetText(kDelay, L"later");
    console.Press(kTransmit);
    EXPECT_TRUE(console.WaitFor([&] { return Transmitted().size() >= 20; }, std::chrono::seconds(2)));
    console.Press(kTransmit);
}

TEST_F(Console, RestartingPeriodicSendingLeavesOneSenderOnly)
{
    Connect();
    console.Check(kLoop, true);
    console.SetText(kDelay, L"40");
    console.Press(kTransmit);
    console.Press(kTransmit);
    console.SetText(kFrameId, L"7");
    console.Press(kTransmit);
    FakeDriver::Reset();
    Sleep(200);
    console.Press(kTransmit);
    for (const CanMessageDescriptor& sent : Transmitted()) {
        EXPECT_EQ(sent.id, 7u); // nothing from the stopped thread, which sent 0x123
    }
}

TEST_F(Console, DisconnectEndsPeriodicSending)
{
    Connect();
    console.Check(kLoop, true);
    console.SetText(kDelay, L"0");
    console.Press(kTransmit);
    console.Press(kConnect);
    FakeDriver::Reset();
    Sleep(50);
    EXPECT_EQ(Transmitted().size(), 0u);

    Connect();
    console.Check(kLoop, false);
    EXPECT_EQ(console.Text(kTransmit), L"Start");
    SendOnce(); // the press sends: no stale sending state was left behind
}

TEST_F(Console, CancelDuringPeriodicSendingAndReceivingEndsBothFirst)
{
    Connect();
    console.Check(kLoop, true);
    console.SetText(kDelay, L"0");
    console.Press(kTransmit);
    ASSERT_TRUE(console.WaitFor([&] { return !Transmitted().empty(); }));
    EXPECT_EQ(console.Cancel(), 0);
    Calls calls = FakeDriver::RecordedCalls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.back(), (Call{"CanCloseDevice", {kDevice}}));
    EXPECT_EQ(calls[calls.size() - 2], (Call{"CanRegisterCallback", {kDevice, 0}}));
    EXPECT_EQ(calls[calls.size() - 3], (Call{"CanStopReceiveQueue", {kDevice}}));
}

// ---- receive -------------------------------------------------------------------------------------

CanMessageDescriptor Message(uint32_t id, uint32_t extended, uint32_t timestamp, uint16_t length,
                             std::vector<uint8_t> data)
{
    CanMessageDescriptor message{};
    message.id = id;
    message.extended = extended;
    message.timestamp = timestamp;
    message.length = length;
    std::copy_n(data.begin(), std::min<size_t>(data.size(), 8), message.data);
    return message;
}

struct CellCase
{
    const char* name;
    CanMessageDescriptor message;
    std::vector<std::wstring> cells;
};

class ConsoleCells : public Console, public testing::WithParamInterface<CellCase>
{
};

TEST_P(ConsoleCells, ShowTheRecord)
{
    Connect();
    CanMessageDescriptor message = GetParam().message;
    ASSERT_TRUE(FakeDriver::Deliver(&message));
    for (int column = 0; column < 5; ++column) {
        EXPECT_EQ(console.Cell(0, column), GetParam().cells[static_cast<size_t>(column)]) << column;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Records, ConsoleCells,
    testing::Values(CellCase{"ExtendedIdentifier",
                             Message(0x1FFFFFFF, 1, 0xABC, 1, {0x01}),
                             {L"1fffffff", L"Yes", L"abc", L"1", L"01 "}},
                    CellCase{"StandardIdentifier",
                             Message(0x123, 0, 0, 2, {0x0A, 0xFF}),
                             {L"123", L"No", L"0", L"2", L"0a ff "}},
                    CellCase{"ZeroIdentifierNoData",
                             Message(0, 0, 0xFFFFFFFF, 0, {}),
                             {L"0", L"No", L"ffffffff", L"0", L""}},
                    CellCase{"OnlyOneIsExtended", Message(5, 2, 1, 0, {}), {L"5", L"No", L"1", L"0", L""}},
                    CellCase{"LengthPastTheRecordShowsTheEightBytes",
                             Message(7, 0, 2, 300, {1, 2, 3, 4, 5, 6, 7, 8}),
                             {L"7", L"No", L"2", L"300", L"01 02 03 04 05 06 07 08 "}}),
    [](const testing::TestParamInfo<CellCase>& info) { return std::string(info.param.name); });

TEST_F(Console, MessagesFillTheRowsInTurnAndWrapAfterFifty)
{
    Connect();
    for (uint32_t n = 0; n < 51; ++n) {
        CanMessageDescriptor message = Message(n + 1, 0, 0, 0, {});
        FakeDriver::Deliver(&message);
    }
    EXPECT_EQ(console.Cell(0, 0), L"33"); // the 51st, 0x33
    EXPECT_EQ(console.Cell(1, 0), L"2");
    EXPECT_EQ(console.Cell(49, 0), L"32"); // the 50th
    EXPECT_EQ(console.RowCount(), 50);
}

TEST_F(Console, NullRecordChangesNothing)
{
    Connect();
    FakeDriver::Deliver(nullptr);
    CanMessageDescriptor message = Message(0x42, 0, 0, 0, {});
    FakeDriver::Deliver(&message);
    EXPECT_EQ(console.Cell(0, 0), L"42");
    EXPECT_EQ(console.Cell(1, 0), L"");
}

TEST_F(Console, RowsStayAfterDisconnectAndTheNextConnectStartsAfresh)
{
    Connect();
    CanMessageDescriptor first = Message(0x11, 0, 0, 0, {});
    CanMessageDescriptor second = Message(0x22, 0, 0, 0, {});
    FakeDriver::Deliver(&first);
    FakeDriver::Deliver(&second);
    console.Press(kConnect);
    EXPECT_EQ(console.Cell(1, 0), L"22");
    EXPECT_FALSE(console.Enabled(kReceiveList));

    Connect();
    EXPECT_EQ(console.RowCount(), 50);
    EXPECT_EQ(console.Cell(1, 0), L"");
    CanMessageDescriptor third = Message(0x33, 0, 0, 0, {});
    FakeDriver::Deliver(&third);
    EXPECT_EQ(console.Cell(0, 0), L"33");
}

TEST_F(Console, ReceiveButtonTogglesReceiving)
{
    Connect();
    FakeDriver::Reset();
    console.Press(kReceive);
    EXPECT_EQ(console.Text(kReceive), L"Start");
    EXPECT_EQ(FakeDriver::RecordedCalls(),
              (Calls{{"CanStopReceiveQueue", {kDevice}}, {"CanRegisterCallback", {kDevice, 0}}}));
    CanMessageDescriptor late = Message(0x99, 0, 0, 0, {});
    FakeDriver::Deliver(&late); // a stray call after the stop leaves the list alone
    console.Press(kReceive);
    EXPECT_EQ(console.Text(kReceive), L"Stop");
    EXPECT_EQ(console.Cell(0, 0), L"");
}

} // namespace

// ---- start-up without a port ------------------------------------------------------------------------

// ---- the whole session ---------------------------------------------------------------------------

// A session of every operator action asks the windowing layer for nothing it lacks: the debug output
// has no "windowing: not implemented" line from start to end.
TEST(ConsoleSession, AsksTheWindowingLayerForNothingItLacks)
{
    FakeDriver::Reset();
    Watchdog watchdog{"the console session", std::chrono::seconds(60)};
    {
        std::lock_guard<std::mutex> lock(capturedMutex);
        captured.clear();
    }
    DebugOutputSink previous = SetDebugOutputSink(CaptureDebugOutput);
    {
        ConsoleProgram console;
        // A key goes to the control focused when it is posted: each control's keys wait for its focus.
        auto keysAt = [&console](int id, std::initializer_list<UINT> keys) {
            EXPECT_TRUE(console.WaitFor([&] { return console.Focus() == GetDlgItem(console.Dialog(), id); }))
                << "focus on " << id;
            for (UINT key : keys) {
                console.PostKey(key);
            }
        };
        keysAt(kCancel, {VK_TAB});
        keysAt(kBaudrates, {VK_DOWN, VK_TAB});
        keysAt(kConnect, {VK_SPACE});
        EXPECT_TRUE(console.WaitFor([&] { return console.Text(kConnect) == L"Close"; }));
        console.Compose(3, L"1AB", true, {L"11", L"22", L"33"});
        console.Press(kTransmit);
        CanMessageDescriptor message = Message(0x42, 0, 7, 2, {0xCA, 0xFE});
        FakeDriver::Deliver(&message);
        console.Press(kReceive);
        console.Press(kReceive);
        keysAt(kConnect, {VK_TAB});
        keysAt(kFrameId, {VK_BACK, VK_TAB});
        keysAt(kExtended, {VK_SPACE, VK_TAB});
        keysAt(kLength, {VK_UP, VK_TAB});
        keysAt(kPayload0, {});
        console.Press(kConnect);
        console.PostKey(VK_ESCAPE);
        EXPECT_TRUE(console.WaitFor([&] { return !IsWindow(console.Dialog()); }));
        EXPECT_EQ(console.Cancel(), 0);
    }
    SetDebugOutputSink(previous);
    std::lock_guard<std::mutex> lock(capturedMutex);
    EXPECT_EQ(captured.find(L"windowing: not implemented"), std::wstring::npos) << "debug output:\n"
                                                                                << captured;
}

namespace {
bool refuseNothrowAllocations = false;
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (refuseNothrowAllocations) {
        return nullptr;
    }
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);

TEST(StartUp, WithoutAPortTheProgramEndsWithAnErrorCode)
{
    refuseNothrowAllocations = true;
    WCHAR commandLine[] = L"";
    int exitCode = wWinMain(GetModuleHandleW(nullptr), nullptr, commandLine, SW_SHOWNORMAL);
    refuseNothrowAllocations = false;
    EXPECT_NE(exitCode, 0);
    EXPECT_EQ(FindWindowW(L"#32770", L"CAN - Check"), nullptr);
}
