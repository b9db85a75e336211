#include "cReceivingDevice.h"

#include "BusPlatform.h"
#include "FrameRules.h"

namespace {

// The device whose receive function this thread is running, so that calls from inside the function
// can tell that they must not wait for it. Each thread touches only its own copy.
thread_local const cReceivingDevice* t_deliveringDevice = nullptr;

} // namespace

void cReceivingDevice::SetAcceptanceFilter(uint32_t code, uint32_t mask)
{
    std::lock_guard<std::mutex> lock(m_state);
    m_filterCode = code;
    m_filterMask = mask;
}

void cReceivingDevice::GetAcceptanceFilter(uint32_t& code, uint32_t& mask) const
{
    std::lock_guard<std::mutex> lock(m_state);
    code = m_filterCode;
    mask = m_filterMask;
}

void cReceivingDevice::RegisterCallback(CanReceiveFunction function)
{
    SetFunction(m_callback, function);
}

void cReceivingDevice::RegisterErrorCallback(CanReceiveFunction function)
{
    SetFunction(m_errorCallback, function);
}

void cReceivingDevice::SetFunction(CanReceiveFunction& slot, CanReceiveFunction function)
{
    std::unique_lock<std::mutex> lock(m_state);
    slot = function;
    if (!OnReceiveThread()) {
        // Ends when the running function returns; the console makes sure its function does not wait
        // for the thread that is here.
        m_callbackReturned.wait(lock, [this] { return !m_delivering; });
    }
}

bool cReceivingDevice::StartQueue(uint32_t depth)
{
    if (depth == 0) {
        return false;
    }
    if (OnReceiveThread()) {
        // The thread is still reading: it only has to go on delivering.
        std::lock_guard<std::mutex> lock(m_state);
        if (!m_queueRunning) {
            PrepareReception(depth, true);
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
    PrepareReception(depth, false);
    m_stopThread.store(false);
    {
        std::lock_guard<std::mutex> lock(m_state);
        m_queueRunning = true;
    }
    m_thread = std::thread([self = std::static_pointer_cast<cReceivingDevice>(shared_from_this())] {
        self->RunReceiveThread();
    });
    return true;
}

void cReceivingDevice::StopQueue()
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
    EndReception();
}

void cReceivingDevice::Close()
{
    if (OnReceiveThread()) {
        // The receive thread holds a reference to us and lets go when the function returns.
        StopFromReceiveThread();
        return;
    }
    StopQueue();
}

void cReceivingDevice::Deliver(const CanMessageDescriptor& message)
{
    CanReceiveFunction function = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_state);
        if (!m_queueRunning || m_callback == nullptr ||
            !PassesAcceptanceFilter(message.id, m_filterCode, m_filterMask)) {
            return;
        }
        function = m_callback;
        m_delivering = true;
    }
    // Counted first, so that whoever the function tells of the frame finds it counted.
    m_received.fetch_add(1);
    CallFunction(function, message);
}

void cReceivingDevice::DeliverError(const CanMessageDescriptor& message)
{
    CanReceiveFunction function = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_state);
        if (!m_queueRunning || m_errorCallback == nullptr) {
            return;
        }
        function = m_errorCallback;
        m_delivering = true;
    }
    CallFunction(function, message);
}

// The caller set m_delivering.
void cReceivingDevice::CallFunction(CanReceiveFunction function, const CanMessageDescriptor& message)
{
    CanMessageDescriptor copy = message; // the function may write to its record
    function(&copy);
    {
        std::lock_guard<std::mutex> lock(m_state);
        m_delivering = false;
    }
    m_callbackReturned.notify_all();
}

bool cReceivingDevice::OnReceiveThread() const
{
    return t_deliveringDevice == this;
}

void cReceivingDevice::EndReceiveThreadForGood()
{
    m_stopThread.store(true);
    WakeReceiveThread();
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id()) {
            m_thread.detach(); // closed from inside its function: this is the thread's last act
        } else {
            m_thread.join();
        }
    }
}

void cReceivingDevice::RunReceiveThread()
{
    BlockAsynchronousSignals();
    PreferPreciseTimers();
    t_deliveringDevice = this;
    ReceiveLoop();
    t_deliveringDevice = nullptr;
}

void cReceivingDevice::StopFromReceiveThread()
{
    std::lock_guard<std::mutex> lock(m_state);
    m_queueRunning = false;
    m_stopThread.store(true);
}

// Caller holds m_control.
void cReceivingDevice::JoinReceiveThread()
{
    if (!m_thread.joinable()) {
        return;
    }
    m_stopThread.store(true);
    WakeReceiveThread();
    m_thread.join();
}
