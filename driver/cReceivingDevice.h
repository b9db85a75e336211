// What every kind of device shares on its receiving side: the acceptance filter, the registered receive
// function, the receive queue's state and the library thread that calls the function, with the stop
// guarantees cCanDevice promises. A kind of device supplies how frames reach the thread (ReceiveLoop),
// how its wait is ended (WakeReceiveThread) and what a queue's start and stop do to its reception.
//
// Threads: any caller thread may use the public operations; the receive thread runs ReceiveLoop and
// takes m_state only around each call of the receive function. Operations called from inside the
// receive function (on the receive thread) never wait for that thread: see each operation.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "CanDriverTable.h"
#include "cCanDevice.h"

class cReceivingDevice : public cCanDevice
{
public:
    void SetAcceptanceFilter(uint32_t code, uint32_t mask) override;
    void GetAcceptanceFilter(uint32_t& code, uint32_t& mask) const override;

    // When it returns, the previous function is not running and is not called again; from inside the
    // receive function it cannot wait for itself, so only later calls are affected.
    void RegisterCallback(CanReceiveFunction function) override;
    void RegisterErrorCallback(CanReceiveFunction function) override;
    // Delivers frames received from now on. Starting a running queue changes nothing.
    bool StartQueue(uint32_t depth) override;
    // When it returns, the receive thread has ended and the function is not running. From inside the
    // receive function: no further calls; the thread ends when the function returns and is joined by
    // the next StartQueue or Close.
    void StopQueue() override;
    // Stops the queue; the device's bus or socket goes with the last reference to the device. From
    // inside the receive function: no further calls; the thread ends, and lets go of the device, when the
    // function returns.
    void Close() override;

protected:
    // Runs on the receive thread until m_stopThread is set.
    virtual void ReceiveLoop() = 0;
    // Ends a wait of the receive thread, so that it looks at m_stopThread.
    virtual void WakeReceiveThread() = 0;
    // Makes reception ready for a queue of depth frames: on a caller's thread while no receive thread
    // runs, or on the receive thread when its own function starts the queue again.
    virtual void PrepareReception(uint32_t depth, bool onReceiveThread) = 0;
    // After the receive thread of a stopped queue has ended.
    virtual void EndReception() {}

    // Calls the function with a record of its own, if the queue runs and the filter lets the frame
    // through, and counts it in m_received. Receive thread only.
    void Deliver(const CanMessageDescriptor& message);
    // Calls the error function with a record of its own, if the queue runs. Receive thread only.
    void DeliverError(const CanMessageDescriptor& message);
    bool OnReceiveThread() const;
    // For a device's destructor, while its parts still exist: ends the receive thread, or lets it go
    // when the device is destroyed from inside its function (the thread's last act).
    void EndReceiveThreadForGood();

    std::atomic<bool> m_stopThread{false}; // set by StopQueue/Close, read by the receive thread's waits
    std::atomic<uint64_t> m_received{0};   // written by the receive thread, reset by callers

private:
    void RunReceiveThread();
    void StopFromReceiveThread();
    void JoinReceiveThread();
    void SetFunction(CanReceiveFunction& slot, CanReceiveFunction function);
    // Calls function with a copy of message, marked as running for RegisterCallback's waits.
    void CallFunction(CanReceiveFunction function, const CanMessageDescriptor& message);

    // Serialises StartQueue, StopQueue and Close from caller threads; never taken by the receive thread.
    std::mutex m_control;
    // Guards the fields below it, which the receive thread reads around each call of the function.
    mutable std::mutex m_state;
    std::condition_variable m_callbackReturned;
    CanReceiveFunction m_callback = nullptr;
    CanReceiveFunction m_errorCallback = nullptr;
    bool m_delivering = false; // the receive thread is inside m_callback or m_errorCallback
    bool m_queueRunning = false;
    uint32_t m_filterCode = 0;
    uint32_t m_filterMask = 0xFFFFFFFF;

    std::thread m_thread; // started and joined under m_control, or in EndReceiveThreadForGood
};
