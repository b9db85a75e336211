#include "cDevice.h"

#include "BusPlatform.h"

#include <algorithm>

namespace {

// A sleeping receive thread looks at its stop flag at least this often, even if a wake-up were lost.
constexpr uint32_t kIdleWakeMs = 100;

// The device whose receive function this thread is running, so that calls from inside the function
// can tell that they must not wait for it. Each thread touches only its own copy.
thread_local const cDevice* t_deliveringDevice = nullptr;

} // namespace

cDevice::~cDevice()
{
    m_stopThread.store(true);
    if (m_ring) {
        m_ring->WakeWaiters();
    }
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id()) {
            m_thread.detach(); // closed from inside its function: this is the thread's last act
        } else {
            m_thread.join();
        }
    }
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
    if (!FrameFromMessage(message, m_bitrate.load(), frame) || !m_ring->Publish(frame)) {
        why = "extended and remote must be 0 or 1, the id must fit its format, a data frame has at most "
              "8 bytes, and the bus must not be held by a stopped member";
        return false;
    }
    return true;
}

void cDevice::SetAcceptanceFilter(uint32_t code, uint32_t mask)
{
    std::lock_guard<std::mutex> lock(m_state);
    m_filterCode = code;
    m_filterMask = mask;
}

void cDevice::GetAcceptanceFilter(uint32_t& code, uint32_t& mask) const
{
    std::lock_guard<std::mutex> lock(m_state);
    code = m_filterCode;
    mask = m_filterMask;
}

void cDevice::RegisterCallback(CanReceiveFunction function)
{
    std::unique_lock<std::mutex> lock(m_state);
    m_callback = function;
    if (!OnReceiveThread()) {
        // Ends when the running function returns; the console makes sure its function does not wait
        // for the thread that is here.
        m_callbackReturned.wait(lock, [this] { return !m_delivering; });
    }
}

bool cDevice::StartQueue(uint32_t depth)
{
    if (depth == 0) {
        return false;
    }
    uint32_t window = std::min(depth, kBusSlotCount);
    if (OnReceiveThread()) {
        std::lock_guard<std::mutex> lock(m_state);
        if (!m_queueRunning) {
            m_cursor = m_ring->Head();
            m_window = window;
            m_queueRunning = true;
            m_stopThread.store(false);
        }
        return true;
    }
    std::lock_guard<std::mutex> control(m_control);
    {
        std::lock_guard<std::mutex> lock(m_state);
        if (m_queueRunning) {
            return true;
        }
    }
    JoinReceiveThread(); // one that stopped from inside its function
    m_cursor = m_ring->Head();
    m_window = window;
    m_stopThread.store(false);
    {
        std::lock_guard<std::mutex> lock(m_state);
        m_queueRunning = true;
    }
    m_thread =
        std::thread([self = std::static_pointer_cast<cDevice>(shared_from_this())] { self->ReceiveLoop(); });
    return true;
}

void cDevice::StopQueue()
{
    if (OnReceiveThread()) {
        StopFromReceiveThread();
        return;
    }
    std::lock_guard<std::mutex> control(m_control);
    {
        std::lock_guard<std::mutex> lock(m_state);
        m_queueRunning = false; // no call of the function starts after this
    }
    JoinReceiveThread();
}

void cDevice::Close()
{
    if (OnReceiveThread()) {
        // The receive thread holds a reference to us and lets go when the function returns.
        StopFromReceiveThread();
        return;
    }
    StopQueue(); // the bus is left when the last reference to the device goes
}

void cDevice::StopFromReceiveThread()
{
    std::lock_guard<std::mutex> lock(m_state);
    m_queueRunning = false;
    m_stopThread.store(true);
}

// Caller holds m_control.
void cDevice::JoinReceiveThread()
{
    if (!m_thread.joinable()) {
        return;
    }
    m_stopThread.store(true);
    m_ring->WakeWaiters();
    m_thread.join();
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

bool cDevice::OnReceiveThread() const
{
    return t_deliveringDevice == this;
}

void cDevice::ReceiveLoop()
{
    BlockAsynchronousSignals();
    t_deliveringDevice = this;
    BusFrame frame;
    while (!m_stopThread.load()) {
        uint64_t dropped = 0;
        bool received = m_ring->ReadNext(m_cursor, m_window, frame, dropped);
        if (dropped != 0) {
            m_dropped.fetch_add(dropped);
        }
        if (received) {
            Deliver(frame);
        } else {
            m_ring->WaitForFrame(m_cursor, m_stopThread, kIdleWakeMs);
        }
    }
    t_deliveringDevice = nullptr;
}

void cDevice::Deliver(const BusFrame& frame)
{
    if (frame.bitrate != m_bitrate.load(std::memory_order_relaxed)) {
        return; // sent at another rate: on a real bus, noise
    }
    CanReceiveFunction function = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_state);
        if (!m_queueRunning || m_callback == nullptr ||
            !PassesAcceptanceFilter(frame.id, m_filterCode, m_filterMask)) {
            return;
        }
        function = m_callback;
        m_delivering = true;
    }
    CanMessageDescriptor message = MessageFromFrame(frame, MillisecondTicks());
    function(&message);
    m_received.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(m_state);
        m_delivering = false;
    }
    m_callbackReturned.notify_all();
}
