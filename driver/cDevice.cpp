#include "cDevice.h"

#include "BusPlatform.h"
#include "cBusWire.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// A sleeping receive thread looks at its stop flag at least this often, even if a wake-up were lost.
constexpr uint32_t kIdleWakeMs = 100;
// How long a transmit call waits for room in a full queue before it refuses: the queue moves by a frame
// every 16 ms at worst (10 kbit/s), so only a bus that others keep busy for that long refuses.
constexpr uint32_t kTransmitWaitMs = 500;
// How long Close gives queued frames to go out: a full queue takes about 0.5 s at 10 kbit/s.
constexpr uint32_t kCloseDrainMs = 1000;
// A receiver spins through the last stretch before a frame's end: sleeping would wake it late.
constexpr uint64_t kDeliverySpinNanoseconds = 100000;

// Empty, "wire" or "none"; anything else is a mistake worth an error at open.
bool ReadBusTiming(bool& timed, std::string& error)
{
    const char* setting = getenv("RVCAN32CE_BUS_TIMING");
    if (setting == nullptr || *setting == 0 || strcmp(setting, "wire") == 0) {
        timed = true;
        return true;
    }
    if (strcmp(setting, "none") == 0) {
        timed = false;
        return true;
    }
    error = std::string("RVCAN32CE_BUS_TIMING=") + setting +
            ": must be wire (frames take their time on the bus, the default) or none (they take none)";
    return false;
}

} // namespace

cDevice::~cDevice()
{
    EndReceiveThreadForGood();
    m_transmitter.reset();
}

bool cDevice::Attach(uint32_t bus, std::string& error)
{
    bool timed = true;
    if (!ReadBusTiming(timed, error)) {
        return false;
    }
    if (!m_segment.Attach(bus)) {
        error = m_segment.LastError();
        return false;
    }
    m_ring = std::make_unique<cBusRing>(m_segment);
    if (timed) {
        m_transmitter = std::make_unique<cTransmitter>(*m_ring, m_segment.Ring().wires, m_sent);
    }
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

uint32_t cDevice::DefaultTransmitWaitMs() const
{
    return kTransmitWaitMs;
}

bool cDevice::Transmit(const CanMessageDescriptor& message, uint32_t waitMs, std::string& why)
{
    BusFrame frame;
    if (!FrameFromMessage(message, m_bitrate.load(), frame)) {
        why = "extended and remote must be 0 or 1, the id must fit its format, and a data frame has at "
              "most 8 bytes";
        return false;
    }
    if (!m_transmitter) {
        m_sent.Publish(*m_ring, frame);
        return true;
    }
    if (!m_transmitter->Enqueue(frame, waitMs)) {
        why = "the transmit queue stayed full for " + std::to_string(waitMs) +
              " ms: the bus is kept busy by frames that win arbitration";
        return false;
    }
    return true;
}

void cDevice::Close()
{
    if (m_transmitter) {
        m_unsentAtClose.store(m_transmitter->Finish(kCloseDrainMs));
    }
    cReceivingDevice::Close();
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
            DeliverFrame(frame, m_sent.IsOwn(m_cursor - 1)); // ReadNext has moved past it
        } else {
            m_ring->WaitForFrame(m_cursor, m_stopThread, kIdleWakeMs);
        }
    }
}

void cDevice::DeliverFrame(const BusFrame& frame, bool own)
{
    if (frame.bitrate != m_bitrate.load(std::memory_order_relaxed)) {
        return; // sent at another rate: on a real bus, noise
    }
    Deliver(MessageFromFrame(frame, WaitForEndOfFrame(frame), own));
}

uint32_t cDevice::WaitForEndOfFrame(const BusFrame& frame)
{
    if (!m_transmitter || frame.endTime == 0) {
        return MillisecondTicks();
    }
    const uint64_t latest = MonotonicNanoseconds() + PlausibleLeadNanoseconds(frame.bitrate);
    const uint64_t end = std::min(frame.endTime, latest);
    WaitUntilNanoseconds(end, m_stopThread, kDeliverySpinNanoseconds);
    return static_cast<uint32_t>(end / 1000000u); // MillisecondTicks counts the same clock's milliseconds
}
