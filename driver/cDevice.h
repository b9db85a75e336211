// One device created by CanCreateDevice: a controller on one virtual bus with its bit rate, acceptance
// filter, receive queue and the library thread that calls the registered receive function.
//
// Threads: any caller thread may use the public operations; the receive thread runs ReceiveLoop and
// takes m_state only around each call of the receive function. Operations called from inside the
// receive function (on the receive thread) never wait for that thread: see each operation.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "CanDriverTable.h"
#include "FrameRules.h"
#include "cBusRing.h"
#include "cBusSegment.h"
#include "cCanDevice.h"

// On the virtual bus, dropped counts bus frames passed over because the queue was full (reader
// overrun), and there are no error frames.
class cDevice : public cCanDevice
{
public:
    cDevice() = default;
    ~cDevice();

    cDevice(const cDevice&) = delete;
    cDevice& operator=(const cDevice&) = delete;

    // Joins bus 0 to 9; on failure error names the call that failed.
    bool Attach(uint32_t bus, std::string& error);

    bool SetBitrate(uint32_t kbitPerSecond, std::string& why) override;
    bool Transmit(const CanMessageDescriptor& message, std::string& why) override;
    void SetAcceptanceFilter(uint32_t code, uint32_t mask) override;
    void GetAcceptanceFilter(uint32_t& code, uint32_t& mask) const override;

    // When it returns, the previous function is not running and is not called again; from inside the
    // receive function it cannot wait for itself, so only later calls are affected.
    void RegisterCallback(CanReceiveFunction function) override;
    // Delivers frames sent from now on; depth is how many bus frames may wait for this device before
    // the oldest are dropped (at most the ring's size). Starting a running queue changes nothing.
    bool StartQueue(uint32_t depth) override;
    // When it returns, the receive thread has ended and the function is not running. From inside the
    // receive function: no further calls; the thread ends when the function returns and is joined by
    // the next StartQueue or Close.
    void StopQueue() override;
    // Stops the queue; the bus is left when the device is destroyed. From inside the receive function:
    // no further calls; the thread ends, and lets go of the device, when the function returns.
    void Close() override;

    void ResetCounters() override;
    DeviceCounters Counters() const override;

private:
    void ReceiveLoop();
    void Deliver(const BusFrame& frame);
    bool OnReceiveThread() const;
    void StopFromReceiveThread();
    void JoinReceiveThread();

    cBusSegment m_segment;
    std::unique_ptr<cBusRing> m_ring; // set by Attach, before any other operation

    // Read by the receive thread for every frame, written by any caller: atomic.
    std::atomic<uint32_t> m_bitrate{kDefaultBitrate};

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

    // Written by a caller thread before the receive thread starts, or by the receive thread itself
    // (StartQueue from inside the function); read only by the receive thread.
    uint64_t m_cursor = 0;
    uint32_t m_window = 0;

    std::atomic<bool> m_stopThread{false}; // set by StopQueue/Close, read by the receive thread's waits
    std::thread m_thread;                  // started and joined under m_control, or in the destructor
    std::atomic<uint64_t> m_received{0};   // written by the receive thread, reset by callers
    std::atomic<uint64_t> m_dropped{0};
};
