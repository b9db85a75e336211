#include "cSlcanSplitter.h"

void cSlcanSplitter::Take(char c)
{
    if (m_overlong) {
        return;
    }
    if (m_line.size() == kSlcanMaxLineBytes) {
        ++m_droppedLines;
        m_line.clear();
        m_overlong = true;
        return;
    }
    m_line += c;
}

// A refusal answers a line of ours; bytes before it on the same line are what is left of a line of the
// adapter's that lost its end.
void cSlcanSplitter::EndCutShort()
{
    if (!m_line.empty()) {
        ++m_droppedLines;
    }
    m_line.clear();
    m_overlong = false;
}
