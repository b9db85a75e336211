#include "cOutboundQueue.h"

#include "SocketcandProtocol.h"

void cOutboundQueue::PushFrame(std::string_view message)
{
    if (m_bytes.size() - m_sent + message.size() > kBoundBytes) {
        ++m_dropped;
        ++m_unreported;
        return;
    }
    PushNoticeIfDue();
    m_bytes += message;
}

void cOutboundQueue::PushReply(std::string_view message)
{
    PushNoticeIfDue();
    m_bytes += message;
}

void cOutboundQueue::Consume(size_t count)
{
    m_sent += count;
    if (m_sent == m_bytes.size()) {
        m_bytes.clear();
        m_sent = 0;
    } else if (m_sent > m_bytes.size() / 2) {
        m_bytes.erase(0, m_sent); // amortised: each byte moves at most once more
        m_sent = 0;
    }
    PushNoticeIfDue(); // also when no frame follows: the flood that overran the queue may be over
}

// Half the bound free again: room for the notice and for the frames that follow it.
void cOutboundQueue::PushNoticeIfDue()
{
    if (m_unreported == 0 || m_bytes.size() - m_sent > kBoundBytes / 2) {
        return;
    }
    m_bytes += "\n" + FormatSocketcandMessage(SocketcandError(
                          std::to_string(m_unreported) + " frames dropped: the client reads too slowly"));
    m_unreported = 0;
}
