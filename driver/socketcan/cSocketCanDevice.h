// A device mapped to a SocketCAN interface (can0, vcan0, ...): one CAN_RAW socket bound to it, and a
// library thread per started queue that reads the socket and calls the registered receive function.
//
// - Reception: the socket receives nothing while the queue is stopped (an empty CAN_RAW_FILTER), and
//   what is left in it is discarded when the queue starts, so the function sees only frames received
//   from then on, its own included (CAN_RAW_RECV_OWN_MSGS), as on the virtual bus. Error frames are
//   counted, never delivered. The timestamp is the kernel's receive time (SO_TIMESTAMP) in ms.
// - Drops: the socket's own count of frames it could not queue (SO_RXQ_OVFL). The receive buffer is
//   made large (SO_RCVBUFFORCE when the process may, else SO_RCVBUF up to net.core.rmem_max), so the
//   queue depth passed to StartQueue is checked but the buffer, not a frame count, bounds the queue.
// - Transmit: a full transmit queue refuses after kTransmitWaitMs instead of blocking the caller.
// - Stopping: as cCanDevice promises; an eventfd wakes the receive thread out of its poll.
//
// Threads: caller threads use the public operations; the receive thread runs ReceiveLoop and takes
// m_state only around each call of the receive function.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "cCanDevice.h"

class cSocketCanDevice : public cCanDevice
{
public:
    static constexpr uint32_t kTransmitWaitMs = 50;

    explicit cSocketCanDevice(std::string interfaceName);
    ~cSocketCanDevice() override;

    cSocketCanDevice(const cSocketCanDevice&) = delete;
    cSocketCanDevice& operator=(const cSocketCanDevice&) = delete;

    // Opens and binds the socket; on failure error names the call that failed.
    bool Open(std::string& error);

    bool SetBitrate(uint32_t kbitPerSecond, std::string& why) override;
    bool Transmit(const CanMessageDescriptor& message, std::string& why) override;
    void SetAcceptanceFilter(uint32_t code, uint32_t mask) override;
    void GetAcceptanceFilter(uint32_t& code, uint32_t& mask) const override;
    void RegisterCallback(CanReceiveFunction function) override;
    bool StartQueue(uint32_t depth) override;
    void StopQueue() override;
    void Close() override;
    void ResetCounters() override;
    DeviceCounters Counters() const override;

private:
    struct ReceiveBatch;

    bool Configure(std::string& error);
    void SetReception(bool on);
    void ReceiveLoop();
    // Reads what the socket holds, up to one batch; delivers it, or only notes the drop count.
    void ReadBatch(ReceiveBatch& batch, int count, bool deliver);
    void DiscardPending();
    void Deliver(const CanMessageDescriptor& message);
    void WaitForWake(int timeoutMs) const;
    bool OnReceiveThread() const;
    void StopFromReceiveThread();
    void JoinReceiveThread();

    const std::string m_interface;
    int m_socket = -1; // owned; open from Open to the destructor
    int m_wake = -1;   // eventfd: written to end the receive thread's wait, drained before a start

    // Serialises StartQueue, StopQueue and Close from caller threads; never taken by the receive thread.
    std::mutex m_control;
    // Guards the fields below it, which the receive thread reads around each call of the function.
    mutable std::mutex m_state;
    std::condition_variable m_callbackReturned;
    CanReceiveFunction m_callback = nullptr;
    bool m_delivering = false; // the receive thread is inside m_callback
    bool m_queueRunning = false;
    uint32_t m_filterCode = 0;
    uint32_t m_filterMask = 0xFFFFFFFF;

    // The socket's last reported SO_RXQ_OVFL count: touched by the receive thread, or by a caller under
    // m_control while no receive thread runs.
    uint32_t m_overflowCount = 0;

    std::atomic<bool> m_stopThread{false}; // set by StopQueue/Close, read by the receive thread
    std::thread m_thread;                  // started and joined under m_control, or in the destructor
    std::atomic<uint64_t> m_received{0};   // written by the receive thread, reset by callers
    std::atomic<uint64_t> m_dropped{0};
    std::atomic<uint64_t> m_errorFrames{0};
};
