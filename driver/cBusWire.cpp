#include "cBusWire.h"

#include <algorithm>

#include "BusPlatform.h"
#include "CanWireTime.h"

namespace {

constexpr uint32_t kLongestFrameBits = 160; // extended, 8 bytes, stuffed as much as possible
// A loser looks whether the winner took the slot this soon after the slot's lead (an honest winner
// takes it within its own wake-up, some tens of microseconds), then twice as late each time up to the
// longest pause: a winner that never takes the slot then costs 2,000 wake-ups a second at most.
constexpr uint64_t kFirstLookNanoseconds = 20000;
constexpr uint64_t kLongestLookNanoseconds = 500000;
// A member that rewrites the bid word without pause must not keep a bidder in its loop for good.
constexpr int kBidAttempts = 64;

// The tag is never 0, so that the zeroed bid word of a new segment bids for no slot.
uint64_t BidWord(uint64_t round, uint32_t key)
{
    return ((round & 0xFFFFFFFFu) | 1u) << 32 | key;
}

uint32_t RoundTag(uint64_t bid)
{
    return static_cast<uint32_t>(bid >> 32);
}

uint32_t BidKey(uint64_t bid)
{
    return static_cast<uint32_t>(bid);
}

} // namespace

uint32_t ArbitrationKey(const BusFrame& frame)
{
    const uint32_t rtr = frame.remote ? 1u : 0u;
    if (!frame.extended) {
        return (frame.id & 0x7FFu) << 21 | rtr << 20;
    }
    return ((frame.id >> 18) & 0x7FFu) << 21 | 1u << 20 | 1u << 19 | (frame.id & 0x3FFFFu) << 1 | rtr;
}

uint64_t PlausibleLeadNanoseconds(uint32_t kbitPerSecond)
{
    return 2 * (kReserveLeadNanoseconds + CanWireNanoseconds(kLongestFrameBits, kbitPerSecond));
}

uint64_t cBusWire::Reserve(const BusFrame& frame, const std::atomic<bool>& stop, cPreciseSleeper& sleeper)
{
    return Reserve(frame, CanWireNanoseconds(CanWireBits(frame), frame.bitrate), stop, sleeper, {});
}

uint64_t cBusWire::Reserve(const BusFrame& frame, uint64_t wireTime, const std::atomic<bool>& stop,
                           cPreciseSleeper& sleeper, const std::function<void()>& whileWaiting)
{
    const uint32_t key = ArbitrationKey(frame);
    const uint64_t plausibleLead = PlausibleLeadNanoseconds(frame.bitrate);
    uint64_t watchedRound = 0;
    uint64_t giveUpAt = 0; // when the losers of watchedRound stop waiting for its winner
    bool watching = false;
    uint64_t nextLook = kFirstLookNanoseconds;
    while (!stop.load(std::memory_order_relaxed)) {
        const uint64_t now = MonotonicNanoseconds();
        uint64_t round = m_shared.busyUntil.load(std::memory_order_acquire);
        const uint64_t start = round > now + plausibleLead ? now : std::max(round, now);
        if (!watching || round != watchedRound) {
            watching = true;
            watchedRound = round;
            giveUpAt = start + kArbitrationGraceNanoseconds;
        }
        Bid(round, key);
        if (whileWaiting) {
            whileWaiting();
        }
        if (start > now + kReserveLeadNanoseconds) {
            sleeper.WaitUntil(start - kReserveLeadNanoseconds, stop);
            continue;
        }
        if (!HoldsLowestBid(round, key) && now < giveUpAt) {
            // The winner takes the slot any moment now, unless it holds the wire without sending.
            sleeper.WaitUntil(std::min(now + nextLook, giveUpAt), stop);
            nextLook = std::min(2 * nextLook, kLongestLookNanoseconds);
            continue;
        }
        if (m_shared.busyUntil.compare_exchange_strong(round, start + wireTime, std::memory_order_acq_rel)) {
            return start + wireTime;
        }
    }
    return 0;
}

void cBusWire::BidForNextSlot(const BusFrame& frame)
{
    Bid(m_shared.busyUntil.load(std::memory_order_acquire), ArbitrationKey(frame));
}

void cBusWire::Bid(uint64_t round, uint32_t key)
{
    const uint64_t mine = BidWord(round, key);
    uint64_t seen = m_shared.bid.load(std::memory_order_acquire);
    for (int attempt = 0; attempt < kBidAttempts; ++attempt) {
        if (RoundTag(seen) == RoundTag(mine) && BidKey(seen) <= key) {
            return; // a lower or equal key already bids for this slot
        }
        if (m_shared.bid.compare_exchange_weak(seen, mine, std::memory_order_acq_rel)) {
            return;
        }
    }
}

bool cBusWire::HoldsLowestBid(uint64_t round, uint32_t key) const
{
    return m_shared.bid.load(std::memory_order_acquire) == BidWord(round, key);
}
