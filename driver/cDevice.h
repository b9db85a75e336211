// One device created by CanCreateDevice: a controller on one virtual bus with its bit rate and the
// receiving side every device has (cReceivingDevice).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "CanDriverTable.h"
#include "FrameRules.h"
#include "cBusNode.h"
#include "cBusRing.h"
#include "cBusSegment.h"
#include "cDeliveryPacer.h"
#include "cErrorConfinement.h"
#include "cPreciseSleeper.h"
#include "cReceivingDevice.h"
#include "cSentTickets.h"
#include "cTransmitter.h"

// On the virtual bus, dropped counts bus frames passed over because the queue was full (reader
// overrun), and errorFrames the error frames handed to the error function or due to it. The queue's depth, as
// StartQueue gets it, counts milliseconds of the bus at the device's bit rate on a timed bus (the most frames
// the wire carries in that time), never fewer than depth frames; frames on an untimed bus.
//
// Bus timing (RVCAN32CE_BUS_TIMING, read by Attach): "wire", the default, queues transmitted frames in
// the device's cTransmitter, which puts them on the bus at the pace of its wire, and delivers each
// received frame when it ends there (in batches while the bus is busy: cDeliveryPacer), stamped with
// that time. "none" publishes a frame at once and delivers it as soon as it is read, as if frames took
// no time.
//
// Fault confinement (cErrorConfinement): on a timed bus the device claims a record in the bus's node
// table (cBusNode) with its rate and state, kept alive by its transmit thread. With
// RVCAN32CE_BUS_ACK=wire (read by Attach) its frames are acknowledged only while another live node at
// its rate takes part in the bus; without it every frame is. Failed attempts (no acknowledgement, or a
// fault injected into the bus's fault table) count by ISO 11898-1's rules and reach every device at
// that rate as error entries of the ring: each receiver counts one receive error and gets an error
// frame, the sender gets its own; state changes bring a controller error frame and a debug line. A
// bus-off device neither sends nor receives until RestartController, or, with
// RVCAN32CE_BUS_RESTART=auto, until the recovery time has passed. An untimed device (no node record)
// sends every frame acknowledged and passes over error entries, as if errors took no time either.
class cDevice : public cReceivingDevice
{
public:
    cDevice() = default;
    ~cDevice();

    cDevice(const cDevice&) = delete;
    cDevice& operator=(const cDevice&) = delete;

    // Joins bus 0 to 9; on failure error names the call that failed.
    bool Attach(uint32_t bus, std::string& error);

    bool SetBitrate(uint32_t kbitPerSecond, std::string& why) override;
    bool Transmit(const CanMessageDescriptor& message, uint32_t waitMs, std::string& why) override;
    uint32_t DefaultTransmitWaitMs() const override;
    // Gives queued frames a bounded time to go out (cTransmitter::Finish), then stops the queue.
    void Close() override;
    uint64_t UnsentAtClose() const override { return m_unsentAtClose.load(); }

    void ResetCounters() override;
    DeviceCounters Counters() const override;
    DeviceBusState BusState() const override;
    // Known on a timed bus only, whose devices keep the node table.
    bool OtherNodes(uint32_t& atItsRate, std::vector<uint32_t>& otherRates) const override;
    bool RestartController(std::string& why) override;
    // After Close dropped frames: why they did not go out, when the bus can tell.
    std::string UnsentReason() const override { return m_unsentReason; }
    // The counters' keeper, for tests that drive a controller to bus-off without a faulty bus.
    cErrorConfinement& ConfinementForTests() { return *m_confinement; }

private:
    void ReceiveLoop() override;
    void WakeReceiveThread() override;
    void PrepareReception(uint32_t depth, bool onReceiveThread) override;
    // How many bus frames may wait for this device before the oldest are dropped, at the current rate.
    uint32_t ReceiveWindow() const;
    // own: this device published it.
    void DeliverFrame(const BusFrame& frame, bool own);
    void DeliverErrorEntry(const BusFrame& entry, bool own);
    // Hands over the error frames owed by until.
    void DeliverOwed(uint64_t until);
    void OnStateChange();
    BusNodeStatus NodeStatus() const;
    // Waits until frame is due to be handed over (m_pacer) and returns its end as a tick count; now when
    // it carries no end time, timing is off, or its end lies further ahead than an honest sender can
    // reserve (such a frame is never waited for).
    uint32_t WaitForHandOver(const BusFrame& frame);
    std::string HeldWireReason() const;
    std::string NobodyElseAt(uint32_t kbitPerSecond) const;

    cBusSegment m_segment;
    std::unique_ptr<cBusRing> m_ring; // set by Attach, before any other operation
    cSentTickets m_sent;              // outlives the transmitter, which publishes through it
    uint32_t m_bus = 0;               // set by Attach
    // Set by Attach; outlive the transmitter, which counts its attempts in the one and keeps the
    // other alive. m_node only on a timed bus.
    std::unique_ptr<cErrorConfinement> m_confinement;
    std::unique_ptr<cBusNode> m_node;
    // Set by Attach when the bus is timed; destroyed before the segment it sends on.
    std::unique_ptr<cTransmitter> m_transmitter;

    // Read by the receive thread for every frame, written by any caller: atomic.
    std::atomic<uint32_t> m_bitrate{kDefaultBitrate};

    // Written by a caller thread before the receive thread starts, or by the receive thread itself
    // (StartQueue from inside the function); read only by the receive thread.
    uint64_t m_cursor = 0;
    uint32_t m_depth = 0;
    // The receive thread's waits for frames' hand-over; interrupted by WakeReceiveThread.
    cPreciseSleeper m_deliverySleeper;
    cDeliveryPacer m_pacer; // the receive thread's, or a caller's before that thread starts

    std::atomic<uint64_t> m_dropped{0};       // written by the receive thread, reset by callers
    std::atomic<uint64_t> m_unsentAtClose{0}; // written by Close, read by its caller after it
    std::string m_unsentReason;               // written by Close, read by its caller after it
    std::atomic<uint64_t> m_errorFrames{0};   // written by the receive thread, reset by callers
};
