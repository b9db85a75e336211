// The wire of one bit rate on one bus, shared by every member sending at that rate: who sends next and
// when its frame ends. Frames take their bit time (CanWireTime.h), one at a time, and when several
// members want the wire as it becomes free, the lowest arbitration key wins, as on a real bus.
//
// The schedule is one 64-bit time in the segment, busyUntil, when the last reserved frame ends. A
// sender bids its key for the slot that starts at busyUntil (an atomic minimum on the bid word, tagged
// with that busyUntil), waits until kReserveLead before the slot starts, and if its bid is still the
// lowest it reserves the slot with a compare-and-swap: busyUntil becomes start + its wire time. A
// loser bids again for the next slot. A winner that never reserves (it died, or was stopped) holds the
// wire for kArbitrationGrace at most: then the others take the slot without it.
//
// Both words are input from other processes: a busyUntil further ahead than any honest sender can
// reserve counts as "free now", a bid nobody follows up costs one grace, so no value makes a sender
// wait for long or forever.
//
// Every wait sleeps (cPreciseSleeper) until the moment its sender has something to decide: the slot's
// lead, or a look whether the winner took the slot, at first soon and then less and less often, so a
// member that holds the wire without sending costs a waiting sender a few wake-ups per millisecond at
// most, never a spin.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "BusLayout.h"
#include "cPreciseSleeper.h"

// How far ahead of the bus becoming free a sender takes the next slot: more than a thread needs to
// wake up on a loaded machine, so that back-to-back frames leave no gap between them.
constexpr uint64_t kReserveLeadNanoseconds = 2000000;
// How long after the bus became free the losers wait for the winner to take the slot.
constexpr uint64_t kArbitrationGraceNanoseconds = 4000000;

// The order in which frames win arbitration, lowest first: base id in bits 31-21, RTR (standard) or
// SRR (extended, always 1) in bit 20, IDE in bit 19, extended id bits in 18-1, extended RTR in bit 0.
// So a standard frame beats an extended one with the same base id, and a data frame its remote one.
uint32_t ArbitrationKey(const BusFrame& frame);

// The longest an honest frame's end time lies ahead of now at a rate in kbit/s (the lead plus the
// longest frame, twice over for safety); a time further ahead was written by a faulty member.
uint64_t PlausibleLeadNanoseconds(uint32_t kbitPerSecond);

class cBusWire
{
public:
    explicit cBusWire(BusWireShared& shared) : m_shared(shared) {}

    // Waits for the wire and reserves it for frame (whose bit rate is this wire's); returns when the
    // frame ends on the wire, or 0 when stop was set first. Waits sleep on sleeper, whose Interrupt
    // ends them when stop is set.
    uint64_t Reserve(const BusFrame& frame, const std::atomic<bool>& stop, cPreciseSleeper& sleeper);
    // The same for wireTime nanoseconds of the wire (attempts of frame that fail), calling whileWaiting
    // between its sleeps.
    uint64_t Reserve(const BusFrame& frame, uint64_t wireTime, const std::atomic<bool>& stop,
                     cPreciseSleeper& sleeper, const std::function<void()>& whileWaiting);
    // Bids frame's key for the slot after the one last reserved, before its sender comes to Reserve
    // it: a sender that has just reserved a slot and has the next frame queued thereby never bids late
    // for the next one, however long its thread then takes (timers that wake a millisecond late).
    void BidForNextSlot(const BusFrame& frame);

private:
    void Bid(uint64_t round, uint32_t key);
    bool HoldsLowestBid(uint64_t round, uint32_t key) const;

    BusWireShared& m_shared;
};
