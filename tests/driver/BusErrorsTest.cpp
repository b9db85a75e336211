// Fault confinement: the rules of the error counters, and the virtual bus's controllers following them
// (a sender nobody acknowledges, a bus-off controller and its restart).
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BusPlatform.h"
#include "DriverTestSupport.h"
#include "ErrorFrames.h"
#include "FaultConfinement.h"
#include "cBusRing.h"
#include "cBusSegment.h"
#include "cDevice.h"

namespace {

enum class Event
{
    TransmitBit,
    TransmitStuff,
    TransmitCrc,
    TransmitAck,
    TransmitOk,
    ReceiveError,
    ReceiveOk,
    Restart,
};

struct RuleRow
{
    Event event;
    ErrorCounters before;
    ErrorCounters after;
    ControllerState state; // after
};

ErrorCounters Apply(Event event, ErrorCounters counters)
{
    switch (event) {
    case Event::TransmitBit: return AfterTransmitError(counters, BusErrorKind::Bit);
    case Event::TransmitStuff: return AfterTransmitError(counters, BusErrorKind::Stuff);
    case Event::TransmitCrc: return AfterTransmitError(counters, BusErrorKind::Crc);
    case Event::TransmitAck: return AfterTransmitError(counters, BusErrorKind::Ack);
    case Event::TransmitOk: return AfterTransmitSuccess(counters);
    case Event::ReceiveError: return AfterReceiveError(counters);
    case Event::ReceiveOk: return AfterReceiveSuccess(counters);
    case Event::Restart: return AfterRestart();
    }
    return counters;
}

using enum Event;
constexpr ControllerState kActive = ControllerState::ErrorActive;
constexpr ControllerState kWarning = ControllerState::ErrorWarning;
constexpr ControllerState kPassive = ControllerState::ErrorPassive;
constexpr ControllerState kBusOff = ControllerState::BusOff;

TEST(FaultConfinement, CountersStepAndCrossTheThresholdsAsTheStandardSays)
{
    const RuleRow rows[] = {
        {TransmitBit, {0, 0}, {8, 0}, kActive},
        {TransmitAck, {0, 0}, {8, 0}, kActive},        // an active sender's ack error counts
        {TransmitBit, {88, 0}, {96, 0}, kWarning},     // warning from 96
        {TransmitStuff, {120, 0}, {128, 0}, kPassive}, // passive from 128
        {TransmitAck, {128, 0}, {128, 0}, kPassive},   // a passive sender's ack error does not
        {TransmitStuff, {128, 0}, {136, 0}, kPassive}, // its other errors do
        {TransmitCrc, {248, 0}, {256, 0}, kBusOff},    // above 255: bus-off
        {TransmitBit, {256, 0}, {256, 0}, kBusOff},    // bus-off counts nothing more
        {TransmitOk, {256, 0}, {256, 0}, kBusOff},     // nor leaves bus-off by success
        {TransmitOk, {128, 0}, {127, 0}, kWarning},
        {TransmitOk, {96, 0}, {95, 0}, kActive},
        {TransmitOk, {0, 0}, {0, 0}, kActive},
        {ReceiveError, {0, 95}, {0, 96}, kWarning},
        {ReceiveError, {0, 127}, {0, 128}, kPassive},
        {ReceiveError, {0, 255}, {0, 255}, kPassive}, // a receiver never goes bus-off
        {ReceiveOk, {0, 200}, {0, 127}, kWarning},    // from passive back to 127
        {ReceiveOk, {0, 96}, {0, 95}, kActive},
        {ReceiveOk, {0, 0}, {0, 0}, kActive},
        {TransmitBit, {100, 130}, {108, 130}, kPassive}, // the worse counter decides
        {Restart, {256, 40}, {0, 0}, kActive},
    };
    for (const RuleRow& row : rows) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(row.event) << " at " << row.before.transmit << "/"
                                        << row.before.receive);
        ErrorCounters after = Apply(row.event, row.before);
        EXPECT_EQ(after.transmit, row.after.transmit);
        EXPECT_EQ(after.receive, row.after.receive);
        EXPECT_EQ(StateOf(after), row.state);
    }
}

TEST(FaultConfinement, BusOffRecoveryTakes128Times11BitTimes)
{
    const struct
    {
        uint32_t rate;
        uint64_t nanoseconds;
    } rows[] = {{10, 140800000}, {125, 11264000}, {1000, 1408000}, {0, 0}};
    for (const auto& row : rows) {
        EXPECT_EQ(BusOffRecoveryNanoseconds(row.rate), row.nanoseconds) << row.rate;
    }
}

// For the life of the object, devices opened want their frames acknowledged by another node.
class cAcknowledgementOnTheWire
{
public:
    cAcknowledgementOnTheWire() { setenv("RVCAN32CE_BUS_ACK", "wire", 1); }
    ~cAcknowledgementOnTheWire() { unsetenv("RVCAN32CE_BUS_ACK"); }
};

class BusErrors : public DriverDevicesTest
{
protected:
    RvCanBusState State(DWORD device)
    {
        RvCanBusState state{};
        EXPECT_TRUE(m_driver.readBusState(device, &state));
        return state;
    }

    // Starts device's queue with its frames to collector frames and its error frames to errors.
    void Listen(DWORD device, cCollector& frames, cCollector& errors)
    {
        ASSERT_TRUE(m_driver.registerErrorCallback(device, errors.Function()));
        ASSERT_TRUE(m_driver.StartReceiving(device, frames.Function()));
    }
};

constexpr uint32_t kAckError =
    kCanErrorFlag | kCanErrorProtocol | kCanErrorBusError | kCanErrorAck | kCanErrorCounters;
constexpr uint32_t kStateChange = kCanErrorFlag | kCanErrorController | kCanErrorCounters;

// An error frame in short: its id and the bytes that tell it apart.
struct ErrorFrameRow
{
    uint32_t id;
    uint8_t controller; // data[1]
    uint8_t type;       // data[2]
    uint8_t location;   // data[3]
    uint8_t transmitErrors;
};

std::vector<ErrorFrameRow> Rows(const std::vector<CanMessageDescriptor>& frames)
{
    std::vector<ErrorFrameRow> rows;
    for (const CanMessageDescriptor& frame : frames) {
        rows.push_back({frame.id, frame.data[1], frame.data[2], frame.data[3], frame.data[6]});
    }
    return rows;
}

bool operator==(const ErrorFrameRow& a, const ErrorFrameRow& b)
{
    return a.id == b.id && a.controller == b.controller && a.type == b.type && a.location == b.location &&
           a.transmitErrors == b.transmitErrors;
}

void PrintTo(const ErrorFrameRow& row, std::ostream* out)
{
    *out << std::hex << row.id << " " << int{row.controller} << " " << int{row.type} << " "
         << int{row.location} << std::dec << " TEC " << int{row.transmitErrors};
}

// Alone at its rate, with acknowledgement on the wire, a sender's frame meets an acknowledgement error
// at every attempt: 8 each, error-warning at 96, error-passive at 128, where they stop counting. The
// frame goes out once another node at the rate appears, and the counter falls by one per frame.
TEST_F(BusErrors, LoneSenderGoesErrorPassiveAndItsFrameGoesOutOnceANodeAppears)
{
    DWORD sender = 0;
    {
        cAcknowledgementOnTheWire acknowledgement;
        sender = Open(L"CAN5:", 1000);
    }
    cCollector& own = cCollector::Slot(0);
    cCollector& ownErrors = cCollector::Slot(1);
    Listen(sender, own, ownErrors);
    ASSERT_TRUE(Send(sender, "123#11"));
    ASSERT_TRUE(ownErrors.WaitForCount(18));

    std::vector<ErrorFrameRow> expected;
    for (uint8_t tec = 8; tec <= 128; tec += 8) {
        expected.push_back({kAckError, 0, kCanProtocolTx, kCanLocationAckSlot, tec});
        if (tec == 96 || tec == 128) {
            uint8_t level = tec == 96 ? kCanControllerTxWarning : kCanControllerTxPassive;
            expected.push_back({kStateChange, level, 0, 0, tec});
        }
    }
    std::vector<ErrorFrameRow> seen = Rows(ownErrors.Frames());
    seen.resize(expected.size());
    EXPECT_EQ(seen, expected);
    RvCanBusState passive = State(sender);
    EXPECT_EQ(passive.state, RVCAN_STATE_ERROR_PASSIVE);
    EXPECT_EQ(passive.transmitErrors, 128u);

    // Listening at another rate first, so that it acknowledges only once it hears.
    DWORD reader = Open(L"CAN5:", 500);
    cCollector& heard = cCollector::Slot(2);
    Listen(reader, heard, cCollector::Slot(3));
    ASSERT_TRUE(m_driver.SetRate(reader, 1000));
    ASSERT_TRUE(heard.WaitForCount(1));
    ASSERT_TRUE(Send(sender, "124#22"));
    ASSERT_TRUE(heard.WaitForCount(2));
    EXPECT_EQ(heard.Texts(), (std::vector<std::string>{"123#11", "124#22"}));
    RvCanBusState after = State(sender);
    EXPECT_EQ(after.state, RVCAN_STATE_ERROR_WARNING);
    EXPECT_EQ(after.transmitErrors, 126u);
}

// Without RVCAN32CE_BUS_ACK every frame is acknowledged, alone or not: scripts rely on it.
TEST_F(BusErrors, LoneSenderWithoutAcknowledgementOnTheWireIsAcknowledged)
{
    DWORD sender = Open(L"CAN5:", 1000);
    cCollector& own = cCollector::Slot(0);
    cCollector& ownErrors = cCollector::Slot(1);
    Listen(sender, own, ownErrors);
    ASSERT_TRUE(Send(sender, "123#11"));
    ASSERT_TRUE(Send(sender, "124#22"));
    ASSERT_TRUE(own.WaitForCount(2));
    EXPECT_EQ(own.Texts(), (std::vector<std::string>{"123#11", "124#22"}));
    RvCanBusState state = State(sender);
    EXPECT_EQ(state.state, RVCAN_STATE_ERROR_ACTIVE);
    EXPECT_EQ(state.transmitErrors, 0u);
    EXPECT_EQ(ownErrors.Count(), 0u);
    EXPECT_EQ(m_driver.Counters(sender).errorFrames, 0u);
}

// Every device at the rate of a failed attempt counts a receive error and gets the attempt's error
// frame; a frame received without error counts it down again. The attempt comes straight from the ring,
// as another member's sender publishes it.
TEST_F(BusErrors, ReceiverCountsAnotherNodesFailedAttemptAndGetsItsErrorFrame)
{
    DWORD receiver = Open(L"CAN5:", 250);
    DWORD sender = Open(L"CAN5:", 250);
    cCollector& frames = cCollector::Slot(0);
    cCollector& errors = cCollector::Slot(1);
    Listen(receiver, frames, errors);
    cBusSegment segment;
    ASSERT_TRUE(segment.Attach(5)) << segment.LastError();
    cBusRing ring(segment);
    BusFrame attempt;
    attempt.id = 0x321;
    attempt.bitrate = 250;
    attempt.errorEntry = true;
    attempt.errorKind = static_cast<uint8_t>(BusErrorKind::Stuff);
    attempt.endTime = MonotonicNanoseconds();
    ring.Publish(attempt);
    ASSERT_TRUE(errors.WaitForCount(1));
    const CanMessageDescriptor error = errors.Frames()[0];
    EXPECT_EQ(error.id, kCanErrorFlag | kCanErrorProtocol | kCanErrorBusError | kCanErrorCounters);
    EXPECT_EQ(error.data[2], kCanProtocolStuff);
    EXPECT_EQ(error.data[6], 0);
    EXPECT_EQ(error.data[7], 1);
    EXPECT_EQ(State(receiver).receiveErrors, 1u);
    EXPECT_EQ(m_driver.Counters(receiver).errorFrames, 1u);

    ASSERT_TRUE(Send(sender, "123#11"));
    ASSERT_TRUE(frames.WaitForCount(1));
    EXPECT_EQ(State(receiver).receiveErrors, 0u);
}

// A controller driven bus-off by the counters' keeper (acknowledgement errors alone never take it
// there), on a bus whose other members send at 10 kbit/s.
class BusOff : public BusErrors
{
protected:
    static constexpr uint32_t kBus = 6;
    static constexpr uint32_t kRate = 10;

    // Opens the controller (with RVCAN32CE_BUS_RESTART set to restart), its error frames to errors.
    std::shared_ptr<cDevice> OpenBusOff(const char* restart, cCollector& errors)
    {
        setenv("RVCAN32CE_BUS_RESTART", restart, 1);
        auto controller = std::make_shared<cDevice>();
        std::string error;
        bool attached = controller->Attach(kBus, error);
        unsetenv("RVCAN32CE_BUS_RESTART");
        EXPECT_TRUE(attached) << error;
        EXPECT_TRUE(controller->SetBitrate(kRate, error));
        controller->RegisterErrorCallback(errors.Function());
        EXPECT_TRUE(controller->StartQueue(250));
        for (int i = 0; i < 32; ++i) {
            controller->ConfinementForTests().TransmitFailed(BusErrorKind::Bit, MonotonicNanoseconds());
        }
        EXPECT_EQ(controller->BusState().state, RVCAN_STATE_BUS_OFF);
        EXPECT_EQ(controller->BusState().transmitErrors, 256u);
        return controller;
    }

    // 32 bit errors with warning, passive and bus-off among them, then the restart.
    static constexpr size_t kErrorFramesUntilRestart = 36;

    void ExpectRestarted(cDevice& controller, cCollector& errors)
    {
        DeviceBusState restarted = controller.BusState();
        EXPECT_EQ(restarted.state, RVCAN_STATE_ERROR_ACTIVE);
        EXPECT_EQ(restarted.transmitErrors, 0u);
        ASSERT_TRUE(errors.WaitForCount(kErrorFramesUntilRestart));
        std::vector<CanMessageDescriptor> frames = errors.Frames();
        EXPECT_EQ(frames[kErrorFramesUntilRestart - 2].id,
                  kCanErrorFlag | kCanErrorBusOff | kCanErrorCounters);
        EXPECT_EQ(frames[kErrorFramesUntilRestart - 1].id,
                  kCanErrorFlag | kCanErrorRestarted | kCanErrorCounters);
    }
};

// It keeps its frames until restarted (CanReset), then they go out.
TEST_F(BusOff, ControllerSendsNothingUntilRestarted)
{
    cCollector& errors = cCollector::Slot(1);
    std::shared_ptr<cDevice> controller = OpenBusOff("manual", errors);
    DWORD reader = Open(L"CAN6:", kRate);
    DWORD other = Open(L"CAN6:", kRate);
    cCollector& heard = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(reader, heard.Function()));
    // 7FE holds the wire for 11 ms; 001 and 7FF wait for it to end, and 001 would win the wire then.
    ASSERT_TRUE(Send(other, "7FE#1122334455667788"));
    std::string error;
    ASSERT_TRUE(controller->Transmit(Frame("001#01"), 0, error)) << error;
    ASSERT_TRUE(Send(other, "7FF#"));
    ASSERT_TRUE(heard.WaitForCount(2));

    ASSERT_TRUE(controller->RestartController(error));
    ASSERT_TRUE(heard.WaitForCount(3));
    EXPECT_EQ(heard.Texts(), (std::vector<std::string>{"7FE#1122334455667788", "7FF#", "001#01"}));
    ExpectRestarted(*controller, errors);
    controller->Close();
}

// With RVCAN32CE_BUS_RESTART=auto it restarts by itself after 128 x 11 bit times.
TEST_F(BusOff, ControllerRestartsByItselfWhenToldTo)
{
    cCollector& errors = cCollector::Slot(1);
    std::shared_ptr<cDevice> controller = OpenBusOff("auto", errors);
    DWORD reader = Open(L"CAN6:", kRate);
    cCollector& heard = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(reader, heard.Function()));
    ASSERT_TRUE(errors.WaitForCount(kErrorFramesUntilRestart)); // with nothing to send
    std::string error;
    ASSERT_TRUE(controller->Transmit(Frame("001#01"), 0, error)) << error;
    ASSERT_TRUE(heard.WaitForCount(1));
    ExpectRestarted(*controller, errors);
    controller->Close();
}

} // namespace
