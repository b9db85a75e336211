#include "cBusNode.h"

#include <algorithm>
#include <random>

#include "BusPlatform.h"

namespace {

// Never 0, which marks a free record; the process id keeps two processes' tokens apart, the random
// half two devices of one process.
uint64_t NewToken()
{
    std::random_device random;
    return uint64_t{CurrentProcessId()} << 32 | (random() | 1u);
}

// A refresh less than a lifetime ago; a time ahead of now is a member's garbage and counts as stale.
bool IsAlive(uint64_t aliveAt, uint64_t now)
{
    return aliveAt <= now && now - aliveAt < kBusNodeLifetimeNanoseconds;
}

void WriteStatus(BusNodeShared& node, const BusNodeStatus& status, uint64_t now)
{
    bool takesPart = status.state != ControllerState::BusOff;
    node.bitrate.store(status.bitrate, std::memory_order_relaxed);
    node.flags.store(takesPart ? kBusNodeAcknowledges : 0u, std::memory_order_relaxed);
    node.transmitErrors.store(status.counters.transmit, std::memory_order_relaxed);
    node.receiveErrors.store(status.counters.receive, std::memory_order_relaxed);
    node.state.store(static_cast<uint32_t>(status.state), std::memory_order_relaxed);
    node.aliveAt.store(now, std::memory_order_release);
}

} // namespace

cBusNode::cBusNode(BusNodeShared (&nodes)[kBusNodeCount]) : m_nodes(nodes), m_token(NewToken()) {}

cBusNode::~cBusNode()
{
    Release();
}

// A free record by its owner word; an abandoned one by its time, so that of two members reclaiming it
// at once only one wins, even while the dead owner's token is still in it.
bool cBusNode::TakeRecord(uint32_t index, uint64_t now)
{
    BusNodeShared& node = m_nodes[index];
    uint64_t owner = node.owner.load(std::memory_order_acquire);
    if (owner == 0) {
        return node.owner.compare_exchange_strong(owner, m_token, std::memory_order_acq_rel);
    }
    uint64_t aliveAt = node.aliveAt.load(std::memory_order_acquire);
    if (IsAlive(aliveAt, now) || !node.aliveAt.compare_exchange_strong(aliveAt, now)) {
        return false;
    }
    node.owner.store(m_token, std::memory_order_release);
    return true;
}

bool cBusNode::Claim(const BusNodeStatus& status)
{
    const uint64_t now = MonotonicNanoseconds();
    for (uint32_t index = 0; index < kBusNodeCount; ++index) {
        if (TakeRecord(index, now)) {
            WriteStatus(m_nodes[index], status, now);
            m_index.store(index);
            return true;
        }
    }
    m_index.store(kBusNodeCount);
    return false;
}

void cBusNode::Refresh(const BusNodeStatus& status)
{
    uint32_t index = m_index.load();
    if (index >= kBusNodeCount || m_nodes[index].owner.load(std::memory_order_acquire) != m_token) {
        Claim(status);
        return;
    }
    WriteStatus(m_nodes[index], status, MonotonicNanoseconds());
}

void cBusNode::Release()
{
    uint32_t index = m_index.exchange(kBusNodeCount);
    if (index < kBusNodeCount) {
        uint64_t mine = m_token;
        m_nodes[index].owner.compare_exchange_strong(mine, 0);
    }
}

bool cBusNode::IsOthersLiveRecord(const BusNodeShared& node, uint64_t now) const
{
    uint64_t owner = node.owner.load(std::memory_order_acquire);
    return owner != 0 && owner != m_token && IsAlive(node.aliveAt.load(std::memory_order_acquire), now);
}

bool cBusNode::OthersAcknowledge(uint32_t kbitPerSecond) const
{
    const uint64_t now = MonotonicNanoseconds();
    return std::any_of(std::begin(m_nodes), std::end(m_nodes), [&](const BusNodeShared& node) {
        return IsOthersLiveRecord(node, now) &&
               node.bitrate.load(std::memory_order_relaxed) == kbitPerSecond &&
               (node.flags.load(std::memory_order_relaxed) & kBusNodeAcknowledges) != 0;
    });
}

uint32_t cBusNode::OthersAt(uint32_t kbitPerSecond) const
{
    const uint64_t now = MonotonicNanoseconds();
    return static_cast<uint32_t>(
        std::count_if(std::begin(m_nodes), std::end(m_nodes), [&](const BusNodeShared& node) {
            return IsOthersLiveRecord(node, now) &&
                   node.bitrate.load(std::memory_order_relaxed) == kbitPerSecond;
        }));
}

std::vector<uint32_t> cBusNode::OtherRates() const
{
    const uint64_t now = MonotonicNanoseconds();
    std::vector<uint32_t> rates;
    for (const BusNodeShared& node : m_nodes) {
        if (IsOthersLiveRecord(node, now)) {
            rates.push_back(node.bitrate.load(std::memory_order_relaxed));
        }
    }
    std::sort(rates.begin(), rates.end());
    rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
    return rates;
}
