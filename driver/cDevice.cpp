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

// A switch read at open: empty or its default value leave it off, its other value turns it on, anything
// else is a mistake worth an error naming both values.
struct EnvironmentSwitch
{
    const char* variable;
    const char* on;
    const char* onMeaning;
    const char* off;
    const char* offMeaning;
};

// Acknowledgement only by another live node at the frame's rate, or by the bus itself.
constexpr EnvironmentSwitch kBusAck{"RVCAN32CE_BUS_ACK", "wire",
                                    "a frame is acknowledged only by another node at its rate", "always",
                                    "every frame is"};
// A bus-off controller restarts by itself, or waits for CanReset.
constexpr EnvironmentSwitch kBusRestart{"RVCAN32CE_BUS_RESTART", "auto",
                                        "a bus-off controller restarts after 128 x 11 bit times", "manual",
                                        "CanReset restarts it"};

bool ReadSwitch(const EnvironmentSwitch& setting, bool& on, std::string& error)
{
    const char* value = getenv(setting.variable);
    on = value != nullptr && strcmp(value, setting.on) == 0;
    if (value == nullptr || *value == 0 || on || strcmp(value, setting.off) == 0) {
        return true;
    }
    error = std::string(setting.variable) + "=" + value + ": must be " + setting.on + " (" +
            setting.onMeaning + ") or " + setting.off + " (" + setting.offMeaning + ", the default)";
    return false;
}

// The frame as cansend writes it, for the operator: 123#1122, 12345678#, 123#R4.
std::string FrameText(const BusFrame& frame)
{
    char text[48];
    int length = snprintf(text, sizeof(text), frame.extended ? "%08X#" : "%03X#", frame.id);
    if (frame.remote) {
        snprintf(text + length, sizeof(text) - length, "R%u", frame.length);
        return text;
    }
    for (uint32_t i = 0; i < frame.length && i < kCanMaxDataBytes; ++i) {
        length += snprintf(text + length, sizeof(text) - length, "%02X", frame.data[i]);
    }
    return text;
}

// " (others are at 250, 500 kbit/s)", or nothing when nobody else is on the bus.
std::string OthersAtOtherRates(const cBusNode& node, uint32_t kbitPerSecond)
{
    std::string rates;
    for (uint32_t rate : node.OtherRates()) {
        if (rate != kbitPerSecond) {
            rates += (rates.empty() ? "" : ", ") + std::to_string(rate);
        }
    }
    return rates.empty() ? "" : " (others are at " + rates + " kbit/s)";
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
    bool acknowledgedByOthersOnly = false;
    bool restartsByItself = false;
    if (!ReadBusTiming(timed, error) || !ReadSwitch(kBusAck, acknowledgedByOthersOnly, error) ||
        !ReadSwitch(kBusRestart, restartsByItself, error)) {
        return false;
    }
    if (!m_segment.Attach(bus)) {
        error = m_segment.LastError();
        return false;
    }
    m_bus = bus;
    m_ring = std::make_unique<cBusRing>(m_segment);
    m_confinement = std::make_unique<cErrorConfinement>(bus, [this](ControllerState) { OnStateChange(); });
    if (timed) {
        BusRingShared& shared = m_segment.Ring();
        m_node = std::make_unique<cBusNode>(shared.nodes);
        m_node->Claim(NodeStatus());
        TransmitterLinks links{*m_confinement,
                               *m_node,
                               shared.faults,
                               acknowledgedByOthersOnly,
                               restartsByItself,
                               m_bitrate,
                               [this] { m_node->Refresh(NodeStatus()); }};
        m_transmitter = std::make_unique<cTransmitter>(*m_ring, shared.wires, m_sent, std::move(links));
    }
    return true;
}

// "nobody else at 125 kbit/s is on CAN1: (others are at 500 kbit/s)"
std::string cDevice::NobodyElseAt(uint32_t kbitPerSecond) const
{
    return "nobody else at " + std::to_string(kbitPerSecond) + " kbit/s is on CAN" + std::to_string(m_bus) +
           ":" + OthersAtOtherRates(*m_node, kbitPerSecond);
}

BusNodeStatus cDevice::NodeStatus() const
{
    return BusNodeStatus{m_bitrate.load(), m_confinement->State(), m_confinement->Counters()};
}

// Any thread. The others learn of it from the node table; the receive thread, which may sleep on the
// ring, must hand over a restart's frame now.
void cDevice::OnStateChange()
{
    if (m_node) {
        m_node->Refresh(NodeStatus());
    }
    m_ring->WakeWaiters();
}

bool cDevice::SetBitrate(uint32_t kbitPerSecond, std::string& why)
{
    if (!IsSupportedBitrate(kbitPerSecond)) {
        why = std::to_string(kbitPerSecond) + " kbit/s is not one of " + kSupportedBitratesText;
        return false;
    }
    m_bitrate.store(kbitPerSecond);
    if (m_node) {
        m_node->Refresh(NodeStatus());
    }
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

// Names what kept the wire: frames that won arbitration, or a member holding it with none; or why the
// controller itself does not send.
std::string cDevice::HeldWireReason() const
{
    if (m_confinement->State() == ControllerState::BusOff) {
        return "the controller is bus-off (CanReset restarts it)";
    }
    if (m_transmitter->FrontUnacknowledged()) {
        return "no node acknowledged the frame in front: " + NobodyElseAt(m_bitrate.load());
    }
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
        BusFrame front;
        if (m_unsentAtClose.load() > 0 && m_transmitter->Unacknowledged(front)) {
            m_unsentReason = "no node acknowledged " + FrameText(front) + ": " + NobodyElseAt(front.bitrate);
        }
    }
    if (m_node) {
        m_node->Release();
    }
    cReceivingDevice::Close();
}

DeviceBusState cDevice::BusState() const
{
    ErrorCounters counters = m_confinement->Counters();
    return DeviceBusState{static_cast<uint32_t>(StateOf(counters)), counters.transmit, counters.receive};
}

bool cDevice::OtherNodes(uint32_t& atItsRate, std::vector<uint32_t>& otherRates) const
{
    if (!m_node) {
        return false;
    }
    uint32_t rate = m_bitrate.load();
    atItsRate = m_node->OthersAt(rate);
    otherRates = m_node->OtherRates();
    otherRates.erase(std::remove(otherRates.begin(), otherRates.end(), rate), otherRates.end());
    return true;
}

bool cDevice::RestartController(std::string&)
{
    if (m_confinement->Restart(MonotonicNanoseconds()) && m_transmitter) {
        m_transmitter->Wake();
    }
    return true;
}

void cDevice::PrepareReception(uint32_t depth, bool)
{
    m_cursor = m_ring->Head();
    m_depth = depth;
    m_pacer.Forget();
    m_confinement->ForgetOwed();
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
    m_errorFrames.store(0);
}

DeviceCounters cDevice::Counters() const
{
    return DeviceCounters{m_received.load(), m_dropped.load(), m_errorFrames.load()};
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
        if (!received) {
            DeliverOwed(MonotonicNanoseconds());
            // Timed, frames are published ahead of their ends: no need to catch the next one by a spin.
            m_ring->WaitForFrame(m_cursor, m_stopThread, kIdleWakeMs, !m_transmitter);
            continue;
        }
        bool own = m_sent.IsOwn(m_cursor - 1); // ReadNext has moved past it
        if (m_confinement->State() == ControllerState::BusOff) {
            DeliverOwed(MonotonicNanoseconds()); // its own frames still come, however busy the bus
            continue;                            // but it hears nothing
        }
        if (frame.errorEntry) {
            if (m_transmitter) { // an untimed device is in no node table: errors are not its business
                DeliverErrorEntry(frame, own);
            }
        } else {
            DeliverFrame(frame, own);
        }
    }
}

void cDevice::DeliverFrame(const BusFrame& frame, bool own)
{
    if (frame.bitrate != m_bitrate.load(std::memory_order_relaxed)) {
        return; // sent at another rate: on a real bus, noise
    }
    uint32_t stamp = WaitForHandOver(frame);
    if (!own) {
        m_confinement->ReceiveSucceeded(frame.endTime); // counted before the function sees the frame
    }
    Deliver(MessageFromFrame(frame, stamp, own));
    if (m_confinement->Owes()) { // not on an error-free bus: no clock read per frame
        DeliverOwed(frame.endTime != 0 ? frame.endTime : MonotonicNanoseconds());
    }
}

// The sender's own error frames are owed by its transmit thread, each due at its entry's end.
void cDevice::DeliverErrorEntry(const BusFrame& entry, bool own)
{
    if (!own && entry.bitrate != m_bitrate.load(std::memory_order_relaxed)) {
        return;
    }
    WaitForHandOver(entry);
    uint64_t end = entry.endTime != 0 ? entry.endTime : MonotonicNanoseconds();
    if (!own) {
        m_confinement->ReceiveFailed(static_cast<BusErrorKind>(entry.errorKind), end);
    }
    DeliverOwed(end);
}

void cDevice::DeliverOwed(uint64_t until)
{
    CanMessageDescriptor message;
    while (m_confinement->Owes() && m_confinement->TakeDue(until, message)) {
        m_errorFrames.fetch_add(1);
        DeliverError(message);
    }
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
