#include "cBusRing.h"

#include <chrono>
#include <thread>

#include "BusPlatform.h"
#include "FaultConfinement.h"
#include "FrameRules.h"

namespace {

// Long enough to catch the next frame of a burst without a system call, short enough that an idle
// receiver costs next to no processor time.
constexpr uint64_t kSpinNanoseconds = 50000;
constexpr int kSpinsBetweenClockReads = 64;
// A reader woken this many times in a row by wake-ups that bring it nothing pauses this long before it
// sleeps again: a member that wakes the bus every few microseconds then costs an idle reader some
// thousand wake-ups a second (15-25 µs each here), and a frame among them waits that long at most.
constexpr uint32_t kWakeUpsForNothingBeforePause = 8;
constexpr uint64_t kPauseAfterWakeUpsForNothing = 1000000;
// How long a reader waits for a claimed ticket before passing over it: far longer than any live writer
// needs for four stores, even one the scheduler preempts on a busy machine.
constexpr uint64_t kUnfinishedSlotNanoseconds = 50000000;
// More tickets than writers can claim (100 M frames/s; four senders at once publish about 11 M frames/s
// here, and every ticket costs a writer five stores besides its fetch-add): a head further ahead of a
// reader than a full ring plus one ticket per 10 ns since the reader last caught up has not been
// advanced by writers but overwritten, and the tickets in between are not counted as dropped.
constexpr uint64_t kNanosecondsPerPlausibleTicket = 10;
// A reader this close to the head keeps up: the moment counts as caught up for the lead's bound.
constexpr uint64_t kNearlyCaughtUp = 64;

constexpr uint32_t kExtendedBit = 1u << 0;
constexpr uint32_t kRemoteBit = 1u << 1;
constexpr uint32_t kErrorEntryBit = 1u << 2;
constexpr uint32_t kUnusedFormatBits = 0xF8u;
constexpr int kLengthShift = 8;
constexpr int kBitrateShift = 16;

uint64_t WritingSequence(uint64_t ticket)
{
    return 2 * ticket + 1;
}

uint64_t PublishedSequence(uint64_t ticket)
{
    return 2 * ticket + 2;
}

uint32_t PackFormat(const BusFrame& frame)
{
    return (frame.extended ? kExtendedBit : 0u) | (frame.remote ? kRemoteBit : 0u) |
           (frame.errorEntry ? kErrorEntryBit : 0u) | (static_cast<uint32_t>(frame.length) << kLengthShift) |
           (frame.bitrate << kBitrateShift);
}

// False for bits no writer of ours sets, and for a length byte over 8.
bool UnpackFormat(uint32_t format, BusFrame& frame)
{
    if ((format & kUnusedFormatBits) != 0 || ((format >> kLengthShift) & 0xFFu) > kCanMaxDataBytes) {
        return false;
    }
    frame.extended = (format & kExtendedBit) != 0;
    frame.remote = (format & kRemoteBit) != 0;
    frame.errorEntry = (format & kErrorEntryBit) != 0;
    frame.length = static_cast<uint8_t>(format >> kLengthShift);
    frame.bitrate = format >> kBitrateShift;
    return true;
}

// The frame rules a sender's controller applies (FrameRules.h), checked again on the receiving side.
bool IsWellFormed(const BusFrame& frame, uint32_t dataLow, uint32_t dataHigh)
{
    if (frame.id > (frame.extended ? kExtendedIdLimit : kStandardIdLimit)) {
        return false;
    }
    if (frame.errorEntry) {
        // A failed attempt: its kind in the data's first word, no length, no data, not remote.
        return !frame.remote && frame.length == 0 && dataHigh == 0 &&
               dataLow <= static_cast<uint32_t>(BusErrorKind::Ack);
    }
    if (frame.remote) {
        return dataLow == 0 && dataHigh == 0; // its length is the DLC it asks for, no data
    }
    uint64_t data = static_cast<uint64_t>(dataHigh) << 32 | dataLow;
    return frame.length == kCanMaxDataBytes || (data >> (8 * frame.length)) == 0; // no bytes past length
}

uint32_t PackBytes(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void UnpackBytes(uint32_t word, uint8_t* bytes)
{
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(word >> (8 * i));
    }
}

} // namespace

cBusRing::cBusRing(cBusSegment& segment) : m_ring(segment.Ring()), m_caughtUpAt(MonotonicNanoseconds()) {}

void cBusRing::Publish(const BusFrame& frame)
{
    FinishPublish(BeginPublish(frame));
}

uint64_t cBusRing::BeginPublish(const BusFrame& frame)
{
    uint64_t ticket = m_ring.head.fetch_add(1, std::memory_order_relaxed);
    WriteSlot(ticket, frame);
    return ticket;
}

void cBusRing::FinishPublish(uint64_t ticket)
{
    // seq_cst pairs with the sleeper's store to wakeFlag and load of this sequence: either it sees the
    // frame or we see its flag.
    m_ring.slots[ticket & kBusSlotMask].sequence.store(PublishedSequence(ticket), std::memory_order_seq_cst);
    if (m_ring.wakeFlag.load(std::memory_order_seq_cst) != 0 && m_ring.wakeFlag.exchange(0) != 0) {
        WakeSharedWordSleepers(m_ring.wakeFlag);
    }
}

// Release stores: a reader whose acquire load sees any of these words also sees the odd sequence
// before them, so its second look at the sequence tells it the slot changed.
void cBusRing::WriteSlot(uint64_t ticket, const BusFrame& frame)
{
    BusSlot& slot = m_ring.slots[ticket & kBusSlotMask];
    slot.sequence.store(WritingSequence(ticket), std::memory_order_relaxed);
    slot.id.store(frame.id, std::memory_order_release);
    slot.format.store(PackFormat(frame), std::memory_order_release);
    slot.dataLow.store(frame.errorEntry ? frame.errorKind : PackBytes(frame.data), std::memory_order_release);
    slot.dataHigh.store(PackBytes(frame.data + 4), std::memory_order_release);
    slot.endTimeLow.store(static_cast<uint32_t>(frame.endTime), std::memory_order_release);
    slot.endTimeHigh.store(static_cast<uint32_t>(frame.endTime >> 32), std::memory_order_release);
}

cBusRing::SlotState cBusRing::ReadSlot(uint64_t ticket, BusFrame& frame) const
{
    const BusSlot& slot = m_ring.slots[ticket & kBusSlotMask];
    uint64_t expected = PublishedSequence(ticket);
    uint64_t sequence = slot.sequence.load(std::memory_order_acquire);
    if (sequence != expected) {
        // Older: claimed, not yet published. Anything else: overwritten by a later round, or garbage.
        return sequence < expected ? SlotState::NotYet : SlotState::Lost;
    }
    frame.id = slot.id.load(std::memory_order_acquire);
    bool known = UnpackFormat(slot.format.load(std::memory_order_acquire), frame);
    uint32_t low = slot.dataLow.load(std::memory_order_acquire);
    uint32_t high = slot.dataHigh.load(std::memory_order_acquire);
    UnpackBytes(frame.errorEntry ? 0 : low, frame.data);
    UnpackBytes(high, frame.data + 4);
    frame.errorKind = frame.errorEntry ? static_cast<uint8_t>(low) : 0;
    uint64_t endLow = slot.endTimeLow.load(std::memory_order_acquire);
    frame.endTime = uint64_t{slot.endTimeHigh.load(std::memory_order_acquire)} << 32 | endLow;
    bool untorn = slot.sequence.load(std::memory_order_relaxed) == expected;
    return untorn && known && IsWellFormed(frame, low, high) ? SlotState::Frame : SlotState::Lost;
}

// True once ticket has stayed unpublished for kUnfinishedSlotNanoseconds. Every ticket below the head
// seen when that wait began was claimed at least as long ago, so those still unpublished are passed
// over at once rather than each after a wait of its own (a head moved ahead by another member leaves
// thousands of tickets that nobody claimed).
bool cBusRing::PassOverUnfinished(uint64_t ticket, uint64_t head)
{
    if (ticket < m_overdueBelow) {
        return true;
    }
    uint64_t now = MonotonicNanoseconds();
    if (ticket != m_unfinishedTicket) {
        if (m_unfinishedTicket != UINT64_MAX && ticket > m_unfinishedTicket && ticket < m_unfinishedHead) {
            // Skipped forward (a reader behind by more than its window) to a ticket claimed no later
            // than the one whose wait runs: that wait counts for it too, else every frame published
            // meanwhile, moving the window on, would start the wait again.
            m_unfinishedTicket = ticket;
            return false;
        }
        m_unfinishedTicket = ticket;
        m_unfinishedSince = now;
        m_unfinishedHead = head;
        return false;
    }
    if (now - m_unfinishedSince < kUnfinishedSlotNanoseconds) {
        return false;
    }
    m_overdueBelow = m_unfinishedHead;
    return true;
}

bool cBusRing::IsPlausibleLead(uint64_t lead)
{
    if (lead <= kBusSlotCount) {
        return true;
    }
    uint64_t behindFor = MonotonicNanoseconds() - m_caughtUpAt;
    return lead - kBusSlotCount <= behindFor / kNanosecondsPerPlausibleTicket;
}

// Tickets in [from, to) that a writer really published: their slot holds their frame or a later one
// below the head (read again for a slot ahead of it). A head moved ahead by another member skips
// tickets nobody claimed, and those are no frames lost. Only the last ring's worth can be looked at;
// older tickets count when all of those were published, as in a real flood, which the head's
// plausible lead already bounds.
uint64_t cBusRing::PublishedAmong(uint64_t from, uint64_t to, uint64_t head) const
{
    uint64_t lookFrom = to - from > kBusSlotCount ? to - kBusSlotCount : from;
    uint64_t published = 0;
    for (uint64_t ticket = lookFrom; ticket < to; ++ticket) {
        uint64_t sequence = m_ring.slots[ticket & kBusSlotMask].sequence.load(std::memory_order_acquire);
        if (sequence > PublishedSequence(head)) {
            // A writer lapped the ring while this reader counted (it was preempted): the slot holds a
            // later frame, which its writer claimed before writing.
            head = Head();
        }
        if (sequence >= WritingSequence(ticket) && sequence <= PublishedSequence(head)) {
            ++published;
        }
    }
    return published == to - lookFrom ? to - from : published;
}

bool cBusRing::ReadNext(uint64_t& cursor, uint32_t window, BusFrame& frame, uint64_t& dropped)
{
    if (window > kBusSlotCount) {
        window = kBusSlotCount;
    }
    for (;;) {
        uint64_t head = Head();
        if (head >= cursor && head - cursor <= kNearlyCaughtUp) {
            // Taken before a second look at the head, so that it is never later than a moment the
            // reader was (nearly) caught up; a thread preempted in between would otherwise judge
            // too tightly. On a timed bus frames are published ahead of their end on the wire, so a
            // reader keeping up is seldom exactly at the head.
            uint64_t now = MonotonicNanoseconds();
            head = Head();
            if (head >= cursor && head - cursor <= kNearlyCaughtUp) {
                m_caughtUpAt = now;
            }
            if (head == cursor) {
                return false;
            }
        }
        if (head < cursor || !IsPlausibleLead(head - cursor)) {
            ++dropped; // the head was overwritten: follow it, since writers now count from there
            cursor = head;
            m_overdueBelow = 0;
            return false;
        }
        if (head - cursor > window) {
            dropped += PublishedAmong(cursor, head - window, head);
            cursor = head - window;
        }
        SlotState state = ReadSlot(cursor, frame);
        if (state == SlotState::NotYet) {
            if (!PassOverUnfinished(cursor, head)) {
                return false;
            }
            ++cursor; // its writer died or stopped halfway: the frame was never sent
            continue;
        }
        ++cursor;
        if (state == SlotState::Frame) {
            return true;
        }
        ++dropped; // a writer lapped us while we copied it, or it holds no valid frame
    }
}

bool cBusRing::SlotReady(uint64_t cursor, const std::atomic<bool>& stop) const
{
    uint64_t sequence = m_ring.slots[cursor & kBusSlotMask].sequence.load(std::memory_order_seq_cst);
    return sequence >= PublishedSequence(cursor) || m_ring.head.load(std::memory_order_relaxed) < cursor ||
           stop.load(std::memory_order_seq_cst);
}

void cBusRing::WaitForFrame(uint64_t cursor, const std::atomic<bool>& stop, uint32_t timeoutMs, bool spin)
{
    if (m_wakeUpsForNothing >= kWakeUpsForNothingBeforePause) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(kPauseAfterWakeUpsForNothing));
        m_wakeUpsForNothing = 0;
    }
    uint64_t spinUntil = spin && m_wakeUpsForNothing == 0 ? MonotonicNanoseconds() + kSpinNanoseconds : 0;
    do {
        for (int i = 0; i < kSpinsBetweenClockReads; ++i) {
            if (SlotReady(cursor, stop)) {
                m_wakeUpsForNothing = 0;
                return;
            }
            PauseWhileSpinning();
        }
    } while (MonotonicNanoseconds() < spinUntil);
    m_ring.wakeFlag.store(1, std::memory_order_seq_cst);
    if (SlotReady(cursor, stop)) {
        m_wakeUpsForNothing = 0;
        return;
    }
    uint64_t sleptAt = MonotonicNanoseconds();
    SleepOnSharedWord(m_ring.wakeFlag, 1, timeoutMs);
    if (SlotReady(cursor, stop)) {
        m_wakeUpsForNothing = 0;
    } else if (MonotonicNanoseconds() - sleptAt < kPauseAfterWakeUpsForNothing) {
        ++m_wakeUpsForNothing; // not the timeout, which comes rarely
    }
}

void cBusRing::WakeWaiters()
{
    m_ring.wakeFlag.store(0, std::memory_order_seq_cst);
    WakeSharedWordSleepers(m_ring.wakeFlag);
}
