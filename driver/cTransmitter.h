// A virtual controller's transmit side: a private queue of kTransmitQueueDepth frames and a library
// thread that puts them on the bus one at a time, each when the wire of its bit rate takes it
// (cBusWire), stamped with the time it ends there. A transmit call only queues; a full queue waits a
// bounded time for room and then refuses, as a controller whose bus is busy does.
//
// Fault confinement: each attempt first meets a fault that a member injected (BusFaults.h), then, when
// the device wants acknowledgement from others (RVCAN32CE_BUS_ACK=wire), an acknowledgement error when
// no other live node at its rate takes part in the bus (cBusNode). A failed attempt holds the wire for
// the frame and an error frame with intermission, is published as an error entry ending then, counts
// by the rules (cErrorConfinement), and the frame is sent again. A lone sender's attempts go in batches
// of up to kLoneSenderBatchNanoseconds of the wire, each attempt counted and published with its own
// end, so that it sleeps between looks at the node table instead of waking for every attempt. A bus-off
// controller sends nothing: its front frame waits for a restart (RestartController, or by itself after
// the recovery time when it restarts by itself).
//
// Threads: any caller thread may call Enqueue and Finish; the transmit thread runs from construction
// until Finish or the destructor, which join it. Frames still queued when the process dies are lost with
// it, as with a controller switched off; they hold nothing in the segment but, at most, one bid.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "BusLayout.h"
#include "cBusNode.h"
#include "cBusRing.h"
#include "cBusWire.h"
#include "cErrorConfinement.h"
#include "cPreciseSleeper.h"
#include "cSentTickets.h"

constexpr size_t kTransmitQueueDepth = 32;
// An error frame (6-bit flag, 8-bit delimiter) and the intermission after it.
constexpr uint32_t kErrorFrameBits = 17;
// Within the lead a sender reserves ahead (cBusWire), so that a batch's end is a plausible one.
constexpr uint64_t kLoneSenderBatchNanoseconds = 2000000;
// The transmit thread refreshes its node record at least this often.
constexpr uint64_t kKeepAliveNanoseconds = 200000000;

// What the transmit thread needs of its controller besides the bus.
struct TransmitterLinks
{
    cErrorConfinement& confinement;
    const cBusNode& node;
    BusFaultShared (&faults)[kBusFaultCount];
    bool acknowledgedByOthersOnly;        // RVCAN32CE_BUS_ACK=wire
    bool restartsByItself;                // RVCAN32CE_BUS_RESTART=auto
    const std::atomic<uint32_t>& bitrate; // the controller's, in which its bus-off recovery counts
    std::function<void()> keepAlive;      // refreshes the node record; called on the transmit thread
};

// What the transmit thread saw while the frame it sends waited for the wire: for how long, and how many
// frames other members put on the bus meanwhile (0: the wire was held with no frame on it).
struct WireWait
{
    uint64_t nanoseconds = 0;
    uint64_t framesMeanwhile = 0;
};

class cTransmitter
{
public:
    // Publishes through sent, so that the device knows its own frames.
    cTransmitter(cBusRing& ring, BusWireShared (&wires)[kBusRateCount], cSentTickets& sent,
                 TransmitterLinks links);
    ~cTransmitter();

    cTransmitter(const cTransmitter&) = delete;
    cTransmitter& operator=(const cTransmitter&) = delete;

    // Queues frame (its bit rate one of the nine); false when the queue stayed full for timeoutMs, or
    // once Finish has begun.
    bool Enqueue(const BusFrame& frame, uint32_t timeoutMs);
    // Waits until every queued frame is on the bus, at most timeoutMs, then stops the transmit thread,
    // dropping what is still queued (the frame being sent too, unless it already has the wire).
    // Returns how many frames it dropped.
    uint64_t Finish(uint32_t timeoutMs);
    // The wait of the frame being sent so far; zero when no frame waits for the wire. Any thread.
    WireWait CurrentWireWait() const;
    // Ends a bus-off wait, so that the thread sees a restart. Any thread.
    void Wake() { m_sleeper.Interrupt(); }
    // Whether the front frame's last attempt went unacknowledged. Any thread.
    bool FrontUnacknowledged() const { return m_unacknowledged.load(); }
    // After Finish: the frame in front when it stopped, if its last attempt went unacknowledged.
    bool Unacknowledged(BusFrame& frame) const;

private:
    void Run();
    void Stop();
    // False when stopped before the frame had the wire.
    bool SendFront(const BusFrame& frame);
    // The front frame is at the front of the queue while it is sent; the one behind it bids for the
    // next slot as soon as the front one has its own.
    void BidAheadForNextFrame(cBusWire& wire, uint32_t bitrate);
    // The error the next attempts of frame meet, and how many of them to reserve at once.
    struct Attempts
    {
        std::optional<BusErrorKind> error;
        uint32_t count = 1;
    };
    Attempts NextAttempts(const BusFrame& frame);
    uint64_t ReserveWire(cBusWire& wire, const BusFrame& frame, uint64_t wireTime);
    void PublishFailures(const BusFrame& frame, BusErrorKind kind, uint64_t end, uint64_t each,
                         uint32_t count);
    // False when stopped while bus-off.
    bool WaitWhileBusOff();
    uint64_t RecoveryTime() const;
    // Restarts a bus-off controller that restarts by itself once its time has come.
    bool RecoverWhenDue(uint64_t now);
    // How long the idle thread may wait, in nanoseconds.
    uint64_t IdleWait() const;
    void KeepAlive();

    cBusRing& m_ring;
    BusWireShared (&m_wires)[kBusRateCount];
    cSentTickets& m_sent;
    TransmitterLinks m_links;
    uint64_t m_keptAliveAt = 0; // the transmit thread's
    // Written by the transmit thread: whether the front frame's last attempt went unacknowledged (read
    // by any thread), and that frame (read after the thread ended).
    std::atomic<bool> m_unacknowledged{false};
    BusFrame m_unacknowledgedFrame;

    // Guards m_queue; m_changed tells both sides that it changed or that m_stop was set. The front
    // frame stays queued while the transmit thread sends it, so that a full queue counts it too.
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<BusFrame> m_queue;
    uint64_t m_abandoned = 0;        // frames taken from the queue but stopped before they had the wire
    std::atomic<bool> m_stop{false}; // set by the destructor; read by the thread, also inside its waits
    cPreciseSleeper m_sleeper;       // the transmit thread's waits for the wire; the destructor interrupts
    // Written by the transmit thread when its frame starts and ends waiting for the wire (since is 0
    // when none waits), read by any thread: the ring's head and the clock then.
    std::atomic<uint64_t> m_waitSince{0};
    std::atomic<uint64_t> m_headWhenWaitBegan{0};

    std::thread m_thread;
};
