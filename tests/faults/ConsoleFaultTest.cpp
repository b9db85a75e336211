// One operator session (connect, receive, send, periodic send, disconnect, connect, Cancel) run again and
// again with one driver call made to fail, or to fault, by its position in the session. Whatever the
// position, the console ends each step in the state the rules give for what the driver answered: a
// failed device creation or bit rate is the error box and the closed console, every other failure is
// ignored; the port's lock is free after every step (another thread takes it); the program ends with 0,
// the driver unloaded and no descriptor left open.
//
// Faults are injected only where the port guards the call: CanSetBaudrate, CanReset and
// CanTransmittMessageEx. A fault inside any other entry point is not caught by design and ends the
// process, so at those positions the call fails instead (result 0).
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "ConsoleGlobals.h"
#include "ConsoleHarness.h"
#include "ConsoleIds.h"
#include "FakeDriverControl.h"

namespace {

// The calls of the whole session, in order, when the driver answers every one of them well; a test's
// position is an index into this table, counted from 1. CanReset is the lock probe's.
const std::vector<std::string> kSessionCalls = {
    "CanCreateDevice",
    "CanSetBaudrate",
    "CanWriteDescriptorEx",
    "CanRegisterCallback",
    "CanStartReceiveQueue",  // connected and receiving
    "CanReset",              // lock probe
    "CanTransmittMessageEx", // one send
    "CanTransmittMessageEx", // the SendThread's one send
    "CanReset",              // lock probe
    "CanStopReceiveQueue",
    "CanRegisterCallback",
    "CanCloseDevice", // disconnected (probe makes no call)
    "CanCreateDevice",
    "CanSetBaudrate",
    "CanWriteDescriptorEx",
    "CanRegisterCallback",
    "CanStartReceiveQueue", // connected again
    "CanReset",             // lock probe
    "CanStopReceiveQueue",
    "CanRegisterCallback",
    "CanCloseDevice", // Cancel
};

// The first connect's CanRegisterCallback; the session's frame arrives after it.
constexpr int kFirstRegistration = 4;

enum class Injection
{
    None,
    Fail,
    Fault
};

bool IsGuarded(const std::string& entry)
{
    return entry == "CanSetBaudrate" || entry == "CanReset" || entry == "CanTransmittMessageEx";
}

std::vector<std::string> CallNames()
{
    std::vector<std::string> names;
    for (const FakeCanCall& call : FakeDriver::RawCalls()) {
        names.push_back(call.name);
    }
    return names;
}

int TransmitCount()
{
    int count = 0;
    for (const std::string& name : CallNames()) {
        count += name == "CanTransmittMessageEx" ? 1 : 0;
    }
    return count;
}

class Session
{
public:
    explicit Session(ConsoleProgram& console) : m_console(console) {}

    void ExpectClosed(const char* when)
    {
        SCOPED_TRACE(when);
        EXPECT_EQ(m_console.Text(kConnect), L"Open");
        EXPECT_TRUE(m_console.Enabled(kBaudrates));
        EXPECT_FALSE(m_console.Enabled(kTransmit));
        EXPECT_EQ(m_console.Text(kReceive), L"Start");
    }

    void ExpectOpenAndReceiving(const char* when)
    {
        SCOPED_TRACE(when);
        EXPECT_EQ(m_console.Text(kConnect), L"Close");
        EXPECT_FALSE(m_console.Enabled(kBaudrates));
        EXPECT_TRUE(m_console.Enabled(kTransmit));
        EXPECT_EQ(m_console.Text(kTransmit), L"Start");
        EXPECT_EQ(m_console.Text(kReceive), L"Stop");
    }

    // Another thread takes the port's lock: it must be free, whatever failed or faulted before.
    void ExpectLockFree()
    {
        Watchdog watchdog("taking the port's lock from another thread", std::chrono::seconds(10));
        std::thread([] { g_port->Reset(); }).join();
    }

    // A failed connect shows the one error box and leaves the console closed; the operator tries again.
    void Connect()
    {
        m_console.PostPress(kConnect);
        HWND box = nullptr;
        ASSERT_TRUE(m_console.WaitFor([&] { return (box = FindErrorBox()) != nullptr || IsOpen(); }));
        if (box != nullptr) {
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            ASSERT_TRUE(m_console.WaitFor([] { return FindErrorBox() == nullptr; }));
            ExpectClosed("after the failed connect");
            ++m_failedConnects;
            m_console.PostPress(kConnect);
            ASSERT_TRUE(m_console.WaitFor([&] { return IsOpen(); }));
        }
        ExpectOpenAndReceiving("after connecting");
    }

    // Row 0 shows the frame if the driver has the console's receive function (a failed registration
    // leaves it without).
    void Receive()
    {
        CanMessageDescriptor frame{};
        frame.id = 0x123;
        frame.length = 2;
        frame.data[0] = 0x0A;
        frame.data[1] = 0xFF;
        m_delivered = FakeDriver::Deliver(&frame);
        EXPECT_EQ(m_console.Cell(0, 0), m_delivered ? L"123" : L"");
        EXPECT_EQ(m_console.Cell(0, 4), m_delivered ? L"0a ff " : L"");
    }

    void SendOnce()
    {
        m_console.Press(kTransmit);
        ExpectOpenAndReceiving("after one send");
    }

    // The SendThread sends once, then pauses a second; Stop ends it within its pause.
    void SendPeriodically()
    {
        int before = TransmitCount();
        m_console.Check(kLoop, true);
        m_console.SetText(kDelay, L"1000");
        m_console.Press(kTransmit);
        EXPECT_EQ(m_console.Text(kTransmit), L"Stop");
        EXPECT_TRUE(m_console.WaitFor([&] { return TransmitCount() > before; }));
        m_console.Press(kTransmit);
        m_console.Check(kLoop, false);
        ExpectOpenAndReceiving("after periodic sending");
    }

    void Disconnect()
    {
        m_console.Press(kConnect);
        ExpectClosed("after disconnecting");
    }

    int FailedConnects() const { return m_failedConnects; }
    bool Delivered() const { return m_delivered; }

private:
    bool IsOpen() const { return m_console.Text(kConnect) == L"Close"; }

    ConsoleProgram& m_console;
    int m_failedConnects = 0;
    bool m_delivered = false;
};

struct SessionOutcome
{
    int exitCode = -1;
    int failedConnects = 0;
    bool delivered = false;
};

SessionOutcome RunSession(Injection injection, int position)
{
    FakeDriver::Reset();
    FakeCanConfig config = FakeDriver::DefaultConfig();
    config.failCall = injection == Injection::Fail ? position : 0;
    config.faultCall = injection == Injection::Fault ? position : 0;
    FakeDriver::Configure(config);
    // The windowing layer opens its descriptors with the first program of the process and keeps them.
    static const bool warmedUp = [] {
        ConsoleProgram first;
        return first.Cancel() == 0;
    }();
    EXPECT_TRUE(warmedUp);
    int descriptors = OpenFileDescriptors();

    SessionOutcome outcome;
    {
        Watchdog watchdog("one operator session", std::chrono::seconds(60));
        ConsoleProgram console;
        Session session(console);
        session.Connect();
        session.ExpectLockFree();
        session.Receive();
        session.SendOnce();
        session.SendPeriodically();
        session.ExpectLockFree();
        session.Disconnect();
        session.ExpectLockFree();
        session.Connect();
        session.ExpectLockFree();
        outcome.exitCode = console.Cancel();
        outcome.failedConnects = session.FailedConnects();
        outcome.delivered = session.Delivered();
    }
    EXPECT_FALSE(FakeDriver::IsLoaded()) << "the driver library is still loaded after the program ended";
    EXPECT_EQ(OpenFileDescriptors(), descriptors);
    return outcome;
}

TEST(ConsoleSession, MakesTheDriverCallsTheFaultTestsCount)
{
    SessionOutcome outcome = RunSession(Injection::None, 0);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.failedConnects, 0);
    EXPECT_TRUE(outcome.delivered);
    EXPECT_EQ(CallNames(), kSessionCalls);
}

// A failed device creation or bit rate fails the connect: one error box, then the retry succeeds.
bool FailsTheConnect(const std::string& entry)
{
    return entry == "CanCreateDevice" || entry == "CanSetBaudrate";
}

void ExpectSessionSurvives(Injection injection, int position)
{
    const std::string& entry = kSessionCalls[static_cast<size_t>(position - 1)];
    SCOPED_TRACE("call " + std::to_string(position) + ", " + entry);
    SessionOutcome outcome = RunSession(injection, position);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.failedConnects, FailsTheConnect(entry) ? 1 : 0);
    // Only a failed registration of the receive function before the frame arrives keeps it from the list.
    bool registrationFailed = position == kFirstRegistration;
    EXPECT_EQ(outcome.delivered, !registrationFailed);
    std::vector<std::string> calls = CallNames();
    ASSERT_GE(calls.size(), static_cast<size_t>(position));
    EXPECT_EQ(calls[static_cast<size_t>(position - 1)], entry) << "the injection hit another call";
}

class FailedCall : public testing::TestWithParam<int>
{
};

TEST_P(FailedCall, LeavesTheConsoleInTheStateItsResultGives)
{
    ExpectSessionSurvives(Injection::Fail, GetParam());
}

INSTANTIATE_TEST_SUITE_P(EverySessionCall, FailedCall,
                         testing::Range(1, static_cast<int>(kSessionCalls.size()) + 1));

class FaultingCall : public testing::TestWithParam<int>
{
};

TEST_P(FaultingCall, IsCaughtAndLeavesTheConsoleInTheStateAFailureGives)
{
    ExpectSessionSurvives(Injection::Fault, GetParam());
}

std::vector<int> GuardedPositions()
{
    std::vector<int> positions;
    for (size_t i = 0; i < kSessionCalls.size(); ++i) {
        if (IsGuarded(kSessionCalls[i])) {
            positions.push_back(static_cast<int>(i + 1));
        }
    }
    return positions;
}

INSTANTIATE_TEST_SUITE_P(EveryGuardedCall, FaultingCall, testing::ValuesIn(GuardedPositions()));

} // namespace
