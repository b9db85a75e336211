// Cuts the bytes an adapter sends into lines, whatever the reads' boundaries: a line ends at a carriage
// return, and a refusal (BEL) is a line of its own. It holds at most one line (kSlcanMaxLineBytes);
// a line that grows past that bound cannot be a valid one and is dropped up to its end, and counted.
// Line feeds, which some firmware add after the carriage return, are passed over.
//
//   splitter.Feed("t1230\rz", onLine);      onLine("t1230")
//   splitter.Feed("\r\a", onLine);          onLine("z"), onLine("\a")
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "SlcanProtocol.h"

class cSlcanSplitter
{
public:
    cSlcanSplitter() { m_line.reserve(kSlcanMaxLineBytes); }

    // Calls onLine(std::string_view) with each line completed by bytes, in order, without its carriage
    // return. The view is valid until onLine returns.
    template <typename OnLine> void Feed(std::string_view bytes, OnLine&& onLine)
    {
        for (char c : bytes) {
            if (c == kSlcanRefusal) {
                EndCutShort();
                onLine(std::string_view(&kSlcanRefusal, 1));
            } else if (c == kSlcanEndOfLine) {
                if (!m_overlong) {
                    onLine(std::string_view(m_line));
                }
                m_line.clear();
                m_overlong = false;
            } else if (c != '\n') {
                Take(c);
            }
        }
    }

    // Lines dropped for their length, or cut short by a refusal.
    uint64_t DroppedLines() const { return m_droppedLines; }

private:
    void Take(char c);
    void EndCutShort();

    std::string m_line;      // at most kSlcanMaxLineBytes
    bool m_overlong = false; // the current line passed the bound: dropped up to its end
    uint64_t m_droppedLines = 0;
};
