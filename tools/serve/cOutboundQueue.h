// What a server still has to write to one client, in order, with a bound: frames that would grow it past
// kBoundBytes are dropped and counted, and the client is told with a message of its own as soon as the
// queue has drained to half the bound ("< error 12 frames dropped: the client reads too slowly >"), so a slow
// reader learns what it missed without ever making the bus or the other clients wait. Replies to the
// client's own commands are never dropped: the server stops reading a client whose queue is over the
// bound, so they cannot pile up either. Not thread-safe; its owner locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class cOutboundQueue
{
public:
    // About 0.4 s of a saturated 1000 kbit/s bus in raw mode (20 000 frames/s of 30 bytes or so).
    static constexpr size_t kBoundBytes = 256 * 1024;

    // Appends a received frame's message, or drops it when the queue is full.
    void PushFrame(std::string_view message);
    // Appends a reply; never dropped.
    void PushReply(std::string_view message);

    std::string_view Pending() const { return std::string_view(m_bytes).substr(m_sent); }
    // Marks count bytes of Pending() as written.
    void Consume(size_t count);
    bool Empty() const { return m_sent == m_bytes.size(); }
    bool OverBound() const { return m_bytes.size() - m_sent > kBoundBytes; }
    // Frames dropped since the client connected.
    uint64_t Dropped() const { return m_dropped; }

private:
    void PushNoticeIfDue();

    std::string m_bytes; // m_bytes[m_sent..] waits to be written
    size_t m_sent = 0;   // written bytes at the front, dropped once they are half of m_bytes
    uint64_t m_dropped = 0;
    uint64_t m_unreported = 0; // dropped since the last notice
};
