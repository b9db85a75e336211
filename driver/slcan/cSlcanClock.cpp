#include "cSlcanClock.h"

namespace {

constexpr uint64_t kMillisecondWrap = 60000;
constexpr uint64_t kCloneMillisecondWrap = 65536;
constexpr uint64_t kMicrosecondWrap = uint64_t(1) << 32;

} // namespace

uint32_t cSlcanClock::Timestamp(const SlcanStamp& stamp, uint64_t hostMicroseconds, uint32_t hostTicks)
{
    if (stamp.kind == SlcanStampKind::None) {
        return hostTicks;
    }
    bool milliseconds = stamp.kind == SlcanStampKind::Milliseconds;
    if (milliseconds && stamp.value >= kMillisecondWrap) {
        m_wrapsAt65536 = true;
    }
    if (!m_started || stamp.kind != m_kind) {
        m_started = true;
        m_kind = stamp.kind;
        m_microseconds = uint64_t(hostTicks) * 1000;
    } else {
        uint64_t wrap =
            milliseconds ? (m_wrapsAt65536 ? kCloneMillisecondWrap : kMillisecondWrap) : kMicrosecondWrap;
        uint64_t unit = milliseconds ? 1000 : 1;
        uint64_t moved = (stamp.value + wrap - m_lastStamp % wrap) % wrap;
        uint64_t hostMoved = (hostMicroseconds - m_lastHostMicroseconds) / unit;
        // Whole turns the stamp made unseen: the host's clock, rounded to the nearest turn.
        uint64_t turns = hostMoved > moved ? (hostMoved - moved + wrap / 2) / wrap : 0;
        m_microseconds += (moved + turns * wrap) * unit;
    }
    m_lastStamp = stamp.value;
    m_lastHostMicroseconds = hostMicroseconds;
    return static_cast<uint32_t>(m_microseconds / 1000);
}
