// Which attempts the fault table's records hit, and what each hit leaves of the record.
#include <gtest/gtest.h>

#include "BusFaults.h"
#include "BusLayout.h"

namespace {

constexpr uint64_t kNow = 1000000;

BusFaultRequest Fault(BusFaultMode mode, BusErrorKind kind = BusErrorKind::Crc)
{
    BusFaultRequest request;
    request.mode = mode;
    request.kind = kind;
    request.id = 0x123;
    return request;
}

BusFaultRequest With(BusFaultRequest request, void (*change)(BusFaultRequest&))
{
    change(request);
    return request;
}

BusFrame Standard(uint32_t id, uint32_t bitrate = 125)
{
    BusFrame frame;
    frame.id = id;
    frame.bitrate = bitrate;
    return frame;
}

BusFrame Extended(uint32_t id)
{
    BusFrame frame = Standard(id);
    frame.extended = true;
    return frame;
}

struct Row
{
    const char* rule;
    BusFaultRequest request;
    BusFrame frame;
    ErrorCounters sender;
    std::optional<BusErrorKind> hit;
    bool armedAfter;
    int64_t remainingAfter;
    // What another member scribbled over the armed record, when anything.
    void (*scribble)(BusFaultShared&) = nullptr;
};

const BusFaultRequest kCount = Fault(BusFaultMode::Count);
const BusFaultRequest kWindow =
    With(Fault(BusFaultMode::Window, BusErrorKind::Stuff), [](BusFaultRequest& r) {
        r.anyId = true;
        r.until = kNow + 1;
    });
const BusFaultRequest kUntilBusOff = Fault(BusFaultMode::UntilBusOff, BusErrorKind::Bit);
constexpr ErrorCounters kActive{0, 0};
constexpr ErrorCounters kPassiveOneErrorFromBusOff{248, 0};
constexpr ErrorCounters kBusOff{256, 0};
constexpr auto kCrc = BusErrorKind::Crc;

const Row kRows[] = {
    {"the last counted frame frees the record", kCount, Standard(0x123), kActive, kCrc, false, 0},
    {"a counted frame leaves the rest armed", With(kCount, [](BusFaultRequest& r) { r.remaining = 3; }),
     Standard(0x123), kActive, kCrc, true, 2},
    {"another id passes", kCount, Standard(0x124), kActive, {}, true, 1},
    {"a standard id does not hit the extended one", kCount, Extended(0x123), kActive, {}, true, 1},
    {"an extended id hits the extended frame", With(kCount, [](BusFaultRequest& r) { r.extended = true; }),
     Extended(0x123), kActive, kCrc, false, 0},
    {"any id hits every id", With(kCount, [](BusFaultRequest& r) { r.anyId = true; }), Extended(0x1ABCDEF0),
     kActive, kCrc, false, 0},
    {"another rate passes",
     With(kCount, [](BusFaultRequest& r) { r.bitrate = 500; }),
     Standard(0x123),
     kActive,
     {},
     true,
     1},
    {"its rate is hit", With(kCount, [](BusFaultRequest& r) { r.bitrate = 500; }), Standard(0x123, 500),
     kActive, kCrc, false, 0},
    {"a count run out is freed, never taken below 0",
     With(kCount, [](BusFaultRequest& r) { r.remaining = 0; }),
     Standard(0x123),
     kActive,
     {},
     false,
     0},
    {"a negative count is freed",
     With(kCount, [](BusFaultRequest& r) { r.remaining = -5; }),
     Standard(0x123),
     kActive,
     {},
     false,
     -5},
    {"an expired count is freed",
     With(kCount, [](BusFaultRequest& r) { r.until = kNow; }),
     Standard(0x123),
     kActive,
     {},
     false,
     1},
    {"a window hits every frame and stays", kWindow, Standard(0x7FF, 1000), kActive, BusErrorKind::Stuff,
     true, 1},
    {"a window ends at its time",
     With(kWindow, [](BusFaultRequest& r) { r.until = kNow; }),
     Standard(0x123),
     kActive,
     {},
     false,
     1},
    {"a window without an end hits nothing",
     kWindow,
     Standard(0x123),
     kActive,
     {},
     true,
     1,
     [](BusFaultShared& f) { f.until = 0; }},
    {"until bus-off hits an active sender", kUntilBusOff, Standard(0x123), kActive, BusErrorKind::Bit, true,
     1},
    {"until bus-off lets go on the error that takes it bus-off", kUntilBusOff, Standard(0x123),
     kPassiveOneErrorFromBusOff, BusErrorKind::Bit, false, 1},
    {"until bus-off lets go of a bus-off sender", kUntilBusOff, Standard(0x123), kBusOff, {}, false, 1},
    {"until bus-off holds a passive sender whose ack errors count nothing",
     With(kUntilBusOff, [](BusFaultRequest& r) { r.kind = BusErrorKind::Ack; }), Standard(0x123),
     kPassiveOneErrorFromBusOff, BusErrorKind::Ack, true, 1},
    {"until bus-off hits only its id", kUntilBusOff, Standard(0x321), kActive, {}, true, 1},
    {"an unknown error kind hits nothing",
     kCount,
     Standard(0x123),
     kActive,
     {},
     true,
     1,
     [](BusFaultShared& f) { f.kind = 5; }},
    {"an unknown mode hits nothing",
     kCount,
     Standard(0x123),
     kActive,
     {},
     true,
     1,
     [](BusFaultShared& f) { f.mode = 3; }},
    {"unknown id bits hit nothing",
     kCount,
     Standard(0x123),
     kActive,
     {},
     true,
     1,
     [](BusFaultShared& f) { f.idMatch = kBusFaultAnyId | 4; }},
    {"a record being written hits nothing",
     kCount,
     Standard(0x123),
     kActive,
     {},
     false,
     1,
     [](BusFaultShared& f) { f.state = kBusFaultGenerationStep | kBusFaultClaimed; }},
};

TEST(BusFaults, RecordsHitTheAttemptsTheyMatch)
{
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.rule);
        BusFaultShared faults[kBusFaultCount] = {};
        std::optional<ArmedBusFault> armed = ArmBusFault(faults, row.request);
        ASSERT_TRUE(armed);
        if (row.scribble != nullptr) {
            row.scribble(faults[armed->index]);
        }
        EXPECT_EQ(TakeInjectedFault(faults, row.frame, row.sender, kNow), row.hit);
        EXPECT_EQ(faults[armed->index].state.load() == armed->state, row.armedAfter);
        EXPECT_EQ(faults[armed->index].remaining.load(), row.remainingAfter);
    }
}

TEST(BusFaults, SenderAlreadyBusOffLetsGoOfTheRecordThatHeldIt)
{
    BusFaultShared faults[kBusFaultCount] = {};
    ASSERT_TRUE(ArmBusFault(faults, kUntilBusOff));
    EXPECT_EQ(TakeInjectedFault(faults, Standard(0x123), ErrorCounters{128, 0}, kNow), BusErrorKind::Bit);
    EXPECT_EQ(TakeInjectedFault(faults, Standard(0x123), ErrorCounters{256, 0}, kNow), std::nullopt);
    EXPECT_EQ(TakeInjectedFault(faults, Standard(0x123), kActive, kNow), std::nullopt);
}

TEST(BusFaults, FirstArmedRecordThatMatchesIsTheOneTaken)
{
    BusFaultShared faults[kBusFaultCount] = {};
    ASSERT_TRUE(ArmBusFault(faults, With(kCount, [](BusFaultRequest& r) { r.id = 0x7; })));
    ASSERT_TRUE(ArmBusFault(faults, With(kCount, [](BusFaultRequest& r) { r.kind = BusErrorKind::Form; })));
    ASSERT_TRUE(ArmBusFault(faults, kCount));
    EXPECT_EQ(TakeInjectedFault(faults, Standard(0x123), kActive, kNow), BusErrorKind::Form);
    EXPECT_EQ(TakeInjectedFault(faults, Standard(0x123), kActive, kNow), kCrc);
    EXPECT_EQ(TakeInjectedFault(faults, Standard(0x123), kActive, kNow), std::nullopt);
    EXPECT_EQ(TakeInjectedFault(faults, Standard(0x7), kActive, kNow), kCrc);
}

} // namespace
