#include "cDeliveryPacer.h"

#include <algorithm>

namespace {

// A frame that ends this soon is handed over at once, with the frames that ended before it, instead of
// after a sleep of its own: a wake-up comes 15-70 µs late here anyway.
constexpr uint64_t kEarlyNanoseconds = 150000;

} // namespace

uint64_t cDeliveryPacer::HandOverTime(uint64_t start, uint64_t end, uint64_t now)
{
    // A sender's frame starts where the wire became free, so back to back is an exact match.
    const bool backToBack = m_lastEnd != 0 && start <= m_lastEnd;
    m_backToBack = backToBack ? m_backToBack + 1 : 0;
    m_lastEnd = std::max(m_lastEnd, end);
    if (end <= now + kEarlyNanoseconds) {
        return now;
    }
    // A frame as long as the window would wait alone: at 125 kbit/s and below, busy or not, frames
    // come seldom enough to be handed over one by one.
    if (m_backToBack >= kBackToBackToBatch && end - start < kBatchWindowNanoseconds) {
        return end + kBatchWindowNanoseconds;
    }
    return end;
}

bool cDeliveryPacer::GatherNext(uint64_t arrival)
{
    const bool close = m_lastEnd != 0 && arrival < m_lastEnd + kCloseArrivalNanoseconds;
    m_backToBack = close ? m_backToBack + 1 : 0;
    m_lastEnd = std::max(m_lastEnd, arrival);
    return m_backToBack >= kBackToBackToBatch;
}

void cDeliveryPacer::Forget()
{
    m_lastEnd = 0;
    m_backToBack = 0;
}
