#include "cDevice.h"

#include "BusPlatform.h"
#include "CanWireTime.h"
#include "cBusWire.h"

#include <algorithm>
#include <cstdio>
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
// The shortest frame: standard, no data, no stuff bits (CanWireTime.h).
constexpr uint32_t kShortestFrameBits = 47;

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
        why = "the transmit queue stayed full for " + std::to_string(waitMs) + " ms: " + HeldWireReason();
        return false;
    }
    return true;
}

// Names what kept the wire: frames that won arbitration, or a member holding it with none.
std::string cDevice::HeldWireReason() const
{
    WireWait wait = m_transmitter->CurrentWireWait();
    char seconds[32];
    snprintf(seconds, sizeof(seconds), "%.1f s", static_cast<double>(wait.nanoseconds) / 1e9);
    if (wait.framesMeanwhile == 0) {
        return std::string("the wire was held for ") + seconds + " with no frame on it";
    }
    return "the bus was kept busy by " + std::to_string(wait.framesMeanwhile) +
           " frames that won arbitration in " + seconds;
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
    m_depth = depth;
    m_pacer.Forget();
}

// Time rather than frames on a timed bus, so that a stall of the receiving process costs the same at
// every rate: 250 for the console holds 250 ms, 5,319 frames at 1000 kbit/s. The ring's slots are
// there anyway; half of them keeps a reader clear of the writers lapping it.
uint32_t cDevice::ReceiveWindow() const
{
    if (!m_transmitter) {
        return std::min(m_depth, kBusSlotCount);
    }
    double framesPerMillisecond = CanMaxFramesPerSecond(kShortestFrameBits, m_bitrate.load()) / 1000.0;
    double frames = std::max(static_cast<double>(m_depth), m_depth * framesPerMillisecond);
    return static_cast<uint32_t>(std::min(frames, static_cast<double>(kBusSlotCount / 2)));
}

void cDevice::WakeReceiveThread()
{
    m_deliverySleeper.Interrupt();
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
        bool received = m_ring->ReadNext(m_cursor, ReceiveWindow(), frame, dropped);
        if (dropped != 0) {
            m_dropped.fetch_add(dropped);
        }
        if (received) {
            DeliverFrame(frame, m_sent.IsOwn(m_cursor - 1)); // ReadNext has moved past it
        } else {
            // Timed, frames are published ahead of their ends: no need to catch the next one by a spin.
            m_ring->WaitForFrame(m_cursor, m_stopThread, kIdleWakeMs, !m_transmitter);
        }
    }
}

void cDevice::DeliverFrame(const BusFrame& frame, bool own)
{
    if (frame.bitrate != m_bitrate.load(std::memory_order_relaxed)) {
        return; // sent at another rate: on a real bus, noise
    }
    Deliver(MessageFromFrame(frame, WaitForHandOver(frame), own));
}

uint32_t cDevice::WaitForHandOver(const BusFrame& frame)
{
    if (!m_transmitter || frame.endTime == 0) {
        return MillisecondTicks();
    }
    const uint64_t now = MonotonicNanoseconds();
    if (frame.endTime > now + PlausibleLeadNanoseconds(frame.bitrate)) {
        return static_cast<uint32_t>(now / 1000000u); // a faulty member's time: taken as ending now
    }
    const uint64_t start = frame.endTime - CanWireNanoseconds(CanWireBits(frame), frame.bitrate);
    const uint64_t handOver = m_pacer.HandOverTime(start, frame.endTime, now);
    if (handOver > now) {
        m_deliverySleeper.WaitUntil(handOver, m_stopThread);
    }
    return static_cast<uint32_t>(frame.endTime / 1000000u); // MillisecondTicks counts the same clock's ms
}
