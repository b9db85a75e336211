#include "cDevice.h"

#include "BusPlatform.h"

#include <algorithm>

namespace {

// A sleeping receive thread looks at its stop flag at least this often, even if a wake-up were lost.
constexpr uint32_t kIdleWakeMs = 100;

} // namespace

cDevice::~cDevice()
{
    EndReceiveThreadForGood();
}

bool cDevice::Attach(uint32_t bus, std::string& error)
{
    if (!m_segment.Attach(bus)) {
        error = m_segment.LastError();
        return false;
    }
    m_ring = std::make_unique<cBusRing>(m_segment);
    return true;
}

bool cDevice::SetBitrate(uint32_t kbitPerSecond, std::string& why)
{
    if (!IsSupportedBitrate(kbitPerSecond)) {
        why = std::to_string(kbitPerSecond) + " kbit/s is not one of " + kSupportedBitratesText;
        return false;
    }
    m_bitrate.store(kbitPerSecond);
    return true;
}

bool cDevice::Transmit(const CanMessageDescriptor& message, std::string& why)
{
    BusFrame frame;
    if (!FrameFromMessage(message, m_bitrate.load(), frame)) {
        why = "extended and remote must be 0 or 1, the id must fit its format, and a data frame has at "
              "most 8 bytes";
        return false;
    }
    m_ring->Publish(frame);
    return true;
}

void cDevice::PrepareReception(uint32_t depth, bool)
{
    m_cursor = m_ring->Head();
    m_window = std::min(depth, kBusSlotCount);
}

void cDevice::WakeReceiveThread()
{
    if (m_ring) {
        m_ring->WakeWaiters();
    }
}

void cDevice::ResetCounters()
{
    m_received.store(0);
    m_dropped.store(0);
}

DeviceCounters cDevice::Counters() const
{
    return DeviceCounters{m_received.load(), m_dropped.load(), 0};
}

void cDevice::ReceiveLoop()
{
    BusFrame frame;
    while (!m_stopThread.load()) {
        uint64_t dropped = 0;
        bool received = m_ring->ReadNext(m_cursor, m_window, frame, dropped);
        if (dropped != 0) {
            m_dropped.fetch_add(dropped);
        }
        if (received) {
            DeliverFrame(frame);
        } else {
            m_ring->WaitForFrame(m_cursor, m_stopThread, kIdleWakeMs);
        }
    }
}

void cDevice::DeliverFrame(const BusFrame& frame)
{
    if (frame.bitrate != m_bitrate.load(std::memory_order_relaxed)) {
        return; // sent at another rate: on a real bus, noise
    }
    Deliver(MessageFromFrame(frame, MillisecondTicks()));
}
