#include "cSocketcandSplitter.h"

bool cSocketcandSplitter::Take(char c)
{
    if (c == '<') {
        if (m_state == State::Inside) {
            ++m_droppedMessages;
        }
        m_state = State::Inside;
        m_message.assign(1, c);
        return false;
    }
    switch (m_state) {
    case State::Between:
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            ++m_strayBytes;
        }
        return false;
    case State::Overlong:
        if (c == '>') {
            m_state = State::Between;
        }
        return false;
    case State::Inside:
        if (m_message.size() == kSocketcandMaxMessageBytes) {
            ++m_droppedMessages;
            m_message.clear();
            m_state = c == '>' ? State::Between : State::Overlong;
            return false;
        }
        m_message += c;
        if (c == '>') {
            m_state = State::Between;
            return true;
        }
        return false;
    }
    return false;
}
