#include "cTransmitter.h"

#include <chrono>

#include "BusPlatform.h"
#include "FrameRules.h"

cTransmitter::cTransmitter(cBusRing& ring, BusWireShared (&wires)[kBusRateCount], cSentTickets& sent)
    : m_ring(ring), m_wires(wires), m_sent(sent), m_thread([this] { Run(); })
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
        m_changed.wait(lock, [this] { return !m_queue.empty() || m_stop.load(); });
        if (m_stop.load()) {
            return;
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

bool cTransmitter::SendFront(const BusFrame& frame)
{
    uint32_t rate = BitrateIndex(frame.bitrate);
    if (rate >= kBusRateCount) {
        return true; // a controller never queues such a frame
    }
    cBusWire wire(m_wires[rate]);
    BusFrame timed = frame;
    m_headWhenWaitBegan.store(m_ring.Head());
    m_waitSince.store(MonotonicNanoseconds());
    timed.endTime = wire.Reserve(frame, m_stop, m_sleeper);
    m_waitSince.store(0);
    if (timed.endTime == 0) {
        return false;
    }
    BidAheadForNextFrame(wire, frame.bitrate);
    m_sent.Publish(m_ring, timed);
    return true;
}
