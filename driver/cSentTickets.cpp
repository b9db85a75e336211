#include "cSentTickets.h"

void cSentTickets::Publish(cBusRing& ring, const BusFrame& frame)
{
    std::lock_guard<std::mutex> lock(m_lock);
    // Claimed under the lock, so tickets are remembered in rising order whichever thread sends.
    uint64_t ticket = ring.BeginPublish(frame);
    while (!m_tickets.empty() && ticket - m_tickets.front() > kBusSlotCount) {
        m_tickets.pop_front();
    }
    m_tickets.push_back(ticket);
    m_oldest.store(m_tickets.front());
    ring.FinishPublish(ticket);
}

bool cSentTickets::IsOwn(uint64_t ticket)
{
    if (ticket < m_oldest.load()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    while (!m_tickets.empty() && m_tickets.front() < ticket) {
        m_tickets.pop_front();
    }
    bool own = !m_tickets.empty() && m_tickets.front() == ticket;
    if (own) {
        m_tickets.pop_front();
    }
    m_oldest.store(m_tickets.empty() ? UINT64_MAX : m_tickets.front());
    return own;
}
