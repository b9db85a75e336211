// A virtual controller's transmit side: a private queue of kTransmitQueueDepth frames and a library
// thread that puts them on the bus one at a time, each when the wire of its bit rate takes it
// (cBusWire), stamped with the time it ends there. A transmit call only queues; a full queue waits a
// bounded time for room and then refuses, as a controller whose bus is busy does.
//
// Threads: any caller thread may call Enqueue and Drain; the transmit thread runs from construction to
// destruction and is joined by the destructor. Frames still queued when the process dies are lost with
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
#include "cSentTickets.h"

constexpr size_t kTransmitQueueDepth = 32;

class cTransmitter
{
public:
    // Publishes through sent, so that the device knows its own frames.
    cTransmitter(cBusRing& ring, BusWireShared (&wires)[kBusRateCount], cSentTickets& sent);
    ~cTransmitter();

    cTransmitter(const cTransmitter&) = delete;
    cTransmitter& operator=(const cTransmitter&) = delete;

    // Queues frame (its bit rate one of the nine); false when the queue stayed full for timeoutMs.
    bool Enqueue(const BusFrame& frame, uint32_t timeoutMs);
    // Waits until every queued frame is on the bus, at most timeoutMs; drops what is still queued then.
    void Drain(uint32_t timeoutMs);

private:
    void Run();
    void SendFront(const BusFrame& frame);

    cBusRing& m_ring;
    BusWireShared (&m_wires)[kBusRateCount];
    cSentTickets& m_sent;

    // Guards m_queue; m_changed tells both sides that it changed or that m_stop was set. The front
    // frame stays queued while the transmit thread sends it, so that a full queue counts it too.
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<BusFrame> m_queue;
    std::atomic<bool> m_stop{false}; // set by the destructor; read by the thread, also inside its waits

    std::thread m_thread;
};
