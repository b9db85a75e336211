// The ring tickets of the frames one device published, so that its receive thread can tell its own
// frames from the others' (the record's kReservedOwnFrame). The ring itself carries no sender: any
// member may write any slot, so only the sender's own memory can say which frames were its.
//
// Threads: Publish runs on a transmitting thread (a caller's, or the device's transmit thread); IsOwn
// on the device's receive thread only. m_lock guards m_tickets; m_oldest mirrors its front so that a
// device that sends nothing never takes the lock while it receives.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "BusLayout.h"
#include "cBusRing.h"

class cSentTickets
{
public:
    // Publishes frame on ring and remembers its ticket before any reader can see the frame.
    void Publish(cBusRing& ring, const BusFrame& frame);
    // Whether ticket is one of ours. Asked in rising ticket order: every ticket below it is forgotten.
    bool IsOwn(uint64_t ticket);

private:
    std::mutex m_lock;
    // Rising; none older than the ring's size behind the newest, as no reader can still read those.
    std::deque<uint64_t> m_tickets;
    std::atomic<uint64_t> m_oldest{UINT64_MAX}; // m_tickets' front, UINT64_MAX when empty
};
