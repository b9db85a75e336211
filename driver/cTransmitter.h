// A virtual controller's transmit side: a private queue of kTransmitQueueDepth frames and a library
// thread that puts them on the bus one at a time, each when the wire of its bit rate takes it
// (cBusWire), stamped with the time it ends there. A transmit call only queues; a full queue waits a
// bounded time for room and then refuses, as a controller whose bus is busy does.
//
// Threads: any caller thread may call Enqueue and Finish; the transmit thread runs from construction
// until Finish or the destructor, which join it. Frames still queued when the process dies are lost with
// it, as with a controller switched off; they hold nothing in the segment but, at most, one bid.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "BusLayout.h"
#include "cBusRing.h"
#include "cBusWire.h"
#include "cPreciseSleeper.h"
#include "cSentTickets.h"

constexpr size_t kTransmitQueueDepth = 32;

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
    cTransmitter(cBusRing& ring, BusWireShared (&wires)[kBusRateCount], cSentTickets& sent);
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

private:
    void Run();
    void Stop();
    // False when stopped before the frame had the wire.
    bool SendFront(const BusFrame& frame);
    // The front frame is at the front of the queue while it is sent; the one behind it bids for the
    // next slot as soon as the front one has its own.
    void BidAheadForNextFrame(cBusWire& wire, uint32_t bitrate);

    cBusRing& m_ring;
    BusWireShared (&m_wires)[kBusRateCount];
    cSentTickets& m_sent;

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
