// The timed virtual bus through the driver's entry points: frames take their bit time, one at a time,
// and pending frames of several senders go out in arbitration order.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "BusPlatform.h"
#include "CanWireTime.h"
#include "DriverTestSupport.h"
#include "FrameRules.h"
#include "cBusRing.h"
#include "cBusSegment.h"
#include "cDeliveryPacer.h"

namespace {

constexpr uint32_t kBurstFrames = 1000;
// A burst whose sender a loaded machine held up past its lead leaves a gap; it is tried again, so
// that only a bus that always leaves gaps fails.
constexpr int kBurstAttempts = 5;

using BusTiming = DriverDevicesTest;

// The bus time of the burst's frames after the first, in milliseconds, as CanWireTime reckons it.
double IdealBurstMilliseconds(const std::string& text, uint32_t rate)
{
    CanMessageDescriptor message = Frame(text);
    BusFrame frame;
    EXPECT_TRUE(FrameFromMessage(message, rate, frame));
    return (kBurstFrames - 1) * static_cast<double>(CanWireNanoseconds(CanWireBits(frame), rate)) / 1e6;
}

// One frame after another as the receive thread meets them, in µs: when each is handed over.
struct PacedFrame
{
    uint64_t start, end, now, handOver;
};

void ExpectHandOvers(cDeliveryPacer& pacer, std::initializer_list<PacedFrame> frames)
{
    for (const PacedFrame& frame : frames) {
        SCOPED_TRACE(frame.start);
        EXPECT_EQ(pacer.HandOverTime(frame.start * 1000, frame.end * 1000, frame.now * 1000),
                  frame.handOver * 1000);
    }
}

TEST(DeliveryPacer, HandsOverAtTheEndUntilFramesComeBackToBackThenInBatches)
{
    constexpr uint64_t kBatch = kBatchWindowNanoseconds / 1000;
    cDeliveryPacer pacer;
    ExpectHandOvers(pacer, {
                               {10000, 10111, 9000, 10111},           // alone: at its end
                               {10111, 10222, 10000, 10222},          // back to back once: still at its end
                               {10222, 10333, 10100, 10333 + kBatch}, // twice: busy, opens a batch
                               {10333, 10444, 10333 + kBatch, 10333 + kBatch}, // ended within it: at once
                               {12000, 12111, 11200, 12111}, // after a gap: at its end again
                           });
}

TEST(DeliveryPacer, FramesAsLongAsTheWindowAndARestartedQueueNeverWait)
{
    cDeliveryPacer pacer; // 8-byte frames at 125 kbit/s take 888 µs
    ExpectHandOvers(
        pacer, {{10000, 10888, 9000, 10888}, {10888, 11776, 10888, 11776}, {11776, 12664, 11776, 12664}});
    pacer.Forget();
    ExpectHandOvers(pacer, {{12664, 12700, 12000, 12700}, {12700, 12736, 12000, 12736}});
}

// The receive stamps are the frames' ends on the wire: never closer than the wire allows (1 ms of
// stamp resolution aside), and late only when the scheduler held the sender up for longer than it
// reserves the wire ahead. A loaded machine does that now and then, so a burst may be tried three
// times to come within 5 %; none may be faster than the wire.
TEST_F(BusTiming, BurstTakesTheSummedBitTimesOfItsFrames)
{
    const std::string text = "123#1122334455667788";
    for (uint32_t rate : {125u, 1000u}) {
        SCOPED_TRACE(rate);
        DWORD sender = Open(L"CAN4:", rate);
        DWORD receiver = Open(L"CAN4:", rate);
        const double ideal = IdealBurstMilliseconds(text, rate);
        double elapsed = 0;
        for (int attempt = 0; attempt < kBurstAttempts && !(elapsed > 0 && elapsed <= ideal * 1.05 + 1.0);
             ++attempt) {
            cCollector& received = cCollector::Slot(0);
            ASSERT_TRUE(m_driver.StartReceiving(receiver, received.Function()));
            for (uint32_t i = 0; i < kBurstFrames; ++i) {
                ASSERT_TRUE(Send(sender, text)) << i;
            }
            ASSERT_TRUE(received.WaitForCount(kBurstFrames));
            ASSERT_TRUE(m_driver.api.CanStopReceiveQueue(receiver));
            std::vector<CanMessageDescriptor> frames = received.Frames();
            elapsed = frames.back().timestamp - frames.front().timestamp;
            EXPECT_GE(elapsed, ideal - 1.0);
            EXPECT_EQ(m_driver.Counters(receiver).dropped, 0u);
        }
        EXPECT_LE(elapsed, ideal * 1.05 + 1.0);
    }
}

// Until a frame has the wire of that rate on that bus (its sender reserved it).
void WaitUntilTheWireIsTaken(uint32_t bus, uint32_t rate)
{
    cBusSegment segment;
    ASSERT_TRUE(segment.Attach(bus)) << segment.LastError();
    const BusWireShared& wire = segment.Ring().wires[BitrateIndex(rate)];
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (wire.busyUntil.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_NE(wire.busyUntil.load(), 0u);
}

// Queued while a long frame holds the bus, in the reverse of the order they must come out in: a
// standard data frame beats the standard remote frame of its id, which beats an extended frame with
// the same base id.
TEST_F(BusTiming, FramesPendingAsTheBusFreesGoOutInArbitrationOrder)
{
    DWORD blocker = Open(L"CAN4:", 10);
    DWORD extended = Open(L"CAN4:", 10);
    DWORD remote = Open(L"CAN4:", 10);
    DWORD standard = Open(L"CAN4:", 10);
    DWORD watcher = Open(L"CAN4:", 10);
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(watcher, received.Function()));
    ASSERT_TRUE(Send(blocker, "7FF#0011223344556677")); // 11 ms at 10 kbit/s, on a bus unused so far
    WaitUntilTheWireIsTaken(4, 10);
    std::vector<std::string> expected = {"7FF#0011223344556677"};
    for (const char* text : {"04000000#01", "04000000#02", "04000000#03"}) {
        ASSERT_TRUE(Send(extended, text));
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Send(remote, "100#R"));
    }
    for (const char* text : {"100#01", "100#02", "100#03"}) {
        ASSERT_TRUE(Send(standard, text));
        expected.push_back(text);
    }
    expected.insert(expected.end(), {"100#R", "100#R", "100#R", "04000000#01", "04000000#02", "04000000#03"});
    ASSERT_TRUE(received.WaitForCount(expected.size()));
    EXPECT_EQ(received.Texts(), expected);
}

// Another member wrote a schedule an hour ahead, a winning bid it never follows up and a frame that
// ends in the far future: the bus goes on after a bounded delay.
TEST_F(BusTiming, HostileScheduleOnlyDelaysTheBusBriefly)
{
    DWORD sender = Open(L"CAN5:", 125);
    DWORD receiver = Open(L"CAN5:", 125);
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(receiver, received.Function()));
    cBusSegment segment;
    ASSERT_TRUE(segment.Attach(5)) << segment.LastError();
    BusWireShared& wire = segment.Ring().wires[BitrateIndex(125)];
    uint64_t anHourAhead = MonotonicNanoseconds() + 3600ull * 1000000000ull;
    wire.busyUntil.store(anHourAhead);
    wire.bid.store(anHourAhead << 32);
    BusFrame forever;
    forever.id = 0x111;
    forever.bitrate = 125;
    forever.endTime = UINT64_MAX;
    cBusRing(segment).Publish(forever);

    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Send(sender, "222#02"));
    ASSERT_TRUE(received.WaitForCount(2));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(received.Texts(), (std::vector<std::string>{"111#", "222#02"}));
}

} // namespace
