// The frame ring of one bus, as seen by one member: publishing frames, reading them in ticket order, and
// sleeping until the next one. Shared by every process attached to the bus through cBusSegment.
//
// Writers never wait: each claims the next ticket with a fetch-add on the head and publishes its slot
// with the slot's sequence number (BusLayout.h). Readers take tickets in order; a ticket claimed but
// not published is waited for at most kUnfinishedSlotNanoseconds (its writer may have died or stopped
// halfway) and then passed over. Everything read is checked as input from an untrusted process: a
// frame that breaks the frame rules, an overwritten slot or a head that moved backwards or impossibly
// far is dropped and counted, never delivered.
#pragma once

#include <atomic>
#include <cstdint>

#include "BusLayout.h"
#include "cBusSegment.h"

class cBusRing
{
public:
    explicit cBusRing(cBusSegment& segment);

    void Publish(const BusFrame& frame);
    // Publish in two halves, so that a test can stop a member between them and kill it. BeginPublish
    // claims a ticket and writes its slot without publishing it; FinishPublish(ticket) publishes it.
    uint64_t BeginPublish(const BusFrame& frame);
    void FinishPublish(uint64_t ticket);

    // The ticket the next frame will get; a reader starting here sees only frames sent from now on.
    uint64_t Head() const { return m_ring.head.load(std::memory_order_acquire); }

    // Copies the frame of ticket cursor and advances cursor. A reader more than window tickets behind
    // the head first skips to window tickets behind it; tickets skipped that way that a writer published,
    // tickets overwritten while being read or holding no valid frame, are added to dropped. False when the
    // frame of cursor is not published yet. An error entry (a failed attempt) comes as a frame with
    // errorEntry set. Called by one thread per ring object (it remembers an unfinished
    // ticket).
    bool ReadNext(uint64_t& cursor, uint32_t window, BusFrame& frame, uint64_t& dropped);

    // Sleeps until the slot of ticket cursor is published, stop is set, another member calls
    // WakeWaiters, or timeoutMs pass; with spin, spins briefly first to catch the next frame of a burst
    // without a system call. Wake-ups that bring nothing (meant for another reader, or a member waking
    // the bus for no reason) cost one look and no spin; many in a row, a pause before the next sleep,
    // so that they cost a small share of a core however often they come.
    void WaitForFrame(uint64_t cursor, const std::atomic<bool>& stop, uint32_t timeoutMs, bool spin = true);
    // Ends every sleep in WaitForFrame on this bus, in every process, so that sleepers re-check their
    // stop flags; a sleeper that was not meant just goes back to waiting.
    void WakeWaiters();

private:
    enum class SlotState
    {
        Frame,
        NotYet,
        Lost
    };

    void WriteSlot(uint64_t ticket, const BusFrame& frame);
    SlotState ReadSlot(uint64_t ticket, BusFrame& frame) const;
    bool PassOverUnfinished(uint64_t ticket, uint64_t head);
    bool IsPlausibleLead(uint64_t lead);
    uint64_t PublishedAmong(uint64_t from, uint64_t to, uint64_t head) const;
    bool SlotReady(uint64_t cursor, const std::atomic<bool>& stop) const;

    BusRingShared& m_ring;
    // Read and written only by the thread that calls ReadNext: the ticket it found claimed but
    // unpublished, since when, and the head then; the tickets below which a wait for an unfinished one
    // already ran out; when it last found no frame left to read.
    uint64_t m_unfinishedTicket = UINT64_MAX;
    uint64_t m_unfinishedSince = 0;
    uint64_t m_unfinishedHead = 0;
    uint64_t m_overdueBelow = 0;
    uint64_t m_caughtUpAt = 0;
    // Read and written only by the thread that calls WaitForFrame: how many of its sleeps in a row were
    // ended early by a wake-up that brought no frame for it.
    uint32_t m_wakeUpsForNothing = 0;
};
