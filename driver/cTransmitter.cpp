#include "cTransmitter.h"

#include <algorithm>
#include <chrono>

#include "BusPlatform.h"
#include "CanWireTime.h"
#include "FrameRules.h"

cTransmitter::cTransmitter(cBusRing& ring, BusWireShared (&wires)[kBusRateCount], cSentTickets& sent,
                           TransmitterLinks links)
    : m_ring(ring), m_wires(wires), m_sent(sent), m_links(std::move(links)), m_thread([this] { Run(); })
{}

cTransmitter::~cTransmitter()
{
    Stop();
}

void cTransmitter::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop.store(true);
    }
    m_sleeper.Interrupt();
    m_changed.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool cTransmitter::Enqueue(const BusFrame& frame, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return m_stop.load() || m_queue.size() < kTransmitQueueDepth; }) ||
        m_stop.load()) {
        return false;
    }
    m_queue.push_back(frame);
    m_changed.notify_all();
    return true;
}

uint64_t cTransmitter::Finish(uint32_t timeoutMs)
{
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return m_stop.load() || m_queue.empty(); });
    }
    Stop();
    // The thread has ended: nothing else touches the queue now.
    return m_queue.size() + m_abandoned;
}

WireWait cTransmitter::CurrentWireWait() const
{
    uint64_t since = m_waitSince.load();
    uint64_t head = m_ring.Head();
    if (since == 0) {
        return WireWait{};
    }
    uint64_t now = MonotonicNanoseconds();
    uint64_t headThen = m_headWhenWaitBegan.load();
    return WireWait{now > since ? now - since : 0, head > headThen ? head - headThen : 0};
}

void cTransmitter::Run()
{
    BlockAsynchronousSignals();
    PreferPreciseTimers();
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        // Waits no longer than the node record may go without a refresh, nor past a bus-off
        // controller's recovery: it restarts by itself with nothing to send too.
        m_changed.wait_for(lock, std::chrono::nanoseconds(IdleWait()),
                           [this] { return !m_queue.empty() || m_stop.load(); });
        if (m_stop.load()) {
            return;
        }
        if (m_queue.empty()) {
            lock.unlock();
            KeepAlive();
            RecoverWhenDue(MonotonicNanoseconds());
            lock.lock();
            continue;
        }
        BusFrame frame = m_queue.front();
        lock.unlock();
        bool sent = SendFront(frame);
        lock.lock();
        m_abandoned += sent ? 0 : 1;
        m_queue.pop_front();
        m_changed.notify_all();
    }
}

void cTransmitter::BidAheadForNextFrame(cBusWire& wire, uint32_t bitrate)
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_queue.size() < 2 || m_queue[1].bitrate != bitrate) {
        return;
    }
    BusFrame next = m_queue[1];
    lock.unlock();
    wire.BidForNextSlot(next);
}

bool cTransmitter::Unacknowledged(BusFrame& frame) const
{
    frame = m_unacknowledgedFrame;
    return m_unacknowledged.load();
}

void cTransmitter::KeepAlive()
{
    uint64_t now = MonotonicNanoseconds();
    if (now - m_keptAliveAt >= kKeepAliveNanoseconds / 2 && m_links.keepAlive) {
        m_keptAliveAt = now;
        m_links.keepAlive();
    }
}

bool cTransmitter::SendFront(const BusFrame& frame)
{
    uint32_t rate = BitrateIndex(frame.bitrate);
    if (rate >= kBusRateCount) {
        return true; // a controller never queues such a frame
    }
    cBusWire wire(m_wires[rate]);
    const uint64_t frameTime = CanWireNanoseconds(CanWireBits(frame), frame.bitrate);
    for (;;) {
        if (!WaitWhileBusOff()) {
            return false;
        }
        Attempts attempts = NextAttempts(frame);
        if (!attempts.error) {
            break;
        }
        const uint64_t each = frameTime + CanWireNanoseconds(kErrorFrameBits, frame.bitrate);
        uint64_t end = ReserveWire(wire, frame, each * attempts.count);
        if (end == 0) {
            return false;
        }
        PublishFailures(frame, *attempts.error, end, each, attempts.count);
    }
    BusFrame timed = frame;
    timed.endTime = ReserveWire(wire, frame, frameTime);
    if (timed.endTime == 0) {
        return false;
    }
    BidAheadForNextFrame(wire, frame.bitrate);
    m_unacknowledged.store(false);
    m_links.confinement.TransmitSucceeded(timed.endTime);
    m_sent.Publish(m_ring, timed);
    return true;
}

uint64_t cTransmitter::ReserveWire(cBusWire& wire, const BusFrame& frame, uint64_t wireTime)
{
    m_headWhenWaitBegan.store(m_ring.Head());
    m_waitSince.store(MonotonicNanoseconds());
    uint64_t end = wire.Reserve(frame, wireTime, m_stop, m_sleeper, [this] { KeepAlive(); });
    m_waitSince.store(0);
    return end;
}

cTransmitter::Attempts cTransmitter::NextAttempts(const BusFrame& frame)
{
    ControllerState state = m_links.confinement.State();
    if (auto fault = TakeInjectedFault(m_links.faults, frame, state, MonotonicNanoseconds())) {
        return Attempts{fault, 1};
    }
    if (!m_links.acknowledgedByOthersOnly || m_links.node.OthersAcknowledge(frame.bitrate)) {
        return Attempts{};
    }
    uint64_t each = CanWireNanoseconds(CanWireBits(frame) + kErrorFrameBits, frame.bitrate);
    return Attempts{BusErrorKind::Ack,
                    static_cast<uint32_t>(std::max<uint64_t>(1, kLoneSenderBatchNanoseconds / each))};
}

// The attempts take the wire back to back up to end; each is counted and published as it ends there.
void cTransmitter::PublishFailures(const BusFrame& frame, BusErrorKind kind, uint64_t end, uint64_t each,
                                   uint32_t count)
{
    m_unacknowledgedFrame = frame;
    BusFrame entry;
    entry.id = frame.id;
    entry.extended = frame.extended;
    entry.bitrate = frame.bitrate;
    entry.errorEntry = true;
    for (uint32_t attempt = 1; attempt <= count; ++attempt) {
        // Only a lone sender's batch has more than one attempt: each of the others may meet an injected
        // fault too, which comes before the acknowledgement slot.
        BusErrorKind met = attempt == 1
                               ? kind
                               : TakeInjectedFault(m_links.faults, frame, m_links.confinement.State(),
                                                   MonotonicNanoseconds())
                                     .value_or(BusErrorKind::Ack);
        m_unacknowledged.store(met == BusErrorKind::Ack);
        entry.errorKind = static_cast<uint8_t>(met);
        entry.endTime = end - (count - attempt) * each;
        m_links.confinement.TransmitFailed(met, entry.endTime);
        m_sent.Publish(m_ring, entry);
        if (m_links.confinement.State() == ControllerState::BusOff) {
            return;
        }
    }
}

// The moment a bus-off controller that restarts by itself does so; UINT64_MAX when it does not.
uint64_t cTransmitter::RecoveryTime() const
{
    if (!m_links.restartsByItself || m_links.confinement.State() != ControllerState::BusOff) {
        return UINT64_MAX;
    }
    return m_links.confinement.BusOffSince() + BusOffRecoveryNanoseconds(m_links.bitrate.load());
}

uint64_t cTransmitter::IdleWait() const
{
    uint64_t recovery = RecoveryTime();
    if (recovery == UINT64_MAX) {
        return kKeepAliveNanoseconds;
    }
    uint64_t now = MonotonicNanoseconds();
    return recovery > now ? std::min(recovery - now, kKeepAliveNanoseconds) : 0;
}

bool cTransmitter::RecoverWhenDue(uint64_t now)
{
    return now >= RecoveryTime() && m_links.confinement.Restart(now);
}

bool cTransmitter::WaitWhileBusOff()
{
    while (m_links.confinement.State() == ControllerState::BusOff) {
        if (m_stop.load()) {
            return false;
        }
        uint64_t now = MonotonicNanoseconds();
        if (RecoverWhenDue(now)) {
            continue;
        }
        KeepAlive();
        m_sleeper.WaitUntil(std::min(RecoveryTime(), now + kKeepAliveNanoseconds / 2), m_stop);
    }
    return !m_stop.load();
}
