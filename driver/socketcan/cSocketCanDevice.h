// A device mapped to a SocketCAN interface (can0, vcan0, ...): one CAN_RAW socket bound to it, and a
// library thread per started queue that reads the socket and calls the registered receive function.
//
// - Reception: the socket receives nothing while the queue is stopped (an empty CAN_RAW_FILTER), and
//   what is left in it is discarded when the queue starts, so the function sees only frames received
//   from then on, its own included (CAN_RAW_RECV_OWN_MSGS) and marked kReservedOwnFrame, as on the
//   virtual bus. The timestamp is the kernel's receive time (SO_TIMESTAMP) in ms.
// - Error frames: the socket takes every class (CAN_RAW_ERR_FILTER); each is counted and handed, as the
//   kernel gave it, to the error function, in order with the data frames. A state change it reports
//   goes to the debug output as "can0: bus-off" (the device knows its interface, not the CANn: it was
//   mapped from).
// - State and counters: the kernel's for an interface with a controller; for one without (vcan), what
//   the last error frame said, which is nothing until one came.
// - Restart (CanReset): a bus-off controller is restarted, which needs CAP_NET_ADMIN; without it
//   CanReset refuses and says how to restart it.
// - Drops: the socket's own count of frames it could not queue (SO_RXQ_OVFL). The receive buffer is
//   made large (SO_RCVBUFFORCE when the process may, else SO_RCVBUF up to net.core.rmem_max), so the
//   queue depth passed to StartQueue is checked but the buffer, not a frame count, bounds the queue.
// - Transmit: a full transmit queue refuses after kTransmitWaitMs instead of blocking the caller.
// - Stopping: as cCanDevice promises (cReceivingDevice); an eventfd wakes the receive thread out of its
//   poll.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include <linux/can.h>

#include "cDeliveryPacer.h"
#include "cReceivingDevice.h"

class cSocketCanDevice : public cReceivingDevice
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
    bool Transmit(const CanMessageDescriptor& message, uint32_t waitMs, std::string& why) override;
    uint32_t DefaultTransmitWaitMs() const override { return kTransmitWaitMs; }
    void ResetCounters() override;
    DeviceCounters Counters() const override;
    DeviceBusState BusState() const override;
    bool RestartController(std::string& why) override;

private:
    struct ReceiveBatch;

    bool Configure(std::string& error);
    void SetReception(bool on);
    void DropPendingError();
    void ReceiveLoop() override;
    void WakeReceiveThread() override;
    // The socket's buffer, not depth, bounds the queue.
    void PrepareReception(uint32_t depth, bool onReceiveThread) override;
    void EndReception() override;
    // Reads what the socket holds, up to one batch; delivers it, or only notes the drop count.
    void ReadBatch(ReceiveBatch& batch, int count, bool deliver);
    void DiscardPending();
    void WaitForWake(int timeoutMs) const;
    void GatherFrames() const;
    // Hands a data or remote frame to the receive function, an error frame to the error function.
    void DeliverFrame(const can_frame& frame, bool own, uint32_t timestampMs);
    // Keeps what the error frame says about the controller, and writes a change of state to the debug
    // output.
    void NoteErrorFrame(const CanMessageDescriptor& errorFrame);

    const std::string m_interface;
    int m_socket = -1; // owned; open from Open to the destructor
    int m_wake = -1;   // eventfd: written to end the receive thread's wait, drained before a start

    // Touched by the receive thread, or by a caller in PrepareReception while no receive thread runs:
    uint32_t m_overflowCount = 0; // the socket's last reported SO_RXQ_OVFL count
    cDeliveryPacer m_pacer;       // whether frames come back to back,
    bool m_gatherNext = false;    // so that the next ones are read in a batch

    std::atomic<uint64_t> m_dropped{0}; // written by the receive thread, reset by callers
    std::atomic<uint64_t> m_errorFrames{0};
    mutable std::mutex m_reportedLock; // guards m_reported: written by the receive thread, read by callers
    DeviceBusState m_reported;         // what the error frames said
};
