// Cuts the bytes a peer sends into whole "<...>" messages, whatever the reads' boundaries. It holds at
// most one message (kSocketcandMaxMessageBytes); anything else is dropped and counted: bytes outside
// messages other than blanks, a message that grows past the bound (skipped up to its '>' or the next
// '<'), and a message cut short by a new '<' (the new one is kept, so the stream resynchronises at once).
//
//   splitter.Feed("< hi >< ok", onMessage);    onMessage("< hi >")
//   splitter.Feed(" >", onMessage);            onMessage("< ok >")
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "SocketcandProtocol.h"

class cSocketcandSplitter
{
public:
    cSocketcandSplitter() { m_message.reserve(kSocketcandMaxMessageBytes); }

    // Calls onMessage(std::string_view) with each message completed by bytes, in order. The view is valid
    // until onMessage returns.
    template <typename OnMessage> void Feed(std::string_view bytes, OnMessage&& onMessage)
    {
        for (char c : bytes) {
            if (Take(c)) {
                onMessage(std::string_view(m_message));
                m_message.clear();
            }
        }
    }

    // Bytes dropped outside messages, blanks not counted.
    uint64_t StrayBytes() const { return m_strayBytes; }
    // Messages dropped for their length or cut short by a new '<'.
    uint64_t DroppedMessages() const { return m_droppedMessages; }
    // True while part of a message waits for its end (a peer that stops here stopped mid-message).
    bool InsideMessage() const { return m_state != State::Between; }

private:
    enum class State
    {
        Between,
        Inside,
        Overlong,
    };

    // True when c completes the message in m_message.
    bool Take(char c);

    State m_state = State::Between;
    std::string m_message; // at most kSocketcandMaxMessageBytes
    uint64_t m_strayBytes = 0;
    uint64_t m_droppedMessages = 0;
};
