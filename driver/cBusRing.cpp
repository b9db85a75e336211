#include "cBusRing.h"

#include "BusPlatform.h"

namespace {

// Long enough to catch the next frame of a burst without a system call, short enough that an idle
// receiver costs next to no processor time.
constexpr uint64_t kSpinNanoseconds = 50000;
constexpr int kSpinsBetweenClockReads = 64;

constexpr uint32_t kExtendedBit = 1u << 0;
constexpr uint32_t kRemoteBit = 1u << 1;
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
           (static_cast<uint32_t>(frame.length) << kLengthShift) | (frame.bitrate << kBitrateShift);
}

void UnpackFormat(uint32_t format, BusFrame& frame)
{
    frame.extended = (format & kExtendedBit) != 0;
    frame.remote = (format & kRemoteBit) != 0;
    frame.length = static_cast<uint8_t>(format >> kLengthShift);
    frame.bitrate = format >> kBitrateShift;
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

bool cBusRing::Publish(const BusFrame& frame)
{
    uint64_t ticket = 0;
    if (!BeginPublish(frame, ticket)) {
        return false;
    }
    FinishPublish(ticket);
    return true;
}

bool cBusRing::BeginPublish(const BusFrame& frame, uint64_t& ticket)
{
    if (!m_segment.LockWriters()) {
        return false;
    }
    ticket = m_ring.head.load(std::memory_order_relaxed);
    WriteSlot(ticket, frame);
    return true;
}

void cBusRing::FinishPublish(uint64_t ticket)
{
    m_ring.slots[ticket & kBusSlotMask].sequence.store(PublishedSequence(ticket), std::memory_order_release);
    // seq_cst pairs with the sleeper's store to wakeFlag and load of head: either it sees this ticket
    // or we see its flag.
    m_ring.head.store(ticket + 1, std::memory_order_seq_cst);
    m_segment.UnlockWriters();
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
    slot.dataLow.store(PackBytes(frame.data), std::memory_order_release);
    slot.dataHigh.store(PackBytes(frame.data + 4), std::memory_order_release);
}

bool cBusRing::ReadSlot(uint64_t ticket, BusFrame& frame) const
{
    const BusSlot& slot = m_ring.slots[ticket & kBusSlotMask];
    uint64_t expected = PublishedSequence(ticket);
    if (slot.sequence.load(std::memory_order_acquire) != expected) {
        return false;
    }
    frame.id = slot.id.load(std::memory_order_acquire);
    UnpackFormat(slot.format.load(std::memory_order_acquire), frame);
    UnpackBytes(slot.dataLow.load(std::memory_order_acquire), frame.data);
    UnpackBytes(slot.dataHigh.load(std::memory_order_acquire), frame.data + 4);
    return slot.sequence.load(std::memory_order_relaxed) == expected;
}

bool cBusRing::ReadNext(uint64_t& cursor, uint32_t window, BusFrame& frame, uint64_t& dropped)
{
    if (window > kBusSlotCount) {
        window = kBusSlotCount;
    }
    for (;;) {
        uint64_t head = Head();
        if (cursor >= head) {
            cursor = head;
            return false;
        }
        if (head - cursor > window) {
            dropped += head - window - cursor;
            cursor = head - window;
        }
        bool untorn = ReadSlot(cursor, frame);
        ++cursor;
        if (untorn) {
            return true;
        }
        ++dropped; // a writer lapped us while we copied it
    }
}

bool cBusRing::FrameAfter(uint64_t cursor, const std::atomic<bool>& stop) const
{
    return m_ring.head.load(std::memory_order_seq_cst) != cursor || stop.load(std::memory_order_seq_cst);
}

void cBusRing::WaitForFrame(uint64_t cursor, const std::atomic<bool>& stop, uint32_t timeoutMs)
{
    uint64_t spinUntil = MonotonicNanoseconds() + kSpinNanoseconds;
    do {
        for (int i = 0; i < kSpinsBetweenClockReads; ++i) {
            if (FrameAfter(cursor, stop)) {
                return;
            }
            PauseWhileSpinning();
        }
    } while (MonotonicNanoseconds() < spinUntil);
    m_ring.wakeFlag.store(1, std::memory_order_seq_cst);
    if (FrameAfter(cursor, stop)) {
        return;
    }
    SleepOnSharedWord(m_ring.wakeFlag, 1, timeoutMs);
}

void cBusRing::WakeWaiters()
{
    m_ring.wakeFlag.store(0, std::memory_order_seq_cst);
    WakeSharedWordSleepers(m_ring.wakeFlag);
}
