// Faults that a member of a virtual bus asked for (can-fault): a table in the bus segment that every
// sender consults for each attempt to put a frame on the wire. Like everything in the segment, any
// member may write anything into it, so a sender reads every record as untrusted input: a record whose
// words make no sense hits nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "FaultConfinement.h"

struct BusFrame;

constexpr uint32_t kBusFaultCount = 16;

// How long a record keeps hitting frames.
enum class BusFaultMode : uint32_t
{
    Count = 0,       // the next `remaining` matching frames, then it is freed
    Window = 1,      // every matching frame until `until`: a disturbed bus
    UntilBusOff = 2, // every matching frame until their sender is bus-off, then it is freed
};

// The state word: the phase in its low two bits, a generation above them that each claim advances, so
// that whoever frees a record (a sender, can-fault -c) frees the one it read, not a successor that
// another member armed in the meantime, and can-fault -w tells its own record from a later one.
constexpr uint32_t kBusFaultPhaseMask = 3;
constexpr uint32_t kBusFaultFree = 0;
constexpr uint32_t kBusFaultClaimed = 1; // a writer fills it in; senders pass over it
constexpr uint32_t kBusFaultArmed = 2;
constexpr uint32_t kBusFaultGenerationStep = 4;

constexpr uint32_t kBusFaultAnyId = 1;      // idMatch bit 0
constexpr uint32_t kBusFaultExtendedId = 2; // idMatch bit 1

// One requested fault. Its writer claims a free record (phase free -> claimed, next generation), fills
// it in and arms it; senders take from armed records only.
struct alignas(64) BusFaultShared
{
    std::atomic<uint32_t> state;    // phase and generation, above
    std::atomic<uint32_t> kind;     // BusErrorKind
    std::atomic<uint32_t> mode;     // BusFaultMode
    std::atomic<uint32_t> bitrate;  // kbit/s of the frames it hits; 0: every rate
    std::atomic<uint32_t> idMatch;  // kBusFaultAnyId, kBusFaultExtendedId; no other bit
    std::atomic<uint32_t> id;       // the id it hits unless any id
    std::atomic<int64_t> remaining; // Count: frames still to corrupt
    std::atomic<uint64_t> until;    // monotonic time after which the record no longer hits; 0: none
                                    // (a Window needs one)
};
static_assert(sizeof(BusFaultShared) == 64);

// A fault as its writer asks for it, and as a reader of the table sees an armed record.
struct BusFaultRequest
{
    BusErrorKind kind = BusErrorKind::Bit;
    BusFaultMode mode = BusFaultMode::Count;
    uint32_t bitrate = 0; // 0: every rate
    bool anyId = false;
    bool extended = false;
    uint32_t id = 0;
    int64_t remaining = 1; // Count only
    uint64_t until = 0;    // MonotonicNanoseconds; 0: none, which a Window may not have
};

// The fault, if any, that the sender's attempt to put frame on the wire at now meets; takes one frame
// from a record that counts them, and frees records that have run out or expired. sender holds the
// sender's error counters before this attempt: a record that holds it until bus-off lets go on the
// attempt whose error takes it bus-off (FaultConfinement.h), so that the sender, once restarted, sends
// again.
std::optional<BusErrorKind> TakeInjectedFault(BusFaultShared (&faults)[kBusFaultCount], const BusFrame& frame,
                                              ErrorCounters sender, uint64_t now);

// Claims a free record, fills it in from request and arms it; returns its index and the state word that
// it holds while armed, or nothing when every record is taken.
struct ArmedBusFault
{
    uint32_t index = 0;
    uint32_t state = 0;
};
std::optional<ArmedBusFault> ArmBusFault(BusFaultShared (&faults)[kBusFaultCount],
                                         const BusFaultRequest& request);
// The armed record's request, or nothing when it is not armed or its words make no sense to a sender.
std::optional<BusFaultRequest> ReadBusFault(const BusFaultShared& fault);
// Frees every record, armed, half written by a member that died, or garbage.
void ClearBusFaults(BusFaultShared (&faults)[kBusFaultCount]);
// Frees the record if it still holds state (the armed state ArmBusFault returned).
void FreeBusFault(BusFaultShared& fault, uint32_t state);
