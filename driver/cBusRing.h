// The frame ring of one bus, as seen by one member: publishing frames, reading them in ticket order, and
// sleeping until the next one. Shared by every process attached to the bus through cBusSegment.
#pragma once

#include <atomic>
#include <cstdint>

#include "BusLayout.h"
#include "cBusSegment.h"

class cBusRing
{
public:
    explicit cBusRing(cBusSegment& segment) : m_segment(segment), m_ring(segment.Ring()) {}

    // False when the writers' lock could not be had (a member stopped while publishing).
    bool Publish(const BusFrame& frame);
    // Publish in two halves, so that a test can stop a member between them and kill it. BeginPublish
    // takes the writers' lock and writes the slot of ticket Head() without publishing it; on success
    // FinishPublish(ticket) publishes it and releases the lock.
    bool BeginPublish(const BusFrame& frame, uint64_t& ticket);
    void FinishPublish(uint64_t ticket);

    // The ticket the next frame will get; a reader starting here sees only frames sent from now on.
    uint64_t Head() const { return m_ring.head.load(std::memory_order_acquire); }

    // Copies the frame of ticket cursor and advances cursor. A reader more than window tickets behind
    // the head first skips to window tickets behind it; tickets skipped that way or overwritten while
    // being read are added to dropped. False when no frame is published at or after cursor.
    bool ReadNext(uint64_t& cursor, uint32_t window, BusFrame& frame, uint64_t& dropped);

    // Spins briefly, then sleeps until a frame with ticket cursor is published, stop is set, another
    // member calls WakeWaiters, or timeoutMs pass.
    void WaitForFrame(uint64_t cursor, const std::atomic<bool>& stop, uint32_t timeoutMs);
    // Ends every sleep in WaitForFrame on this bus, in every process, so that sleepers re-check their
    // stop flags; a sleeper that was not meant just goes back to waiting.
    void WakeWaiters();

private:
    void WriteSlot(uint64_t ticket, const BusFrame& frame);
    bool ReadSlot(uint64_t ticket, BusFrame& frame) const;
    bool FrameAfter(uint64_t cursor, const std::atomic<bool>& stop) const;

    cBusSegment& m_segment;
    BusRingShared& m_ring;
};
